// The three entry points of EZTW32.dll, the program's scanner library.
#include "Dialogs.h"
#include "Io.h"
#include "Log.h"
#include "Sane.h"
#include "SaneThread.h"
#include "ScanJob.h"
#include "Search.h"
#include "Session.h"
#include "Settings.h"

#include <EZTW32.h>

#include <QApplication>
#include <QPointer>
#include <QTimer>
#include <QWidget>

#include <cstdint>
#include <memory>
#include <new>
#include <string>

#define EZTW32_EXPORT extern "C" __attribute__((visibility("default")))

namespace eztw32 {
namespace {

// The device search starts as soon as the library is loaded, so that the
// source dialog has its list when the user opens it.
__attribute__((constructor)) void searchAtLoading()
{
    startSearch();
}

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

// Runs job on the SANE thread while a modal progress dialog is shown, and
// calls onCancel (GUI thread) when the user cancels. Returns when the job is
// done, or at once after a cancel when leaveOnCancel is set.
template <class Job, class Setup>
bool runWithProgress(QWidget* owner, const QString& text, bool leaveOnCancel, Job job, Setup setup)
{
    auto alive = std::make_shared<bool>(true);
    ProgressDialog dialog(owner);
    dialog.setText(text);
    setup(dialog);
    if (leaveOnCancel)
        QObject::connect(&dialog, &ProgressDialog::cancelRequested, &dialog, &ProgressDialog::finish);
    ProgressDialog* d = &dialog;
    postToSaneThread([alive, d, job = std::move(job)]() mutable {
        job();
        postToGui(alive, [d] { d->finish(); });
    });
    dialog.exec();
    *alive = false;
    return !dialog.cancelWasRequested();
}

void closeLater(const std::shared_ptr<ScanSession>& session)
{
    postToSaneThread([session] { session->close(); });
}

std::int32_t acquire(QWidget* owner, const char* path)
{
    auto session = std::make_shared<ScanSession>();
    const std::optional<DeviceInfo> chosen = rememberedDevice();
    auto opened = std::make_shared<OpenOutcome>();
    const bool stayed = runWithProgress(
        owner, chosen ? QObject::tr("Connecting to the scanner…") : QObject::tr("Looking for a scanner…"),
        true, [session, chosen, opened] { *opened = session->open(chosen, true); },
        [session](ProgressDialog& d) {
            QObject::connect(
                &d, &ProgressDialog::cancelRequested, &d, [session] { session->abandonOpening(); });
        });
    if (!stayed) {
        closeLater(session);
        return EZTW32_FAILED;
    }
    if (opened->fault != Fault::None) {
        showFault(owner, opened->fault, opened->status,
            deviceTitle(opened->missing ? *opened->missing : opened->info));
        return EZTW32_FAILED;
    }

    ScanSettings settings;
    DeviceInfo device;
    {
        ScanDialog settingsDialog(owner, session, *opened);
        if (settingsDialog.exec() != QDialog::Accepted) {
            closeLater(session);
            return EZTW32_FAILED;
        }
        settings = settingsDialog.settings();
        device = settingsDialog.device();
    }

    ReplacingFile file;
    if (!path || !file.create(path)) {
        closeLater(session);
        return EZTW32_FILE_ACCESS;
    }
    const int fd = file.fd();
    auto result = std::make_shared<ScanResult>();
    session->beginRun();
    runWithProgress(
        owner, QObject::tr("Waiting for the scanner…"), false,
        [session, settings, fd, result] {
            *result = session->scan(settings, fd);
            session->close();
        },
        [session](ProgressDialog& d) {
            // The bar follows the data. A device that does not react to a
            // cancel between reads gets SANE's own sane_cancel; one whose
            // read hangs without data past the stall limit is stopped the
            // same way.
            auto* poll = new QTimer(&d);
            QObject::connect(poll, &QTimer::timeout, &d, [session, &d] {
                ScanProgress& p = session->progress();
                if (session->state() == SessionState::Scanning
                    && steadyMs() - p.lastDataMs.load() > stallLimitMs() + 5000 && !p.stalled.load()) {
                    qCDebug(lcEztw32, "no data for too long: stopping the scan");
                    p.stalled = true;
                    session->requestCancel();
                    session->cancelDevice();
                }
                if (!p.dataArrived.load())
                    return;
                const std::int64_t total = p.bytesTotal.load();
                d.setText(QObject::tr("Scanning…"));
                d.setPercent(total > 0 ? int(p.bytesRead.load() * 100 / total) : -1);
            });
            poll->start(100);
            QObject::connect(&d, &ProgressDialog::cancelRequested, &d, [session, &d] {
                session->requestCancel();
                QTimer::singleShot(1500, &d, [session] { session->cancelDevice(); });
            });
        });

    switch (result->outcome) {
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
    showFault(owner, result->fault, result->status, deviceTitle(device));
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
        return eztw32::initialisation() == SANE_STATUS_GOOD ? 1 : 0;
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
        eztw32::prepareGuiCalls();
        eztw32::SourceDialog dialog(eztw32::ownerWindow(window), eztw32::rememberedDevice());
        if (dialog.exec() != QDialog::Accepted || !dialog.chosen())
            return 0;
        eztw32::rememberDevice(*dialog.chosen());
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
        eztw32::prepareGuiCalls();
        return eztw32::acquire(eztw32::ownerWindow(window), path);
    } catch (const std::bad_alloc&) {
        return EZTW32_MEMORY;
    } catch (...) {
        return EZTW32_FAILED;
    }
}
