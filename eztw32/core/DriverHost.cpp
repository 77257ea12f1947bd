#include "DriverHost.h"

#include "DriverProtocol.h"
#include "HelperProcess.h"
#include "Log.h"
#include "ScanProgress.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace eztw32 {
using replace::UniqueFd;

int driverCallLimitMs()
{
    return stallLimitMs();
}

void DriverHost::fail(End end, std::string cause)
{
    std::lock_guard lock(mutex_);
    End expected = End::None;
    if (end_.compare_exchange_strong(expected, end))
        cause_ = std::move(cause);
}

std::string DriverHost::cause() const
{
    std::lock_guard lock(mutex_);
    return cause_;
}

bool DriverHost::start()
{
    stop();
    {
        std::lock_guard lock(mutex_);
        end_ = End::None;
        cause_.clear();
    }
    const std::string program = helperPath("eztw32-driver", "EZTW32_DRIVER_HELPER");
    if (program.empty()) {
        fail(End::Broken, "The driver host eztw32-driver is missing beside the scanner library.");
        return false;
    }
    UniqueFd requestRead, answerWrite, cancelRead;
    if (!makePipe(requestRead, requests_) || !makePipe(answers_, answerWrite)
        || !makePipe(cancelRead, cancels_) || !makePipe(wakeRead_, wakeWrite_, O_NONBLOCK)) {
        fail(End::Broken, std::string("No pipe for the driver host: ") + std::strerror(errno) + ".");
        return false;
    }
    // The rows: the host reads them ahead into a ring in this memory, and
    // the library takes them from there.
    UniqueFd memory(::memfd_create("eztw32-rows", MFD_CLOEXEC));
    void* shared = MAP_FAILED;
    if (memory && ::ftruncate(memory.get(), off_t(driver::SharedBytes)) == 0)
        shared = ::mmap(nullptr, driver::SharedBytes, PROT_READ, MAP_SHARED, memory.get(), 0);
    if (shared == MAP_FAILED) {
        fail(
            End::Broken, std::string("No memory shared with the driver host: ") + std::strerror(errno) + ".");
        return false;
    }
    shared_ = shared;
    // A cancel never waits: a full pipe holds enough of them already.
    ::fcntl(cancels_.get(), F_SETFL, O_NONBLOCK);
    std::string why;
    const pid_t pid = spawnHelper(program,
        {{driver::RequestFd, requestRead.get()}, {driver::AnswerFd, answerWrite.get()},
            {driver::CancelFd, cancelRead.get()}, {driver::SharedFd, memory.get()}},
        why);
    if (pid < 0) {
        fail(End::Broken, "The driver host could not be started: " + why + ".");
        return false;
    }
    pid_ = pid;
    qCDebug(lcEztw32, "driver host %d started", int(pid));
    return true;
}

bool DriverHost::reap(int waitMs)
{
    const pid_t pid = pid_.load();
    if (pid <= 0)
        return true;
    int status = 0;
    for (const std::int64_t until = steadyMs() + waitMs;;) {
        const pid_t r = ::waitpid(pid, &status, WNOHANG);
        if (r == pid || (r < 0 && errno != EINTR))
            break;
        const std::int64_t left = until - steadyMs();
        if (left < 0)
            return false;
        // The host's end of the answers closes as it exits: waiting on it
        // ends the wait then, not at the next look.
        pollfd p{answers_.get(), 0, 0};
        if (!answers_ || ::poll(&p, 1, int(std::min<std::int64_t>(left, 10))) > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(answers_ ? 1 : 10));
    }
    std::lock_guard lock(mutex_);
    pid_ = -1;
    if (end_ == End::None && (!WIFEXITED(status) || WEXITSTATUS(status) != 0)) {
        end_ = End::Crashed;
        cause_ = "The driver " + endText(status) + ".";
    }
    qCDebug(lcEztw32, "driver host %d %s", int(pid), endText(status).c_str());
    return true;
}

void DriverHost::lost()
{
    // The host has gone, or closed its end: how is told by its end.
    if (!reap(1000)) {
        kill("closed its pipes");
        reap(60000);
    }
    fail(End::Crashed, "The driver ended in the middle of a call.");
}

void DriverHost::kill(const std::string& why)
{
    fail(End::Hung, "The driver " + why + ".");
    std::lock_guard lock(mutex_);
    if (pid_ > 0) {
        qCDebug(lcEztw32, "driver host %d killed: %s", int(pid_.load()), why.c_str());
        ::kill(pid_, SIGKILL);
    }
    if (wakeWrite_) [[maybe_unused]]
        const ssize_t n = ::write(wakeWrite_.get(), "", 1);
}

void DriverHost::cancelAsync()
{
    std::lock_guard lock(mutex_);
    if (pid_ > 0 && cancels_) [[maybe_unused]]
        const ssize_t n = ::write(cancels_.get(), "", 1);
}

ssize_t DriverHost::receive(char* p, std::size_t room, std::int64_t deadlineMs, const std::atomic<bool>* stop)
{
    // A call without a limit of its own (a read, a start: the run's watchdog
    // ends a host that hangs in them, which closes its pipe) waits in the
    // read itself; the others wait in poll, watching the clock and *stop.
    const bool watched = stop || deadlineMs - steadyMs() < 3600 * 1000;
    for (;;) {
        if (end_ != End::None)
            return 0;
        if (watched) {
            if (stop && stop->load()) {
                kill("was no longer wanted");
                return 0;
            }
            const std::int64_t left = deadlineMs - steadyMs();
            if (left <= 0) {
                kill("did not answer in time");
                return 0;
            }
            pollfd fds[2] = {{answers_.get(), POLLIN, 0}, {wakeRead_.get(), POLLIN, 0}};
            const int ready = ::poll(fds, 2, int(std::min<std::int64_t>(left, stop ? 50 : 1000)));
            if (ready < 0 && errno != EINTR)
                return 0;
            if (ready <= 0 || !(fds[0].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
        }
        const ssize_t got = ::read(answers_.get(), p, room);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0) {
            lost();
            return 0;
        }
        return got;
    }
}

bool DriverHost::call(
    const std::string& frame, std::string_view& answer, int limitMs, const std::atomic<bool>* stop)
{
    answer = {};
    if (!running())
        return false;
    if (!driver::writeFrame(requests_.get(), frame)) {
        lost();
        return false;
    }
    const std::int64_t deadline = steadyMs() + limitMs;
    if (inbox_.next(answer, [&](char* p, std::size_t room) { return receive(p, room, deadline, stop); }))
        return true;
    if (end_ == End::None) {
        fail(End::Broken, "The driver host sent a broken answer.");
        kill("sent a broken answer");
    }
    return false;
}

void DriverHost::stop(int graceMs)
{
    if (pid_.load() > 0) {
        // Without its requests the host closes the device and ends.
        requests_.reset();
        if (!reap(graceMs)) {
            kill("did not end within " + std::to_string(graceMs) + " ms of the end of its session");
            reap(60000);
        }
    }
    requests_.reset();
    answers_.reset();
    inbox_ = {};
    if (shared_)
        ::munmap(shared_, driver::SharedBytes);
    shared_ = nullptr;
    std::lock_guard lock(mutex_);
    cancels_.reset();
    wakeRead_.reset();
    wakeWrite_.reset();
}

} // namespace eztw32
