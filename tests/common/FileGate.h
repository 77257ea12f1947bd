#pragma once
// Holds every process that starts a program from a file in one folder (in
// execve), or that reads a file in it, until the test lets it go, through
// the kernel's fanotify permission events. A test that must act while the
// converter runs holds it there instead of racing it: however fast the
// converter and however busy the machine, it has not gone past that point.
// Needs root (CAP_SYS_ADMIN).
//
// A program held in its execve also holds whoever started it with
// posix_spawn (which waits for the exec); one held at a read does not.
#include <QByteArray>
#include <QFile>
#include <QList>
#include <QString>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <sys/fanotify.h>
#include <thread>
#include <unistd.h>

namespace orvane::test {

class FileGate {
public:
    enum class At { Exec, Read };

    // program: when given, only processes running it are held; others go
    // on at once. The gate answers on a thread of its own, so the test may
    // block meanwhile.
    FileGate(const QString& folder, At at, const QString& program = {})
        : program_(QFile::encodeName(program))
    {
        fd_ = ::fanotify_init(FAN_CLASS_CONTENT | FAN_CLOEXEC | FAN_NONBLOCK, O_RDONLY | O_CLOEXEC);
        if (fd_ < 0) {
            why_ = QStringLiteral("fanotify: ") + QString::fromLocal8Bit(std::strerror(errno));
            return;
        }
        const std::uint64_t mask = at == At::Exec ? FAN_OPEN_EXEC_PERM : FAN_ACCESS_PERM;
        if (::fanotify_mark(
                fd_, FAN_MARK_ADD, mask | FAN_EVENT_ON_CHILD, AT_FDCWD, QFile::encodeName(folder).constData())
                != 0
            || ::pipe2(stop_, O_CLOEXEC) != 0) {
            why_ = QStringLiteral("fanotify_mark: ") + QString::fromLocal8Bit(std::strerror(errno));
            ::close(fd_);
            fd_ = -1;
            return;
        }
        thread_ = std::thread([this] { serve(); });
    }
    FileGate(const FileGate&) = delete;
    FileGate& operator=(const FileGate&) = delete;
    ~FileGate() { open(); }

    // Empty when the gate works, else why not.
    const QString& whyNot() const { return why_; }

    // The processes held so far (their pids).
    QList<int> held()
    {
        std::lock_guard lock(mutex_);
        return pids_;
    }

    // Lets every held program go on, and every later one pass freely.
    void open()
    {
        if (thread_.joinable()) {
            [[maybe_unused]] const ssize_t written = ::write(stop_[1], "", 1);
            thread_.join();
        }
        std::lock_guard lock(mutex_);
        for (int event : events_)
            allow(event);
        events_.clear();
        for (int* fd : {&fd_, &stop_[0], &stop_[1]})
            if (*fd >= 0) {
                ::close(*fd);
                *fd = -1;
            }
    }

private:
    void serve()
    {
        alignas(fanotify_event_metadata) char buf[4096];
        for (;;) {
            pollfd fds[2] = {{fd_, POLLIN, 0}, {stop_[0], POLLIN, 0}};
            if (::poll(fds, 2, -1) < 0 && errno != EINTR)
                return;
            if (fds[1].revents)
                return;
            ssize_t got;
            while ((got = ::read(fd_, buf, sizeof buf)) > 0) {
                for (auto* e = reinterpret_cast<fanotify_event_metadata*>(buf); FAN_EVENT_OK(e, got);
                     e = FAN_EVENT_NEXT(e, got)) {
                    if (e->fd < 0)
                        continue;
                    if (!program_.isEmpty() && runs(e->pid) != program_) {
                        allow(e->fd);
                        continue;
                    }
                    std::lock_guard lock(mutex_);
                    events_.append(e->fd);
                    pids_.append(e->pid);
                }
            }
        }
    }

    void allow(int event)
    {
        const fanotify_response response{event, FAN_ALLOW};
        [[maybe_unused]] const ssize_t written = ::write(fd_, &response, sizeof response);
        ::close(event);
    }

    static QByteArray runs(int pid)
    {
        char path[PATH_MAX];
        const ssize_t n = ::readlink(
            QByteArray("/proc/" + QByteArray::number(pid) + "/exe").constData(), path, sizeof path);
        return n > 0 ? QByteArray(path, int(n)) : QByteArray();
    }

    QByteArray program_;
    std::mutex mutex_;
    std::thread thread_;
    int fd_ = -1;
    int stop_[2] = {-1, -1};
    QString why_;
    QList<int> events_, pids_;
};

} // namespace orvane::test
