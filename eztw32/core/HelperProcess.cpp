#include "HelperProcess.h"

#include "replace/UniqueFd.h"

#include <QByteArray>

#include <algorithm>
#include <cerrno>

#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace eztw32 {
namespace {

using replace::UniqueFd;

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

} // namespace

std::string helperPath(const char* name, const char* override)
{
    const QByteArray own = qgetenv(override);
    if (!own.isEmpty())
        return own.toStdString();
    Dl_info info{};
    if (::dladdr(reinterpret_cast<void*>(&anchor), &info) == 0 || !info.dli_fname)
        return {};
    std::string path = info.dli_fname;
    const size_t slash = path.rfind('/');
    path = slash == std::string::npos ? std::string(name) : path.substr(0, slash + 1) + name;
    return ::access(path.c_str(), X_OK) == 0 ? path : std::string();
}

pid_t spawnHelper(const std::string& program, const std::vector<std::pair<int, int>>& fds, std::string& why,
    const std::vector<std::string>& more)
{
    // Each descriptor is passed through a copy above every number the child
    // gets, so that one dup2 never overwrites the source of another.
    std::vector<UniqueFd> copies;
    SpawnSetup setup;
    posix_spawn_file_actions_addopen(&setup.actions, 0, "/dev/null", O_RDONLY, 0);
    for (const auto& [child, parent] : fds) {
        copies.emplace_back(::fcntl(parent, F_DUPFD_CLOEXEC, 64));
        if (!copies.back()) {
            why = std::string("no descriptor for the helper: ") + std::strerror(errno);
            return -1;
        }
        posix_spawn_file_actions_adddup2(&setup.actions, copies.back().get(), child);
    }
    int highest = 2;
    for (const auto& fd : fds)
        highest = std::max(highest, fd.first);
    // Nothing of the program's own leaks into the helper.
    posix_spawn_file_actions_addclosefrom_np(&setup.actions, highest + 1);
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
    std::vector<std::string> extra = more;
    std::vector<char*> argv{path.data(), parent.data()};
    for (std::string& a : extra)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int rc = ::posix_spawn(&pid, path.c_str(), &setup.actions, &setup.attr, argv.data(), environ);
    if (rc != 0) {
        why = program + ": " + std::strerror(rc);
        return -1;
    }
    return pid;
}

bool makePipe(replace::UniqueFd& read, replace::UniqueFd& write, int flags)
{
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC | flags) != 0)
        return false;
    read.reset(ends[0]);
    write.reset(ends[1]);
    return true;
}

std::string signalText(int sig)
{
    const char* name = ::sigabbrev_np(sig);
    const char* text = ::strsignal(sig);
    return "signal " + std::to_string(sig) + (name ? std::string(" SIG") + name : std::string())
        + (text ? std::string(", ") + text : std::string());
}

std::string endText(int waitStatus)
{
    if (WIFSIGNALED(waitStatus))
        return "crashed with " + signalText(WTERMSIG(waitStatus));
    if (WIFEXITED(waitStatus))
        return "ended with exit code " + std::to_string(WEXITSTATUS(waitStatus));
    return "ended";
}

} // namespace eztw32
