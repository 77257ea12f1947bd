// The three entry points of EZTW32.dll, the program's scanner library.
#include "Dialogs.h"
#include "Sane.h"
#include "SaneThread.h"
#include "ScanJob.h"

#include <QApplication>
#include <QPointer>
#include <QTimer>
#include <QWidget>

#include <cerrno>
#include <cstdint>
#include <fcntl.h>
#include <memory>
#include <new>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#define EZTW32_EXPORT extern "C" __attribute__((visibility("default")))

namespace eztw32 {
namespace {

// The source chosen in the source dialog, for the rest of the run. Never
// freed: the program ends with _exit() and we run no destructor at exit.
std::optional<DeviceInfo>& chosenSource()
{
    static auto* chosen = new std::optional<DeviceInfo>;
    return *chosen;
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

// The file being written: a temporary file beside the target, renamed to
// the target only when complete and removed otherwise.
class TempFile {
public:
    TempFile() = default;
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;
    ~TempFile()
    {
        if (fd_ >= 0)
            ::close(fd_);
        if (!tempPath_.empty() && !committed_)
            ::unlink(tempPath_.c_str());
    }

    bool create(const std::string& target)
    {
        target_ = target;
        if (target.empty() || target.back() == '/')
            return false;
        struct stat st {};
        if (::stat(target.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
            return false;
        const auto slash = target.rfind('/');
        const std::string folder = slash == std::string::npos ? std::string(".") : target.substr(0, slash + 1);
        const std::string name = slash == std::string::npos ? target : target.substr(slash + 1);
        std::string pattern = folder + (folder.back() == '/' ? "" : "/") + "." + name + ".XXXXXX";
        fd_ = ::mkstemp(pattern.data());
        if (fd_ < 0)
            return false;
        tempPath_ = pattern;
        const mode_t mask = ::umask(0);
        ::umask(mask);
        ::fchmod(fd_, 0666 & ~mask);
        return true;
    }

    int fd() const { return fd_; }

    // Closes the file and puts it in place; false when that fails.
    bool commit()
    {
        const int fd = fd_;
        fd_ = -1;
        if (::close(fd) != 0)
            return false;
        if (::rename(tempPath_.c_str(), target_.c_str()) != 0)
            return false;
        committed_ = true;
        return true;
    }

private:
    int fd_ = -1;
    std::string target_, tempPath_;
    bool committed_ = false;
};

// What the acquisition's jobs on the SANE thread share with the GUI thread.
struct Session {
    Device device;
    DeviceInfo info;
    std::vector<OptionInfo> options;
    Fault fault = Fault::None;
    SANE_Status status = SANE_STATUS_GOOD;
    std::atomic<bool> abandoned{false};
    ScanProgress progress;
    ScanResult result;
};

// Runs job on the SANE thread while a modal progress dialog is shown, and
// calls onCancel (GUI thread) when the user cancels. Returns when the job is
// done, or at once after a cancel when leaveOnCancel is set.
template <class Job, class Setup>
bool runWithProgress(QWidget* owner, const QString& text, bool leaveOnCancel, Job job, Setup setup)
{
    struct Link {
        QPointer<ProgressDialog> dialog;
    };
    auto link = std::make_shared<Link>();
    ProgressDialog dialog(owner);
    dialog.setText(text);
    link->dialog = &dialog;
    setup(dialog);
    if (leaveOnCancel)
        QObject::connect(&dialog, &ProgressDialog::cancelRequested, &dialog, &ProgressDialog::finish);
    postToSaneThread([link, job = std::move(job)]() mutable {
        job();
        QMetaObject::invokeMethod(
            qApp, [link] {
                if (link->dialog)
                    link->dialog->finish();
            },
            Qt::QueuedConnection);
    });
    dialog.exec();
    link->dialog = nullptr;
    return !dialog.cancelWasRequested();
}

void closeLater(const std::shared_ptr<Session>& session)
{
    postToSaneThread([session] { session->device.close(); });
}

std::int32_t acquire(QWidget* owner, const char* path)
{
    auto session = std::make_shared<Session>();
    const std::optional<DeviceInfo> chosen = chosenSource();
    const bool opened = runWithProgress(
        owner, chosen ? QObject::tr("Connecting to the scanner…") : QObject::tr("Looking for a scanner…"), true,
        [session, chosen] {
            Session& s = *session;
            if ((s.status = ensureSaneInitialised()) != SANE_STATUS_GOOD) {
                s.fault = Fault::NotInitialised;
                return;
            }
            if (chosen) {
                s.info = *chosen;
            } else {
                std::vector<DeviceInfo> devices;
                s.status = listDevices(devices);
                if (devices.empty()) {
                    s.fault = Fault::NoDevice;
                    return;
                }
                s.info = devices.front();
            }
            if (s.abandoned.load())
                return;
            s.status = s.device.open(s.info.name, &s.abandoned);
            if (s.status != SANE_STATUS_GOOD) {
                s.fault = s.status == SANE_STATUS_INVAL ? Fault::DeviceGone : Fault::Status;
                return;
            }
            if (s.abandoned.load()) {
                s.device.close();
                return;
            }
            s.options = s.device.options();
        },
        [session](ProgressDialog& d) {
            QObject::connect(&d, &ProgressDialog::cancelRequested, &d, [session] { session->abandoned = true; });
        });
    if (!opened)
        return -1;
    if (session->fault != Fault::None) {
        showFault(owner, session->fault, session->status, deviceTitle(session->info));
        return -1;
    }

    {
        ScanDialog settingsDialog(owner, session->info, session->options);
        if (settingsDialog.exec() != QDialog::Accepted) {
            closeLater(session);
            return -1;
        }
        const ScanSettings settings = settingsDialog.settings();

        TempFile file;
        if (!path || !file.create(path)) {
            closeLater(session);
            return -2;
        }
        const int fd = file.fd();
        runWithProgress(
            owner, QObject::tr("Waiting for the scanner…"), false,
            [session, settings, fd] {
                session->result = runScan(session->device, settings, fd, session->progress);
            },
            [session](ProgressDialog& d) {
                // The bar follows the data; a device that does not react to a
                // cancel between reads gets SANE's own sane_cancel.
                auto* poll = new QTimer(&d);
                QObject::connect(poll, &QTimer::timeout, &d, [session, &d] {
                    const ScanProgress& p = session->progress;
                    if (!p.dataArrived.load())
                        return;
                    const std::int64_t total = p.bytesTotal.load();
                    d.setText(QObject::tr("Scanning…"));
                    d.setPercent(total > 0 ? int(p.bytesRead.load() * 100 / total) : -1);
                });
                poll->start(100);
                QObject::connect(&d, &ProgressDialog::cancelRequested, &d, [session, &d] {
                    session->progress.cancelRequested = true;
                    QTimer::singleShot(1500, &d, [session] { session->device.cancelAsync(); });
                });
            });

        const ScanResult r = session->result;
        switch (r.outcome) {
        case Outcome::Done:
            return file.commit() ? 0 : -4;
        case Outcome::Cancelled:
            return -1;
        case Outcome::Failed:
            break;
        case Outcome::WriteFailed:
            return -4;
        case Outcome::NoMemory:
            return -3;
        }
    }
    showFault(owner, session->result.fault, session->result.status, deviceTitle(session->info));
    return -1;
}

} // namespace
} // namespace eztw32

// No exception leaves the library: the caller is C.
EZTW32_EXPORT std::int32_t TWAIN_IsAvailable()
{
    try {
        return eztw32::ensureSaneInitialised() == SANE_STATUS_GOOD ? 1 : 0;
    } catch (...) {
        return 0;
    }
}

EZTW32_EXPORT std::int32_t TWAIN_SelectImageSource(std::int32_t window)
{
    if (!qobject_cast<QApplication*>(QCoreApplication::instance()))
        return 0;
    try {
        eztw32::SourceDialog dialog(eztw32::ownerWindow(window), eztw32::chosenSource());
        if (dialog.exec() != QDialog::Accepted || !dialog.chosen())
            return 0;
        eztw32::chosenSource() = dialog.chosen();
        return 1;
    } catch (...) {
        return 0;
    }
}

EZTW32_EXPORT std::int32_t TWAIN_AcquireToFilename(std::int32_t window, const char* path)
{
    if (!qobject_cast<QApplication*>(QCoreApplication::instance()))
        return -1;
    try {
        return eztw32::acquire(eztw32::ownerWindow(window), path);
    } catch (const std::bad_alloc&) {
        return -3;
    } catch (...) {
        return -1;
    }
}
