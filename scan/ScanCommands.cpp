#include "scan/ScanCommands.h"

#include "BuildConfig.h"
#include "app/Desktop.h"
#include "app/ErrorReport.h"
#include "app/Form1.h"
#include "app/Globals.h"
#include "app/Main.h"
#include "app/PictureBox.h"
#include "scan/ScanFile.h"
#include "scan/Scanner.h"
#include "viewer/Form2.h"

#include <QFile>

namespace orvane {

namespace {

const QString scannerTitle = QStringLiteral("Scanner Interface Error");

void showMissingLibraryMessage(Form1& form)
{
    desktop().showMessage(
        &form,
        QStringLiteral("The scanner/digital camera interface plug-in (EZTW32.dll) was marked as missing "
                       "upon program initialization.\n\n"
                       "To enable scanner support, please copy the EZTW32.dll file (available for "
                       "download from ")
            + QStringLiteral(ORVANE_SCANNER_LIBRARY_DOWNLOAD_URL)
            + QStringLiteral(") into this application directory and reload the program."),
        scannerTitle, MessageIcon::None);
}

std::int32_t windowOf(Form1& form)
{
    return static_cast<std::int32_t>(form.winId());
}

} // namespace

QString acquireResultMessage(std::int32_t result)
{
    switch (result) {
    case -5:
        return QStringLiteral("Unknown error occurred.");
    case -4:
        return QStringLiteral("Scan successful, but temporary file save failed.  Is it possible that your "
                              "hard drive is full (or almost full)?");
    case -3:
        return QStringLiteral("Unable to acquire DIB lock.  Please make sure no other programs are accessing "
                              "the scanner.  If the problem persists, reboot and try again.");
    case -2:
        return QStringLiteral("Temporary file access error.  This can be caused when running on a system "
                              "with limited access rights.  Please enable admin rights and try again.");
    case -1:
        return QStringLiteral("Scan failed.  (This may happen if the user canceled the scan dialog.)");
    default:
        return QStringLiteral("The scanner returned an error code that wasn't specified in the EZTW32.dll "
                              "documentation.  Please visit ")
            + QStringLiteral(ORVANE_SCANNER_LIBRARY_SITE_URL) + QStringLiteral(" for more information.");
    }
}

void SelectScanner(Form1& form)
{
    Guard g(QStringLiteral("Form1"), QStringLiteral("PushButton5_Click"));
    if (g.test(100, [] { return !globals().ScannerAvailable; })) {
        g.step(104, [&] { showMissingLibraryMessage(form); });
        return;
    }
    g.step(102, [&] { TWAIN_SelectImageSource(windowOf(form)); });
}

void ScanImage(Form1& form)
{
    Guard g(QStringLiteral("Form1"), QStringLiteral("PushButton3_Click"));
    if (g.test(100, [] { return !globals().ScannerAvailable; })) {
        g.step(102, [&] { showMissingLibraryMessage(form); });
        return;
    }
    // From here a failure goes to the result message, with the code held
    // at that moment.
    std::int32_t result = -5;
    try {
        const QString path = globals().AppFolder + QStringLiteral("VBScanInterface.bmp");
        result = TWAIN_AcquireToFilename(windowOf(form), QFile::encodeName(path));
        if (result == 0) {
            form.picBuffer->setAutoSize(true);
            // The buffer keeps its earlier picture unless the new one loads.
            form.picBuffer->setPicture(loadScanFile(path));
            DeleteFileQuietly(path);
            Form2& viewer = viewerOf(form);
            viewer.picScan->setAutoSize(true);
            viewer.picScan->setPicture(form.picBuffer->picture()); // the same image, shared
            viewer.picScan->repaint();
            viewer.showViewer();
            form.hide();
            return;
        }
    } catch (...) {
    }
    desktop().showMessage(&form, acquireResultMessage(result), scannerTitle, MessageIcon::None);
}

} // namespace orvane
