// The scanner library's device search, in a process of its own: sane_init,
// sane_get_devices, the list written to standard output (see
// core/DeviceList.h), sane_exit. The library starts it for every search and
// reads its list; a backend that hangs or crashes in a search takes only
// this process with it.
//
//   eztw32-devices [PARENT-PID]
//
// Given the library's process id, it ends with that process (or at once
// when that process has already gone).
#include "core/DeviceList.h"
#include "replace/Replace.h"

#include <sane/sane.h>

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/prctl.h>
#include <unistd.h>

namespace {

std::string text(const char* s)
{
    return s ? s : "";
}

} // namespace

int main(int argc, char** argv)
{
    if (argc >= 2) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != pid_t(std::atol(argv[1])))
            return 1;
    }
    std::signal(SIGPIPE, SIG_IGN);
    // The list goes through a descriptor of its own: whatever a backend
    // prints to standard output goes to standard error instead.
    const int list = ::fcntl(1, F_DUPFD_CLOEXEC, 3);
    if (list < 0 || ::dup2(2, 1) < 0)
        return 1;

    std::string out;
    SANE_Int version = 0;
    const SANE_Status init = sane_init(&version, nullptr);
    SANE_Status status = init;
    if (init == SANE_STATUS_GOOD) {
        const SANE_Device** devices = nullptr;
        status = sane_get_devices(&devices, SANE_FALSE);
        for (int i = 0; status == SANE_STATUS_GOOD && devices && devices[i]; ++i)
            eztw32::devicelist::appendDevice(out,
                {text(devices[i]->name), text(devices[i]->vendor), text(devices[i]->model),
                    text(devices[i]->type)});
    }
    eztw32::devicelist::appendStatus(out, int(status));
    const bool written = replace::writeAll(list, out.data(), out.size()) == 0;
    ::close(list);
    // The list is out: a backend that fails in its exit spoils nothing.
    if (init == SANE_STATUS_GOOD)
        sane_exit();
    return written ? 0 : 1;
}
