// The scanner library's device search, in a process of its own: sane_init,
// sane_get_devices, the list written to standard output (see
// core/DeviceList.h), sane_exit. The library starts one for each backend of
// SANE's configuration and reads their lists as they come; a backend that
// hangs or crashes in a search takes only its own process with it, and
// holds up no other backend's devices.
//
//   eztw32-devices [PARENT-PID [BACKEND]]
//
// Given the library's process id, it ends with that process (or at once
// when that process has already gone). Given a backend, it searches that
// backend alone, loaded as SANE's dll backend loads it (from
// LD_LIBRARY_PATH, else SANE's backend folder), its devices named as dll
// names them ("test:0"); without one, every backend through dll.
#include "core/DeviceList.h"
#include "replace/Replace.h"

#include <sane/sane.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <string>
#include <sys/prctl.h>
#include <unistd.h>
#include <vector>

namespace {

std::string text(const char* s)
{
    return s ? s : "";
}

// One backend's entry points, loaded by hand.
struct Backend {
    void* library = nullptr;
    SANE_Status (*init)(SANE_Int*, SANE_Auth_Callback) = nullptr;
    SANE_Status (*getDevices)(const SANE_Device***, SANE_Bool) = nullptr;
    void (*exit)() = nullptr;

    template <class Fn> bool find(Fn& fn, const std::string& symbol)
    {
        void* p = ::dlsym(library, symbol.c_str());
        std::memcpy(&fn, &p, sizeof fn);
        return p != nullptr;
    }

    bool load(const std::string& name)
    {
        const std::string file = "libsane-" + name + ".so.1";
        std::vector<std::string> folders;
        if (const char* path = std::getenv("LD_LIBRARY_PATH"))
            for (std::string rest = path; !rest.empty();) {
                const size_t colon = rest.find(':');
                folders.push_back(rest.substr(0, colon));
                rest = colon == std::string::npos ? std::string() : rest.substr(colon + 1);
            }
        folders.emplace_back(SANE_BACKEND_DIR);
        for (const std::string& folder : folders)
            if (!folder.empty() && (library = ::dlopen((folder + "/" + file).c_str(), RTLD_NOW | RTLD_LOCAL)))
                break;
        if (!library)
            return false;
        // The entry points are named after the backend, a '-' as '_'.
        std::string stem = "sane_" + name + "_";
        for (char& c : stem)
            if (c == '-')
                c = '_';
        return find(init, stem + "init") && find(getDevices, stem + "get_devices")
            && find(exit, stem + "exit");
    }
};

// The devices of one backend, named as SANE's dll backend names them.
SANE_Status searchBackend(const std::string& name, std::string& out, bool& initialised, Backend& backend)
{
    if (!backend.load(name))
        return SANE_STATUS_UNSUPPORTED;
    SANE_Int version = 0;
    const SANE_Status init = backend.init(&version, nullptr);
    if (init != SANE_STATUS_GOOD)
        return init;
    initialised = true;
    if (SANE_VERSION_MAJOR(version) != SANE_CURRENT_MAJOR)
        return SANE_STATUS_INVAL;
    const SANE_Device** devices = nullptr;
    const SANE_Status status = backend.getDevices(&devices, SANE_FALSE);
    for (int i = 0; status == SANE_STATUS_GOOD && devices && devices[i]; ++i)
        eztw32::devicelist::appendDevice(out,
            {name + ":" + text(devices[i]->name), text(devices[i]->vendor), text(devices[i]->model),
                text(devices[i]->type)});
    return status;
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
    if (argc >= 3) {
        // One backend. One that is not installed has no devices, as with
        // dll: a name in the configuration whose package is missing is
        // skipped quietly.
        Backend backend;
        bool initialised = false;
        SANE_Status status = searchBackend(argv[2], out, initialised, backend);
        if (status == SANE_STATUS_UNSUPPORTED && !backend.library)
            status = SANE_STATUS_GOOD;
        eztw32::devicelist::appendStatus(out, int(status));
        const bool written = replace::writeAll(list, out.data(), out.size()) == 0;
        ::close(list);
        if (initialised)
            backend.exit();
        return written ? 0 : 1;
    }
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
