// The three entry points of EZTW32.dll, the program's scanner library.
#include "core/ReplacingFile.h"
#include "core/SaneClient.h"
#include "core/Search.h"
#include "core/Settings.h"
#include "core/Sigpipe.h"
#include "ui/Dialogs.h"

#include <EZTW32.h>

#include <QApplication>
#include <QTimer>
#include <QWidget>

#include <cstdint>
#include <new>

#define EZTW32_EXPORT extern "C" __attribute__((visibility("default")))

namespace eztw32 {
namespace {

// The device search starts as soon as the library is loaded, so that the
// source dialog has its list when the user opens it.
__attribute__((constructor)) void searchAtLoading()
{
    startSearch();
}

// A search still under way when the library goes (unloaded, or the program
// returns from main) is stopped: its helper must not outlive the program.
__attribute__((destructor)) void stopSearchAtUnloading()
{
    stopSearches();
}

// How long Cancel waits for a scan to end before it ends the wait itself.
constexpr int CancelWaitMs = 800;

// The window whose 32-bit id the caller passed, else the active window.
QWidget* ownerWindow(std::int32_t window)
{
    QWidget* w = nullptr;
    if (window != 0)
        w = QWidget::find(WId(std::uint32_t(window)));
    if (w)
        return w->window();
    return QApplication::activeWindow();
}

std::int32_t acquire(QWidget* owner, const char* path)
{
    // What earlier scans that were killed left beside the file.
    if (path)
        ReplacingFile::removeLeftovers(path);
    Settings remembered;
    SaneClient client;
    const std::optional<DeviceInfo> chosen = remembered.rememberedDevice();
    OpenOutcome opened;
    {
        // Cancel leaves at once; the opening ends behind it and the device
        // is closed after it.
        ProgressDialog progress(owner);
        progress.setText(
            chosen ? QObject::tr("Connecting to the scanner…") : QObject::tr("Looking for a scanner…"));
        QObject::connect(&client, &SaneClient::opened, &progress, [&](const OpenOutcome& out) {
            opened = out;
            progress.finish();
        });
        QObject::connect(&progress, &ProgressDialog::cancelRequested, &progress, [&] {
            client.abandonOpening();
            progress.finish();
        });
        client.open(chosen, remembered.options());
        progress.exec();
        if (progress.cancelWasRequested()) {
            client.close();
            return EZTW32_FAILED;
        }
    }
    if (opened.fault != Fault::None) {
        showFault(owner, opened.fault, opened.status,
            deviceTitle(opened.missing ? *opened.missing : opened.info), opened.cause);
        return EZTW32_FAILED;
    }

    ScanSettings settings;
    DeviceInfo device;
    {
        ScanDialog settingsDialog(owner, client, remembered, opened);
        if (settingsDialog.exec() != QDialog::Accepted) {
            client.close();
            return EZTW32_FAILED;
        }
        settings = settingsDialog.settings();
        device = settingsDialog.device();
    }
    // The device scanned with opens straight away next time.
    if (!device.name.empty())
        remembered.rememberUsed(device);

    ReplacingFile file;
    if (!path || !file.create(path)) {
        client.close();
        return EZTW32_FILE_ACCESS;
    }
    ScanResult result;
    {
        // Cancel waits a moment for the scan to end; a driver that does not
        // end it by then is left to the session, which ends its host, and
        // the scan ends as a cancel.
        ProgressDialog progress(owner);
        progress.setText(QObject::tr("Waiting for the scanner…"));
        QObject::connect(&client, &SaneClient::scanEnded, &progress, [&](const ScanResult& r) {
            result = r;
            progress.finish();
        });
        QObject::connect(&progress, &ProgressDialog::cancelRequested, &client, [&] {
            client.cancel();
            QTimer::singleShot(CancelWaitMs, &progress, [&] {
                result = cancelledScan();
                progress.finish();
            });
        });
        // The bar follows the data.
        auto* poll = new QTimer(&progress);
        QObject::connect(poll, &QTimer::timeout, &progress, [&] {
            const ScanProgress& p = client.progress();
            if (!p.dataArrived.load())
                return;
            const std::int64_t total = p.bytesTotal.load();
            progress.setText(QObject::tr("Scanning…"));
            progress.setPercent(total > 0 ? int(p.bytesRead.load() * 100 / total) : -1);
        });
        poll->start(100);
        client.scan(settings, file.fd());
        progress.exec();
    }

    switch (result.outcome) {
    case Outcome::Done:
        // The scan file is the program's temporary file, loaded and deleted
        // at once: complete before it is renamed, but not worth a sync (a
        // 600 dpi A4 scan is 105 MB).
        return file.commit(ReplacingFile::Sync::No) == 0 ? EZTW32_OK : EZTW32_WRITE_FAILED;
    case Outcome::Cancelled:
        return EZTW32_FAILED;
    case Outcome::Failed:
        break;
    case Outcome::WriteFailed:
        return EZTW32_WRITE_FAILED;
    case Outcome::NoMemory:
        return EZTW32_MEMORY;
    }
    showFault(owner, result.fault, result.status, deviceTitle(device), result.cause);
    return EZTW32_FAILED;
}

} // namespace
} // namespace eztw32

// No exception leaves the library: the caller is C.
EZTW32_EXPORT std::int32_t TWAIN_IsAvailable()
{
    try {
        eztw32::makeSigpipeHarmless();
        // Only sane_init's answer: the device search goes on behind it.
        return eztw32::initialisation() == eztw32::Status::Good ? 1 : 0;
    } catch (...) {
        return 0;
    }
}

EZTW32_EXPORT std::int32_t TWAIN_SelectImageSource(std::int32_t window)
{
    if (!qobject_cast<QApplication*>(QCoreApplication::instance()))
        return 0;
    try {
        eztw32::makeSigpipeHarmless();
        eztw32::Settings remembered;
        eztw32::SourceDialog dialog(eztw32::ownerWindow(window), remembered.rememberedDevice());
        if (dialog.exec() != QDialog::Accepted || !dialog.chosen())
            return 0;
        remembered.rememberDevice(*dialog.chosen());
        return 1;
    } catch (...) {
        return 0;
    }
}

EZTW32_EXPORT std::int32_t TWAIN_AcquireToFilename(std::int32_t window, const char* path)
{
    if (!qobject_cast<QApplication*>(QCoreApplication::instance()))
        return EZTW32_FAILED;
    try {
        eztw32::makeSigpipeHarmless();
        return eztw32::acquire(eztw32::ownerWindow(window), path);
    } catch (const std::bad_alloc&) {
        return EZTW32_MEMORY;
    } catch (...) {
        return EZTW32_FAILED;
    }
}
