#pragma once
// A child process for the tests, started with posix_spawn. Qt's process
// class starts its children through clone() with the parent's memory shared
// (vfork semantics); ThreadSanitizer intercepts that call and runs its fork
// bookkeeping inside the shared memory, so the test believes its other
// threads ended and dies at its next thread ("starting new threads after
// multi-threaded fork"). glibc's posix_spawn clones without that call, so a
// test run under the sanitizer starts its helpers with this instead.
//
// Standard input is /dev/null; standard output is read into output() (or
// written to a file); standard error is the test's own, or read into
// errors() when asked.
#include <QByteArray>
#include <QDeadlineTimer>
#include <QFile>
#include <QProcessEnvironment>
#include <QStandardPaths>
#include <QString>
#include <QStringList>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace orvane::test {

class Spawn {
public:
    enum class Errors { Inherit, Capture };

    Spawn() = default;
    Spawn(const Spawn&) = delete;
    Spawn& operator=(const Spawn&) = delete;
    ~Spawn() { kill(); }

    // outputFile: where standard output goes, empty for output().
    bool start(const QString& program, const QStringList& arguments,
        const QProcessEnvironment& environment = QProcessEnvironment::systemEnvironment(),
        Errors errors = Errors::Inherit, const QString& outputFile = {})
    {
        kill();
        output_.clear();
        errors_.clear();
        const QString path
            = program.contains(QLatin1Char('/')) ? program : QStandardPaths::findExecutable(program);
        if (path.isEmpty()) {
            error_ = program + QStringLiteral(": not found");
            return false;
        }
        std::vector<QByteArray> argStore{QFile::encodeName(path)};
        for (const QString& a : arguments)
            argStore.push_back(a.toLocal8Bit());
        std::vector<QByteArray> envStore;
        for (const QString& kv : environment.toStringList())
            envStore.push_back(kv.toLocal8Bit());
        std::vector<char*> argv, envp;
        for (QByteArray& a : argStore)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        for (QByteArray& e : envStore)
            envp.push_back(e.data());
        envp.push_back(nullptr);

        int out[2] = {-1, -1}, err[2] = {-1, -1};
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        const QByteArray outPath = QFile::encodeName(outputFile);
        if (!outputFile.isEmpty()) {
            posix_spawn_file_actions_addopen(
                &actions, 1, outPath.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        } else if (::pipe2(out, O_CLOEXEC) == 0) {
            posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        }
        if (errors == Errors::Capture && ::pipe2(err, O_CLOEXEC) == 0)
            posix_spawn_file_actions_adddup2(&actions, err[1], 2);
        const int rc = ::posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data());
        posix_spawn_file_actions_destroy(&actions);
        for (int fd : {out[1], err[1]})
            if (fd >= 0)
                ::close(fd);
        outFd_ = out[0];
        errFd_ = err[0];
        for (int fd : {outFd_, errFd_})
            if (fd >= 0)
                ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
        if (rc != 0) {
            pid_ = -1;
            error_ = path + QStringLiteral(": ") + QString::fromLocal8Bit(std::strerror(rc));
            closePipes();
            return false;
        }
        exitStatus_ = 0;
        return true;
    }

    // Starts, waits up to timeoutMs and gives false if the program did not
    // start or end (it is killed then).
    bool run(const QString& program, const QStringList& arguments,
        const QProcessEnvironment& environment = QProcessEnvironment::systemEnvironment(),
        int timeoutMs = 120000, Errors errors = Errors::Inherit, const QString& outputFile = {})
    {
        if (!start(program, arguments, environment, errors, outputFile))
            return false;
        if (wait(timeoutMs))
            return true;
        kill();
        return false;
    }

    // Reads what is there without waiting; true while the program runs.
    bool poll()
    {
        drain(0);
        return reap(false);
    }

    // Waits up to timeoutMs for the end, reading as it goes.
    bool wait(int timeoutMs)
    {
        QDeadlineTimer deadline(timeoutMs);
        while (reap(false)) {
            if (deadline.hasExpired())
                return false;
            drain(20);
        }
        drain(0);
        closePipes();
        return true;
    }

    void kill(int sig = SIGKILL)
    {
        if (pid_ > 0 && reap(false)) {
            ::kill(pid_, sig);
            reap(true);
        }
        closePipes();
    }

    pid_t pid() const { return pid_; }
    bool running() { return reap(false); }
    // The exit code, or -1 when the program ended by a signal.
    int exitCode() const { return WIFEXITED(exitStatus_) ? WEXITSTATUS(exitStatus_) : -1; }
    bool crashed() const { return WIFSIGNALED(exitStatus_); }
    const QByteArray& output() const { return output_; }
    const QByteArray& errors() const { return errors_; }
    const QString& error() const { return error_; }

private:
    // True while the program runs.
    bool reap(bool block)
    {
        if (pid_ <= 0)
            return false;
        int status = 0;
        pid_t r;
        do
            r = ::waitpid(pid_, &status, block ? 0 : WNOHANG);
        while (r < 0 && errno == EINTR);
        if (r == 0)
            return true;
        exitStatus_ = r == pid_ ? status : 0;
        pid_ = -1;
        return false;
    }

    void drain(int waitMs)
    {
        pollfd fds[2];
        int n = 0;
        for (int fd : {outFd_, errFd_})
            if (fd >= 0)
                fds[n++] = {fd, POLLIN, 0};
        if (n == 0) {
            if (waitMs > 0)
                ::poll(nullptr, 0, waitMs);
            return;
        }
        ::poll(fds, nfds_t(n), waitMs);
        readFrom(outFd_, output_);
        readFrom(errFd_, errors_);
    }

    static void readFrom(int& fd, QByteArray& into)
    {
        if (fd < 0)
            return;
        char buf[65536];
        for (;;) {
            const ssize_t got = ::read(fd, buf, sizeof buf);
            if (got > 0) {
                into.append(buf, got);
                continue;
            }
            if (got == 0) {
                ::close(fd);
                fd = -1;
            } else if (errno == EINTR) {
                continue;
            }
            return;
        }
    }

    void closePipes()
    {
        for (int* fd : {&outFd_, &errFd_})
            if (*fd >= 0) {
                readFrom(*fd, fd == &outFd_ ? output_ : errors_);
                if (*fd >= 0)
                    ::close(*fd);
                *fd = -1;
            }
    }

    pid_t pid_ = -1;
    int outFd_ = -1, errFd_ = -1;
    int exitStatus_ = 0;
    QByteArray output_, errors_;
    QString error_;
};

} // namespace orvane::test
