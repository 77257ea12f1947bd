// SANE access: initialisation, device discovery, one open device and its
// options, told in the library's own types. The only header of the library
// that includes SANE's. Everything here except Device::cancelAsync() and
// Device::kill() runs on the SANE thread. Every SANE call is logged under the
// `eztw32` category.
#pragma once

#include "DeviceInfo.h"
#include "DriverHost.h"
#include "OptionInfo.h"
#include "Sigpipe.h"
#include "Status.h"

#include <sane/sane.h>

#include <atomic>
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

// sane_init at first need, in this process, for the availability test and a
// device search without its helper; SANE then stays initialised for the
// run. No device is opened in this process. Also makes SIGPIPE harmless.
SANE_Status ensureSaneInitialised();

// The device list (may search the network for seconds).
SANE_Status listDevices(std::vector<DeviceInfo>& devices);

// One open device, its driver in a host process of its own (DriverHost):
// every call below goes to the host and waits for its answer. A host that
// hangs or dies loses the device, never the program: from then on every
// call fails at once with SANE_STATUS_IO_ERROR, and lost() tells why, until
// the next open() starts a fresh host. Closed by close() or the destructor.
class Device {
public:
    Device() = default;
    ~Device() { close(); }
    Device(const Device&) = delete;
    Device& operator=(const Device&) = delete;

    // Opens the device in a fresh host, retrying a busy one with back-off
    // for a bounded time; gives up early when *stop turns true (the host is
    // then ended at once, whatever its driver is doing).
    SANE_Status open(const std::string& name, const std::atomic<bool>* stop = nullptr);
    void close();
    bool isOpen() const { return open_; }
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

    // Starting and reading wait as long as the driver takes: a run's
    // watchdog ends a host that stalls (kill()).
    SANE_Status start();
    SANE_Status parameters(SANE_Parameters& p);
    // The next bytes of the frame, at most `most`: *data points at them in
    // the memory shared with the host, where they stay until the next read.
    SANE_Status read(SANE_Int most, const std::uint8_t** data, SANE_Int* length);

    // Any thread: sane_cancel in the host now, also while it is inside a
    // read.
    void cancelAsync();
    // sane_cancel, given a few seconds; a host that does not return from it
    // is killed.
    void cancel();
    // Any thread: ends a host that hangs.
    void kill(const std::string& why);

    // Why the device was lost (DriverHost::End::None while it is not).
    DriverHost::End lost() const { return host_.end(); }
    std::string lostCause() const { return host_.cause(); }

private:
    // One request; false when the host is lost.
    bool call(const std::string& frame, std::string_view& answer, int limitMs,
        const std::atomic<bool>* stop = nullptr) const;
    SANE_Status setValue(const std::string& frame, const char* what, SANE_Int* info);

    mutable DriverHost host_;
    std::string name_;
    bool open_ = false;
    mutable bool lossTold_ = false; // the log has the host's end
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
