#include "SaneThread.h"

#include <QCoreApplication>
#include <QMetaObject>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <signal.h>
#include <thread>

namespace eztw32 {
namespace {

// Lives for the whole run on purpose: the program ends with _exit() and
// never unloads us, and a destructor at exit must not join a busy thread.
struct Queue {
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<std::function<void()>> jobs;
};

Queue& queue()
{
    static Queue* q = [] {
        auto* created = new Queue;
        std::thread worker([created] {
            // Signals belong to the program's own threads.
            sigset_t all;
            sigfillset(&all);
            pthread_sigmask(SIG_BLOCK, &all, nullptr);
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

void postToSaneThread(std::function<void()> job)
{
    Queue& q = queue();
    {
        std::lock_guard lock(q.mutex);
        q.jobs.push_back(std::move(job));
    }
    q.wake.notify_one();
}

void postToGui(std::shared_ptr<bool> alive, std::function<void()> fn)
{
    QCoreApplication* app = QCoreApplication::instance();
    if (!app)
        return;
    QMetaObject::invokeMethod(
        app,
        [alive = std::move(alive), fn = std::move(fn)] {
            if (*alive)
                fn();
        },
        Qt::QueuedConnection);
}

} // namespace eztw32
