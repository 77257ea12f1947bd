#include "Search.h"

#include "Sane.h"
#include "SaneThread.h"

#include <future>
#include <mutex>
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
    SearchResult result;
    std::vector<Listener> listeners;
    std::promise<Status> initPromise;
    std::shared_future<Status> init = initPromise.get_future().share();
    bool initQueued = false;
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
        listeners.swap(s.listeners);
    }
    for (Listener& l : listeners)
        postToGui(std::move(l.alive), std::move(l.fn));
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
    State& s = state();
    queueInit(s);
    {
        std::lock_guard lock(s.mutex);
        if (s.result.running)
            return;
        s.result.running = true;
    }
    postToSaneThread([&s] {
        std::vector<DeviceInfo> devices;
        const Status status = initialiseAndList(devices);
        finish(s, status, std::move(devices));
    });
}

Status searchNow(std::vector<DeviceInfo>& devices)
{
    State& s = state();
    const Status status = initialiseAndList(devices);
    {
        std::lock_guard lock(s.mutex);
        if (s.result.running)
            return status; // the queued search will tell its listeners
        s.result.running = true;
    }
    finish(s, status, devices);
    return status;
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
