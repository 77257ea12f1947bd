// The library's side of one driver host (eztw32-driver): the process that
// runs a device's SANE backend for one scan session. The SANE thread makes
// the calls, one at a time, each with a time limit; any thread may ask for
// a cancel or end the host. A host that does not answer in time is killed,
// and one that dies is told as a crash, with its signal: either way the
// session's device is lost, never the program.
#pragma once

#include "DriverProtocol.h"
#include "replace/UniqueFd.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

namespace eztw32 {

class DriverHost {
public:
    enum class End {
        None, // running, or never started
        Hung, // did not answer in time, and was killed
        Crashed, // died (a signal, or an exit nobody asked for)
        Broken, // could not be started, or broke the protocol
    };

    DriverHost() = default;
    ~DriverHost() { stop(); }
    DriverHost(const DriverHost&) = delete;
    DriverHost& operator=(const DriverHost&) = delete;

    // Starts a fresh host (ending the one before); false when it cannot
    // run, with the reason in cause().
    bool start();
    bool running() const { return pid_ > 0 && end_ == End::None; }

    // Sends one request frame and waits for its answer's body: false when
    // the host has ended, or ends now because it took longer than limitMs
    // (killed) or because *stop turned true (killed). SANE thread only.
    // The answer lies in `answer` until the next call.
    bool call(const std::string& frame, std::string_view& answer, int limitMs,
        const std::atomic<bool>* stop = nullptr);

    // Any thread: a sane_cancel in the host now, whatever it is doing.
    void cancelAsync();
    // Any thread: kills the host as hung; `why` ends "The driver ..." ("did
    // not answer in time"). A call that waits returns false at once.
    void kill(const std::string& why);

    // Ends the host: its requests closed, given graceMs to finish its
    // driver's close and exit, then killed. SANE thread only.
    void stop(int graceMs = 2000);

    // The memory the host reads rows into, shared with it (read only here);
    // nullptr while it does not run.
    const std::uint8_t* shared() const
    {
        return running() ? static_cast<const std::uint8_t*>(shared_) : nullptr;
    }
    std::size_t sharedSize() const { return running() ? driver::SharedBytes : 0; }

    End end() const { return end_; }
    // What ended the host, as a sentence for the user ("The driver crashed
    // with signal 11 SIGSEGV, Segmentation fault.").
    std::string cause() const;

private:
    // Reaps the host if it has ended (waiting up to waitMs); true when it
    // has.
    bool reap(int waitMs);
    void fail(End end, std::string cause);
    // The host's pipe broke: it is reaped and its end told.
    void lost();
    // Reads what has come of the answers into p, waiting while nothing
    // has, up to deadlineMs or until *stop; 0 when the host has ended (or
    // is ended now).
    ssize_t receive(char* p, std::size_t room, std::int64_t deadlineMs, const std::atomic<bool>* stop);

    std::atomic<pid_t> pid_{-1};
    std::atomic<End> end_{End::None};
    replace::UniqueFd requests_, answers_, cancels_;
    // kill() wakes a waiting call through this pipe.
    replace::UniqueFd wakeRead_, wakeWrite_;
    mutable std::mutex mutex_; // pid_ against kill() from other threads, cause_
    std::string cause_;
    driver::Inbox inbox_; // the answers
    void* shared_ = nullptr; // driver::SharedBytes long
};

// How long a host is given for one call other than a read: the stall
// limit, as for a read without data.
int driverCallLimitMs();

} // namespace eztw32
