#include "SearchHelper.h"

#include "DeviceList.h"
#include "FileDescriptor.h"

#include <QByteArray>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace eztw32 {
namespace {

constexpr const char* HelperName = "eztw32-devices";
constexpr int DefaultTimeoutMs = 30000;

// An anchor in this library, for dladdr.
void anchor()
{ }

class SpawnSetup {
public:
    SpawnSetup()
    {
        posix_spawn_file_actions_init(&actions);
        posix_spawnattr_init(&attr);
    }
    ~SpawnSetup()
    {
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attr);
    }
    SpawnSetup(const SpawnSetup&) = delete;
    SpawnSetup& operator=(const SpawnSetup&) = delete;

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
};

std::string signalText(int sig)
{
    const char* name = ::sigabbrev_np(sig);
    const char* text = ::strsignal(sig);
    return "signal " + std::to_string(sig) + (name ? std::string(" SIG") + name : std::string())
        + (text ? std::string(", ") + text : std::string());
}

} // namespace

std::string searchHelperPath()
{
    const QByteArray own = qgetenv("EZTW32_DEVICES_HELPER");
    if (!own.isEmpty())
        return own.toStdString();
    Dl_info info{};
    if (::dladdr(reinterpret_cast<void*>(&anchor), &info) == 0 || !info.dli_fname)
        return {};
    std::string path = info.dli_fname;
    const size_t slash = path.rfind('/');
    path = slash == std::string::npos ? std::string(HelperName) : path.substr(0, slash + 1) + HelperName;
    return ::access(path.c_str(), X_OK) == 0 ? path : std::string();
}

int searchTimeoutMs()
{
    bool ok = false;
    const int ms = qEnvironmentVariableIntValue("EZTW32_SEARCH_TIMEOUT_MS", &ok);
    return ok && ms > 0 ? ms : DefaultTimeoutMs;
}

HelperSearch runSearchHelper(
    const std::string& program, int timeoutMs, const std::function<bool(pid_t)>& running)
{
    HelperSearch result;
    int ends[2] = {-1, -1};
    if (::pipe2(ends, O_CLOEXEC) != 0) {
        result.failure = std::string("no pipe for the device search: ") + std::strerror(errno);
        return result;
    }
    UniqueFd readEnd(ends[0]), writeEnd(ends[1]);

    pid_t pid = -1;
    {
        SpawnSetup setup;
        posix_spawn_file_actions_addopen(&setup.actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_adddup2(&setup.actions, writeEnd.get(), 1);
        // Nothing of the program's own leaks into the helper.
        posix_spawn_file_actions_addclosefrom_np(&setup.actions, 3);
        // The calling thread blocks every signal, and the program may ignore
        // some: the helper starts with none blocked and all at their defaults.
        sigset_t none, all;
        sigemptyset(&none);
        sigfillset(&all);
        posix_spawnattr_setsigmask(&setup.attr, &none);
        posix_spawnattr_setsigdefault(&setup.attr, &all);
        posix_spawnattr_setflags(&setup.attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
        std::string parent = std::to_string(::getpid());
        std::string path = program;
        char* argv[] = {path.data(), parent.data(), nullptr};
        const int rc = ::posix_spawn(&pid, path.c_str(), &setup.actions, &setup.attr, argv, environ);
        if (rc != 0) {
            result.failure = program + ": " + std::strerror(rc);
            return result;
        }
    }
    writeEnd.reset();

    bool stopped = running && !running(pid);
    bool timedOut = false;
    std::string data;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!stopped) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            timedOut = true;
            break;
        }
        pollfd p{readEnd.get(), POLLIN, 0};
        const int ready = ::poll(&p, 1, int(std::min<long long>(left.count(), 1000)));
        if (ready < 0 && errno != EINTR)
            break;
        if (ready <= 0)
            continue;
        char buffer[4096];
        const ssize_t n = ::read(readEnd.get(), buffer, sizeof buffer);
        if (n > 0)
            data.append(buffer, size_t(n));
        else if (n == 0 || errno != EINTR)
            break;
    }
    if (stopped || timedOut)
        ::kill(pid, SIGKILL);
    if (running)
        running(-1);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) { }

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
    } else if (WIFSIGNALED(status)) {
        result.failure = "the device search crashed with " + signalText(WTERMSIG(status));
    } else if (WIFEXITED(status) && WEXITSTATUS(status) != 0) {
        result.failure = "the device search ended with exit code " + std::to_string(WEXITSTATUS(status));
    } else {
        result.failure = "the device search ended without its list";
    }
    return result;
}

} // namespace eztw32
