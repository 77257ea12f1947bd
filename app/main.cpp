#include "app/Form1.h"
#include "shell/Appearance.h"

#include "BuildConfig.h"

#include <QApplication>

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    QApplication::setStyle(orvane::focusMarkingStyle());
    QCoreApplication::setOrganizationName(QStringLiteral("Tarnwick"));
    QCoreApplication::setApplicationName(QStringLiteral("Orvane Capture Desk"));
    QCoreApplication::setApplicationVersion(QStringLiteral(ORVANE_VERSION));
    QGuiApplication::setDesktopFileName(QStringLiteral("com.tarnwick.OrvaneCaptureDesk"));
    // No display name is set: the platform would append it to every title.

    orvane::Form1 form;
    form.Form_Load();
    form.centreOnScreen();
    form.show();
    return app.exec();
}
