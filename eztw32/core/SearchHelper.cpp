#include "SearchHelper.h"

#include "DeviceList.h"
#include "HelperProcess.h"

#include "replace/UniqueFd.h"

#include <QtGlobal>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <signal.h>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

namespace eztw32 {

using replace::UniqueFd;

namespace {

constexpr int DefaultTimeoutMs = 30000;

} // namespace

std::string searchHelperPath()
{
    return helperPath("eztw32-devices", "EZTW32_DEVICES_HELPER");
}

int searchTimeoutMs()
{
    bool ok = false;
    const int ms = qEnvironmentVariableIntValue("EZTW32_SEARCH_TIMEOUT_MS", &ok);
    return ok && ms > 0 ? ms : DefaultTimeoutMs;
}

namespace {

// How many searches run at once: enough that a few hosts that do not answer
// hold up no other backend, few enough not to crowd a small machine.
constexpr std::size_t AtOnce = 8;

// One helper under way.
struct Running {
    std::size_t index;
    pid_t pid;
    UniqueFd pipe;
    std::string data;
    std::chrono::steady_clock::time_point deadline;
};

HelperSearch resultOf(const std::string& data, int waitStatus, bool timedOut, bool stopped, int timeoutMs)
{
    HelperSearch result;
    const devicelist::Parsed parsed = devicelist::parse(data);
    if (parsed.complete) {
        result.complete = true;
        result.status = Status(parsed.status);
        result.devices = parsed.devices;
    } else if (timedOut) {
        result.failure = "the device search took longer than " + std::to_string(timeoutMs)
            + " ms and was stopped (a backend did not answer)";
    } else if (stopped) {
        result.failure = "the device search was stopped";
    } else if (WIFSIGNALED(waitStatus) || (WIFEXITED(waitStatus) && WEXITSTATUS(waitStatus) != 0)) {
        result.failure = "the device search " + endText(waitStatus);
    } else {
        result.failure = "the device search ended without its list";
    }
    return result;
}

bool start(const std::string& program, const std::string& backend, std::size_t index, int timeoutMs,
    std::vector<Running>& running, std::string& why)
{
    UniqueFd readEnd, writeEnd;
    if (!makePipe(readEnd, writeEnd)) {
        why = std::string("no pipe for the device search: ") + std::strerror(errno);
        return false;
    }
    std::vector<std::string> args;
    if (!backend.empty())
        args.push_back(backend);
    const pid_t pid = spawnHelper(program, {{1, writeEnd.get()}}, why, args);
    if (pid < 0)
        return false;
    running.push_back({index, pid, std::move(readEnd), {},
        std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs)});
    return true;
}

} // namespace

void runSearchHelpers(const std::string& program, const std::vector<std::string>& backends, int timeoutMs,
    const std::function<bool(pid_t, bool)>& told, const std::function<void(std::size_t, HelperSearch)>& onEnd)
{
    std::vector<Running> running;
    std::size_t next = 0;
    bool stopped = false;
    // Ends the helper running[k] and tells its list.
    auto end = [&](std::size_t k, bool timedOut) {
        Running r = std::move(running[k]);
        running.erase(running.begin() + std::ptrdiff_t(k));
        if (timedOut || stopped)
            ::kill(r.pid, SIGKILL);
        if (told)
            told(r.pid, false);
        int status = 0;
        while (::waitpid(r.pid, &status, 0) < 0 && errno == EINTR) { }
        onEnd(r.index, resultOf(r.data, status, timedOut, stopped && !timedOut, timeoutMs));
    };
    while (!running.empty() || (next < backends.size() && !stopped)) {
        while (!stopped && running.size() < AtOnce && next < backends.size()) {
            HelperSearch failed;
            const std::size_t index = next++;
            if (!start(program, backends[index], index, timeoutMs, running, failed.failure)) {
                onEnd(index, failed);
                continue;
            }
            if (told && !told(running.back().pid, true))
                stopped = true;
        }
        if (stopped) {
            while (!running.empty())
                end(0, false);
            break;
        }
        const auto now = std::chrono::steady_clock::now();
        std::vector<pollfd> fds;
        auto wait = std::chrono::milliseconds(1000);
        for (const Running& r : running) {
            fds.push_back({r.pipe.get(), POLLIN, 0});
            wait = std::min(wait,
                std::max(std::chrono::milliseconds(0),
                    std::chrono::duration_cast<std::chrono::milliseconds>(r.deadline - now)));
        }
        const int ready = ::poll(fds.data(), nfds_t(fds.size()), int(wait.count()));
        if (ready < 0 && errno != EINTR)
            stopped = true;
        // From the end, so that ending one leaves the indices before it.
        for (std::size_t k = running.size(); k-- > 0;) {
            if (fds[k].revents & (POLLIN | POLLHUP | POLLERR)) {
                char buffer[4096];
                const ssize_t n = ::read(running[k].pipe.get(), buffer, sizeof buffer);
                if (n > 0) {
                    running[k].data.append(buffer, std::size_t(n));
                    continue;
                }
                if (n < 0 && errno == EINTR)
                    continue;
                end(k, false);
            } else if (std::chrono::steady_clock::now() >= running[k].deadline) {
                end(k, true);
            }
        }
    }
}

HelperSearch runSearchHelper(
    const std::string& program, int timeoutMs, const std::function<bool(pid_t)>& running)
{
    HelperSearch result;
    runSearchHelpers(
        program, {std::string()}, timeoutMs,
        [&](pid_t pid, bool started) { return !running || running(started ? pid : -1) || !started; },
        [&](std::size_t, HelperSearch r) { result = std::move(r); });
    return result;
}

namespace {

// The folders SANE reads its configuration from, in its order.
std::vector<std::string> configFolders()
{
    const std::string system = ".:/etc/sane.d";
    const char* own = std::getenv("SANE_CONFIG_DIR");
    std::string list = own ? own : system;
    if (own && !list.empty() && list.back() == ':')
        list += system;
    std::vector<std::string> folders;
    for (std::size_t at = 0; at <= list.size();) {
        const std::size_t colon = std::min(list.find(':', at), list.size());
        if (colon > at)
            folders.push_back(list.substr(at, colon - at));
        at = colon + 1;
    }
    return folders;
}

// The first word of each line that is not a comment, as SANE reads its
// configuration files.
std::vector<std::string> words(const std::string& file)
{
    std::vector<std::string> out;
    std::ifstream in(file);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string word;
        if (!(fields >> word) || word[0] == '#')
            continue;
        out.push_back(word.substr(0, word.find('#')));
    }
    return out;
}

} // namespace

std::vector<std::string> configuredBackends()
{
    std::vector<std::string> names;
    auto add = [&](const std::vector<std::string>& more) {
        for (const std::string& n : more)
            if (!n.empty() && std::find(names.begin(), names.end(), n) == names.end())
                names.push_back(n);
    };
    const std::vector<std::string> folders = configFolders();
    for (const std::string& folder : folders) {
        std::error_code ec;
        if (!std::filesystem::is_directory(folder + "/dll.d", ec))
            continue;
        std::vector<std::string> files;
        for (const auto& entry : std::filesystem::directory_iterator(folder + "/dll.d", ec)) {
            const std::string name = entry.path().filename().string();
            if (name.empty() || name[0] == '.' || name.back() == '~' || name.back() == '#'
                || !entry.is_regular_file(ec))
                continue;
            files.push_back(entry.path().string());
        }
        std::sort(files.begin(), files.end());
        for (const std::string& f : files)
            add(words(f));
        break;
    }
    for (const std::string& folder : folders) {
        if (std::filesystem::is_regular_file(folder + "/dll.conf")) {
            add(words(folder + "/dll.conf"));
            break;
        }
    }
    return names;
}

std::vector<std::string> netHosts()
{
    std::vector<std::string> hosts;
    for (const std::string& folder : configFolders()) {
        if (!std::filesystem::is_regular_file(folder + "/net.conf"))
            continue;
        for (const std::string& w : words(folder + "/net.conf"))
            if (w != "connect_timeout" && w.find('=') == std::string::npos)
                hosts.push_back(w);
        break;
    }
    if (const char* more = std::getenv("SANE_NET_HOSTS")) {
        std::istringstream list(more);
        for (std::string h; std::getline(list, h, ':');)
            if (!h.empty())
                hosts.push_back(h);
    }
    return hosts;
}

} // namespace eztw32
