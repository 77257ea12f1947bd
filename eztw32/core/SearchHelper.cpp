#include "SearchHelper.h"

#include "DeviceList.h"
#include "HelperProcess.h"

#include "replace/UniqueFd.h"

#include <QtGlobal>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
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

    const pid_t pid = spawnHelper(program, {{1, writeEnd.get()}}, result.failure);
    if (pid < 0)
        return result;
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
    } else if (WIFSIGNALED(status) || (WIFEXITED(status) && WEXITSTATUS(status) != 0)) {
        result.failure = "the device search " + endText(status);
    } else {
        result.failure = "the device search ended without its list";
    }
    return result;
}

} // namespace eztw32
