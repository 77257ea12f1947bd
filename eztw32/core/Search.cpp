#include "Search.h"

#include "Log.h"
#include "Sane.h"
#include "SaneThread.h"
#include "SearchHelper.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <future>
#include <mutex>
#include <signal.h>
#include <system_error>
#include <thread>
#include <utility>

namespace eztw32 {
namespace {

struct Listener {
    std::shared_ptr<bool> alive;
    std::function<void()> fn;
};

// Lives for the run, like the SANE thread.
struct State {
    std::mutex mutex;
    std::condition_variable ended;
    SearchResult result;
    // Searches started and ended, counted: a waiter waits for the one under
    // way when it came, not for any later one.
    std::uint64_t started = 0, finished = 0;
    std::vector<Listener> listeners;
    std::promise<Status> initPromise;
    std::shared_future<Status> init = initPromise.get_future().share();
    bool initQueued = false;
    pid_t helper = -1; // the helper of the search under way, while it runs
    bool stopping = false; // the library is being unloaded
    std::thread reader; // the thread of the last search
};

State& state()
{
    static auto* s = new State;
    return *s;
}

void queueInit(State& s)
{
    {
        std::lock_guard lock(s.mutex);
        if (s.initQueued)
            return;
        s.initQueued = true;
    }
    postToSaneThread([&s] { s.initPromise.set_value(toStatus(ensureSaneInitialised())); });
}

Status initialiseAndList(std::vector<DeviceInfo>& devices)
{
    SANE_Status status = ensureSaneInitialised();
    if (status == SANE_STATUS_GOOD)
        status = listDevices(devices);
    return toStatus(status);
}

void finish(State& s, Status status, std::vector<DeviceInfo> devices)
{
    std::vector<Listener> listeners;
    {
        std::lock_guard lock(s.mutex);
        s.result.done = true;
        s.result.running = false;
        s.result.status = status;
        s.result.devices = std::move(devices);
        s.finished = s.started;
        listeners.swap(s.listeners);
        if (s.stopping)
            listeners.clear();
    }
    s.ended.notify_all();
    for (Listener& l : listeners)
        postToGui(std::move(l.alive), std::move(l.fn));
}

// The reader thread's work: one search in the helper.
void searchInHelper(State& s, const std::string& helper)
{
    // Signals belong to the program's own threads.
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, nullptr);
    const HelperSearch found = runSearchHelper(helper, searchTimeoutMs(), [&s](pid_t pid) {
        std::lock_guard lock(s.mutex);
        s.helper = pid;
        return !s.stopping;
    });
    if (!found.complete) {
        bool stopping = false;
        {
            std::lock_guard lock(s.mutex);
            stopping = s.stopping;
        }
        // Shown as no scanner found; the cause goes to the log (a search
        // stopped because the library goes is no fault).
        if (stopping)
            qCDebug(lcEztw32, "device search stopped: the library is unloaded");
        else
            qCWarning(lcEztw32, "no device list: %s", found.failure.c_str());
        finish(s, Status::Good, {});
        return;
    }
    qCDebug(lcEztw32, "device search (%s) -> %s, %zu devices", helper.c_str(),
        qPrintable(statusText(found.status)), found.devices.size());
    for (const DeviceInfo& d : found.devices)
        qCDebug(lcEztw32, "  device %s: %s %s (%s)", d.name.c_str(), d.vendor.c_str(), d.model.c_str(),
            d.type.c_str());
    finish(s, found.status, found.devices);
}

// Starts a search unless one is under way; gives the number of the one
// under way.
std::uint64_t begin(State& s)
{
    queueInit(s);
    std::thread previous;
    std::uint64_t number = 0;
    {
        std::lock_guard lock(s.mutex);
        if (s.result.running || s.stopping)
            return s.started;
        s.result.running = true;
        number = ++s.started;
        previous = std::move(s.reader);
    }
    // The last search has ended (none was under way): its thread is done.
    if (previous.joinable())
        previous.join();
    const std::string helper = searchHelperPath();
    if (helper.empty()) {
        static std::once_flag told;
        std::call_once(told,
            [] { qCWarning(lcEztw32, "the device search helper is missing: searching in this process"); });
        postToSaneThread([&s] {
            std::vector<DeviceInfo> devices;
            const Status status = initialiseAndList(devices);
            finish(s, status, std::move(devices));
        });
        return number;
    }
    try {
        std::thread reader([&s, helper] { searchInHelper(s, helper); });
        std::lock_guard lock(s.mutex);
        s.reader = std::move(reader);
    } catch (const std::system_error& e) {
        qCWarning(lcEztw32, "no thread for the device search: %s", e.what());
        finish(s, Status::NoMem, {});
    }
    return number;
}

} // namespace

Status initialisation()
{
    State& s = state();
    queueInit(s);
    return s.init.get();
}

void startSearch()
{
    begin(state());
}

Status searchNow(std::vector<DeviceInfo>& devices, const std::atomic<bool>* abandoned)
{
    State& s = state();
    if (searchHelperPath().empty()) {
        // The search runs here, on the SANE thread, which must not wait for
        // a job queued behind it.
        const Status status = initialiseAndList(devices);
        {
            std::lock_guard lock(s.mutex);
            if (s.result.running)
                return status; // the queued search will tell its listeners
            s.result.running = true;
            ++s.started;
        }
        finish(s, status, devices);
        return status;
    }
    const std::uint64_t number = begin(s);
    std::unique_lock lock(s.mutex);
    while (s.finished < number && !s.stopping) {
        if (abandoned && abandoned->load())
            return Status::Cancelled;
        s.ended.wait_for(lock, std::chrono::milliseconds(50));
    }
    devices = s.result.devices;
    return s.result.status;
}

void stopSearches()
{
    State& s = state();
    std::thread reader;
    {
        std::lock_guard lock(s.mutex);
        s.stopping = true;
        if (s.helper > 0)
            ::kill(s.helper, SIGKILL);
        reader = std::move(s.reader);
    }
    if (reader.joinable())
        reader.join();
}

SearchResult searchResult()
{
    State& s = state();
    std::lock_guard lock(s.mutex);
    return s.result;
}

void whenSearchEnds(std::shared_ptr<bool> alive, std::function<void()> fn)
{
    State& s = state();
    {
        std::lock_guard lock(s.mutex);
        if (s.result.running) {
            s.listeners.push_back({std::move(alive), std::move(fn)});
            return;
        }
    }
    postToGui(std::move(alive), std::move(fn));
}

} // namespace eztw32
