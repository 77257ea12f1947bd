// SANE access: initialisation, device discovery, one open device and its
// options, told in the library's own types. The only header of the library
// that includes SANE's. Everything here except Device::cancelAsync() runs on the SANE
// thread. Every SANE call is logged under the `eztw32` category.
#pragma once

#include "DeviceInfo.h"
#include "OptionInfo.h"
#include "Sigpipe.h"
#include "Status.h"

#include <sane/sane.h>

#include <atomic>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace eztw32 {

// The library's status codes are SANE's numbers.
static_assert(int(Status::Good) == SANE_STATUS_GOOD && int(Status::Unsupported) == SANE_STATUS_UNSUPPORTED
    && int(Status::Cancelled) == SANE_STATUS_CANCELLED && int(Status::DeviceBusy) == SANE_STATUS_DEVICE_BUSY
    && int(Status::Inval) == SANE_STATUS_INVAL && int(Status::Eof) == SANE_STATUS_EOF
    && int(Status::Jammed) == SANE_STATUS_JAMMED && int(Status::NoDocs) == SANE_STATUS_NO_DOCS
    && int(Status::CoverOpen) == SANE_STATUS_COVER_OPEN && int(Status::IoError) == SANE_STATUS_IO_ERROR
    && int(Status::NoMem) == SANE_STATUS_NO_MEM && int(Status::AccessDenied) == SANE_STATUS_ACCESS_DENIED);

inline Status toStatus(SANE_Status s)
{
    return Status(int(s));
}

// sane_init at first need; SANE then stays initialised for the run, or
// until restartSane(). Device lists are copied at once, so nothing of SANE's
// is held across a restart. Also makes SIGPIPE harmless (the net backend writes to sockets).
SANE_Status ensureSaneInitialised();

// Ends SANE (sane_exit) so that the next ensureSaneInitialised() starts it
// afresh. For a lost connection: the net backend keeps its connection to a
// host and reuses it even when the host has gone, and its next search then
// frees memory it never had (glibc: "free(): invalid pointer"). Only with no
// device open, on the SANE thread.
void restartSane();

// The device list (may search the network for seconds).
SANE_Status listDevices(std::vector<DeviceInfo>& devices);

// One open device. The handle is closed by close() or the destructor.
class Device {
public:
    Device() = default;
    ~Device() { close(); }
    Device(const Device&) = delete;
    Device& operator=(const Device&) = delete;

    // Opens the device, retrying a busy one with back-off for a bounded time;
    // gives up early when *stop turns true.
    SANE_Status open(const std::string& name, const std::atomic<bool>* stop = nullptr);
    void close();
    SANE_Handle handle() const { return handle_; }
    const std::string& name() const { return name_; }

    // Every option but the groups, with the title of the group it is in.
    std::vector<OptionInfo> options() const;
    std::optional<OptionInfo> option(const std::string& name) const;
    // Setting an option; *info gets SANE's SANE_INFO_* flags.
    SANE_Status setNumber(const std::string& name, double value, SANE_Int* info = nullptr);
    SANE_Status setNumbers(
        const std::string& name, const std::vector<double>& values, SANE_Int* info = nullptr);
    SANE_Status setString(const std::string& name, const std::string& value, SANE_Int* info = nullptr);
    SANE_Status press(const std::string& name, SANE_Int* info = nullptr);

    SANE_Status start();
    SANE_Status parameters(SANE_Parameters& p);
    SANE_Status read(SANE_Byte* data, SANE_Int room, SANE_Int* length);

    // sane_cancel from another thread, for a device that does not react to a
    // cancel between reads; safe while the SANE thread may be closing it.
    void cancelAsync();
    // sane_cancel on the SANE thread.
    void cancel();

private:
    int indexOf(const std::string& name) const;

    SANE_Handle handle_ = nullptr;
    std::string name_;
    std::mutex handleMutex_;
};

// Waits with doubling steps for a busy device: true when another try is due,
// false when the time is up or *stop turned true.
class BusyBackOff {
public:
    explicit BusyBackOff(const std::atomic<bool>* stop, int limitMs = 8000)
        : stop_(stop)
        , limitMs_(limitMs)
    { }
    bool wait();

private:
    const std::atomic<bool>* stop_;
    int limitMs_;
    int slept_ms_ = 0;
    int step_ms_ = 250;
};

} // namespace eztw32
