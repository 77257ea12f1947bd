#include "SaneThread.h"

#include "Log.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <fcntl.h>
#include <mutex>
#include <signal.h>
#include <system_error>
#include <thread>
#include <unistd.h>

namespace eztw32 {
namespace {

// Lives for the whole run on purpose: a destructor at exit must not join a
// busy thread. The library is linked nodelete, so unloading it (the program
// does while it closes) leaves the threads their code.
struct Queue {
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<std::function<void()>> jobs;
};

void blockSignals()
{
    // Signals belong to the program's own threads.
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, nullptr);
}

// The watchdog's side: the check of the run under way, if any.
struct Watch {
    std::mutex mutex;
    std::condition_variable wake;
    std::function<bool()> check;
};

Watch& watch()
{
    static auto* w = new Watch;
    return *w;
}

void startWatchdog()
{
    Watch& w = watch();
    try {
        std::thread watchdog([&w] {
            blockSignals();
            std::unique_lock lock(w.mutex);
            for (;;) {
                w.wake.wait_for(lock, std::chrono::milliseconds(100));
                if (w.check && w.check())
                    w.check = nullptr;
            }
        });
        watchdog.detach();
    } catch (const std::system_error& e) {
        qCWarning(lcEztw32, "no watchdog thread: %s", e.what());
    }
}

Queue& queue()
{
    static Queue* q = [] {
        auto* created = new Queue;
        // Started with the SANE thread, so that a run never needs a thread
        // of its own (a process short of memory may not get one).
        startWatchdog();
        std::thread worker([created] {
            blockSignals();
            for (;;) {
                std::function<void()> job;
                {
                    std::unique_lock lock(created->mutex);
                    created->wake.wait(lock, [created] { return !created->jobs.empty(); });
                    job = std::move(created->jobs.front());
                    created->jobs.pop_front();
                }
                job();
            }
        });
        worker.detach();
        return created;
    }();
    return *q;
}

} // namespace

RunWatch::RunWatch(std::function<bool()> check)
{
    Watch& w = watch();
    std::lock_guard lock(w.mutex);
    w.check = std::move(check);
}

RunWatch::~RunWatch()
{
    Watch& w = watch();
    std::lock_guard lock(w.mutex);
    w.check = nullptr;
}

void postToSaneThread(std::function<void()> job)
{
    Queue& q = queue();
    {
        std::lock_guard lock(q.mutex);
        q.jobs.push_back(std::move(job));
    }
    q.wake.notify_one();
}

namespace {

// What the SANE thread hands to the GUI thread: taken under the mutex and
// run (and destroyed) on the GUI thread only.
struct GuiQueue {
    std::mutex mutex;
    std::deque<std::pair<std::shared_ptr<bool>, std::function<void()>>> calls;
};

GuiQueue& guiQueue()
{
    static auto* q = new GuiQueue;
    return *q;
}

void runGuiCalls();

// Runs the queued calls on the GUI thread, woken through a pipe: the SANE
// thread writes a byte, which allocates nothing, so a call posted while
// the program ends leaves no event of Qt's behind.
class GuiCalls : public QObject {
public:
    GuiCalls()
    {
        if (::pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) {
            wake_[0] = wake_[1] = -1;
            return;
        }
        auto* notifier = new QSocketNotifier(wake_[0], QSocketNotifier::Read, this);
        QObject::connect(notifier, &QSocketNotifier::activated, this, [this] {
            char drained[64];
            while (::read(wake_[0], drained, sizeof drained) > 0) { }
            runGuiCalls();
        });
    }
    // A full pipe already holds a wake-up.
    void wake() const
    {
        if (wake_[1] >= 0) [[maybe_unused]]
            const ssize_t n = ::write(wake_[1], "", 1);
    }

private:
    int wake_[2] = {-1, -1};
};

// Made on the GUI thread by prepareGuiCalls(); lives for the run.
std::atomic<GuiCalls*> guiCalls{nullptr};

void runGuiCalls()
{
    GuiQueue& q = guiQueue();
    for (;;) {
        std::pair<std::shared_ptr<bool>, std::function<void()>> call;
        {
            std::lock_guard lock(q.mutex);
            if (q.calls.empty())
                return;
            call = std::move(q.calls.front());
            q.calls.pop_front();
        }
        if (*call.first)
            call.second();
    }
}

} // namespace

void prepareGuiCalls()
{
    if (!guiCalls.load() && QCoreApplication::instance())
        guiCalls.store(new GuiCalls);
}

void postToGui(std::shared_ptr<bool> alive, std::function<void()> fn)
{
    GuiCalls* calls = guiCalls.load();
    if (!calls)
        return;
    {
        GuiQueue& q = guiQueue();
        std::lock_guard lock(q.mutex);
        q.calls.emplace_back(std::move(alive), std::move(fn));
    }
    calls->wake();
}

} // namespace eztw32
