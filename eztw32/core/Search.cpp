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
    std::vector<pid_t> helpers; // the helpers of the search under way, while they run
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
        s.result.asking.clear();
        s.finished = s.started;
        listeners.swap(s.listeners);
        if (s.stopping)
            listeners.clear();
    }
    s.ended.notify_all();
    for (Listener& l : listeners)
        postToGui(std::move(l.alive), std::move(l.fn));
}

// What the user reads of a backend still being asked.
std::string askingText(const std::string& backend)
{
    if (backend != "net")
        return backend;
    const std::vector<std::string> hosts = netHosts();
    std::string text;
    for (const std::string& h : hosts)
        text += (text.empty() ? "" : ", ") + h;
    return hosts.empty() ? backend : backend + " (" + text + ")";
}

// Tells the listeners of the search under way that it has news.
void tell(State& s, std::unique_lock<std::mutex>& lock)
{
    std::vector<Listener> listeners;
    listeners.swap(s.listeners);
    const bool stopping = s.stopping;
    lock.unlock();
    s.ended.notify_all();
    if (!stopping)
        for (Listener& l : listeners)
            postToGui(std::move(l.alive), std::move(l.fn));
    lock.lock();
}

// The reader thread's work: one search, each backend in a helper of its
// own (all of them through SANE's dll backend in one when the configuration
// names none), their devices in the configuration's order.
void searchInHelpers(State& s, const std::string& helper)
{
    // Signals belong to the program's own threads.
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, nullptr);
    std::vector<std::string> backends = configuredBackends();
    if (backends.empty())
        backends.emplace_back();
    std::vector<std::vector<DeviceInfo>> found(backends.size());
    std::vector<bool> answered(backends.size(), false);
    // What is said of each backend while it is asked (the network hosts
    // are read once).
    std::vector<std::string> asking(backends.size());
    for (std::size_t k = 0; k < backends.size(); ++k)
        if (!backends[k].empty())
            asking[k] = askingText(backends[k]);
    auto devicesFound = [&] {
        std::vector<DeviceInfo> devices;
        for (const auto& f : found)
            devices.insert(devices.end(), f.begin(), f.end());
        return devices;
    };
    // The partial result: the devices so far, the backends still asked.
    auto publish = [&] {
        s.result.devices = devicesFound();
        s.result.asking.clear();
        for (std::size_t k = 0; k < backends.size(); ++k)
            if (!answered[k] && !asking[k].empty())
                s.result.asking.push_back(asking[k]);
    };
    Status status = Status::Good;
    {
        std::lock_guard lock(s.mutex);
        publish();
    }
    runSearchHelpers(
        helper, backends, searchTimeoutMs(),
        [&s](pid_t pid, bool started) {
            std::lock_guard lock(s.mutex);
            if (started)
                s.helpers.push_back(pid);
            else
                std::erase(s.helpers, pid);
            return !s.stopping;
        },
        [&](std::size_t i, const HelperSearch& r) {
            const std::string name = backends[i].empty() ? "every backend" : backends[i];
            if (!r.complete) {
                // Shown as no scanner of that backend; the cause goes to the
                // log (a search stopped because the library goes is no fault).
                std::lock_guard lock(s.mutex);
                if (s.stopping)
                    qCDebug(lcEztw32, "device search (%s) stopped: the library is unloaded", name.c_str());
                else
                    qCWarning(lcEztw32, "no device list of %s: %s", name.c_str(), r.failure.c_str());
            } else {
                qCDebug(lcEztw32, "device search (%s) -> %s, %zu devices", name.c_str(),
                    qPrintable(statusText(r.status)), r.devices.size());
                for (const DeviceInfo& d : r.devices)
                    qCDebug(lcEztw32, "  device %s: %s %s (%s)", d.name.c_str(), d.vendor.c_str(),
                        d.model.c_str(), d.type.c_str());
                found[i] = r.devices;
                // One backend's fault is not the search's, unless the
                // search is that one (everything through dll).
                if (backends.size() == 1)
                    status = r.status;
            }
            answered[i] = true;
            std::unique_lock lock(s.mutex);
            publish();
            tell(s, lock);
        });
    finish(s, status, devicesFound());
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
        s.result.devices.clear();
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
        std::thread reader([&s, helper] { searchInHelpers(s, helper); });
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
    // The first devices found will do: a backend whose host does not answer
    // holds up no opening.
    while (s.finished < number && !s.stopping && s.result.devices.empty()) {
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
        for (pid_t helper : s.helpers)
            ::kill(helper, SIGKILL);
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

void whenSearchChanges(std::shared_ptr<bool> alive, std::function<void()> fn)
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
