#include "support/Help.h"

#include "BuildConfig.h"
#include "shell/Desktop.h"
#include "shell/ErrorReport.h"
#include "shell/Main.h"

namespace orvane {

void Help(QWidget* owner)
{
    Guard g(QStringLiteral("Form1"), QStringLiteral("PushButton7_Click"));
    g.step(100, [&] {
        desktop().showMessage(owner,
            QStringLiteral("Questions? Please contact Team Tarnwick at ")
                + QStringLiteral(ORVANE_CONTACT_FORM_URL),
            applicationTitle(), MessageIcon::None);
    });
}

} // namespace orvane
