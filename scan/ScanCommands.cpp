#include "scan/ScanCommands.h"

#include "BuildConfig.h"
#include "scan/ScanFile.h"
#include "scan/Scanner.h"
#include "shell/AppError.h"
#include "shell/Desktop.h"
#include "shell/ErrorReport.h"
#include "shell/Form.h"
#include "shell/Globals.h"
#include "shell/Main.h"
#include "shell/PictureBox.h"
#include "shell/PrivateFolder.h"

#include <EZTW32.h>

#include <QFile>
#include <QWidget>

namespace orvane {

namespace {

const QString scannerTitle = QStringLiteral("Scanner Interface Error");

void showMissingLibraryMessage(QWidget* owner)
{
    desktop().showMessage(owner,
        QStringLiteral("The scanner/digital camera interface plug-in (EZTW32.dll) was marked as missing "
                       "upon program initialization.\n\n"
                       "To enable scanner support, please copy the EZTW32.dll file (available for "
                       "download from ")
            + QStringLiteral(ORVANE_SCANNER_LIBRARY_DOWNLOAD_URL)
            + QStringLiteral(") into this application directory and reload the program."),
        scannerTitle, MessageIcon::None);
}

std::int32_t windowOf(QWidget* window)
{
    return static_cast<std::int32_t>(window->winId());
}

} // namespace

QString acquireResultMessage(std::int32_t result)
{
    switch (result) {
    case EZTW32_NOT_CALLED:
        return QStringLiteral("Unknown error occurred.");
    case EZTW32_WRITE_FAILED:
        return QStringLiteral("Scan successful, but temporary file save failed.  Is it possible that your "
                              "hard drive is full (or almost full)?");
    case EZTW32_MEMORY:
        return QStringLiteral("Unable to acquire DIB lock.  Please make sure no other programs are accessing "
                              "the scanner.  If the problem persists, reboot and try again.");
    case EZTW32_FILE_ACCESS:
        return QStringLiteral("Temporary file access error.  This can be caused when running on a system "
                              "with limited access rights.  Please enable admin rights and try again.");
    case EZTW32_FAILED:
        return QStringLiteral("Scan failed.  (This may happen if the user canceled the scan dialog.)");
    default:
        return QStringLiteral("The scanner returned an error code that wasn't specified in the EZTW32.dll "
                              "documentation.  Please visit ")
            + QStringLiteral(ORVANE_SCANNER_LIBRARY_SITE_URL) + QStringLiteral(" for more information.");
    }
}

void SelectScanner(ScanHost& host)
{
    Guard g(QStringLiteral("Form1"), QStringLiteral("PushButton5_Click"));
    if (g.test(100, [] { return !globals().ScannerAvailable; })) {
        g.step(104, [&] { showMissingLibraryMessage(host.scanWindow()); });
        return;
    }
    g.step(102, [&] { TWAIN_SelectImageSource(windowOf(host.scanWindow())); });
}

void ScanImage(ScanHost& host)
{
    Guard g(QStringLiteral("Form1"), QStringLiteral("PushButton3_Click"));
    if (g.test(100, [] { return !globals().ScannerAvailable; })) {
        g.step(102, [&] { showMissingLibraryMessage(host.scanWindow()); });
        return;
    }
    // From here a failure goes to the result message, with the code held
    // at that moment.
    std::int32_t result = EZTW32_NOT_CALLED;
    // The folders of the scan and claim that could not be used, and why.
    QString folderProblem;
    // A click that comes while this command runs (the event pump runs while
    // it waits for another copy's scan and before the scan file's removal)
    // does nothing: it would wait for the claim this command holds.
    static bool scanning = false;
    if (scanning)
        return;
    struct Running {
        bool& flag;
        explicit Running(bool& f)
            : flag(f)
        {
            flag = true;
        }
        ~Running() { flag = false; }
    } running(scanning);
    try {
        QString why;
        const QString path = scanFilePath(globals().AppFolder, &why);
        if (path.isEmpty()) {
            result = EZTW32_FILE_ACCESS;
            folderProblem = QStringLiteral("No folder of this user's alone can hold the scan:\n") + why;
        }
        // The scan file is this copy's own from the acquire to its removal:
        // another copy of the same user waits here until then.
        FolderLock claim;
        if (!path.isEmpty()) {
            try {
                if (!claim.tryAcquire(scanLockPath(path))) {
                    host.setScanPointer(vbHourglass);
                    claim.acquire(scanLockPath(path));
                    host.setScanPointer(vbDefault);
                }
            } catch (const AppError& e) {
                host.setScanPointer(vbDefault);
                result = EZTW32_FILE_ACCESS;
                folderProblem = QStringLiteral("The scan file cannot be claimed:\n") + e.description();
            }
        }
        if (claim.held())
            result = TWAIN_AcquireToFilename(windowOf(host.scanWindow()), QFile::encodeName(path));
        if (result == EZTW32_OK) {
            PictureBox& picBuffer = host.pictureBuffer();
            picBuffer.setAutoSize(true);
            // The buffer keeps its earlier picture unless the new one loads.
            picBuffer.setPicture(loadScanFile(path));
            DeleteFileQuietly(path);
            PictureBox& picScan = host.viewerPicture();
            picScan.setAutoSize(true);
            picScan.setPicture(picBuffer.picture()); // the same image, shared
            picScan.repaint();
            host.showViewer();
            host.hideMainWindow();
            return;
        }
    } catch (...) { }
    QString message = acquireResultMessage(result);
    if (result == EZTW32_FILE_ACCESS && !folderProblem.isEmpty())
        message += QStringLiteral("\n\n") + folderProblem;
    desktop().showMessage(host.scanWindow(), message, scannerTitle, MessageIcon::None);
}

} // namespace orvane
