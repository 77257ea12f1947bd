#include "support/Help.h"

#include "BuildConfig.h"
#include "app/Desktop.h"
#include "app/ErrorReport.h"
#include "app/Form1.h"
#include "app/Main.h"

namespace orvane {

void Help(Form1& form)
{
    Guard g(QStringLiteral("Form1"), QStringLiteral("PushButton7_Click"));
    g.step(100, [&] {
        desktop().showMessage(&form,
                              QStringLiteral("Questions? Please contact Team Tarnwick at ")
                                  + QStringLiteral(ORVANE_CONTACT_FORM_URL),
                              applicationTitle(), MessageIcon::None);
    });
}

} // namespace orvane
