// SANE access: initialisation, device discovery, one open device and its
// options. Everything here except saneInitialised() and cancelAsync() runs on
// the SANE thread.
#pragma once

#include <sane/sane.h>

#include <atomic>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace eztw32 {

struct DeviceInfo {
    std::string name, vendor, model, type;
};

// sane_init at first need; SANE then stays initialised for the run.
// Also makes SIGPIPE harmless (the net backend writes to sockets).
SANE_Status ensureSaneInitialised();

// The device list (may search the network for seconds).
SANE_Status listDevices(std::vector<DeviceInfo>& devices);

// A copy of one option descriptor and its current value, for the dialogs.
struct OptionInfo {
    std::string name, title;
    SANE_Value_Type type = SANE_TYPE_INT;
    SANE_Unit unit = SANE_UNIT_NONE;
    SANE_Int cap = 0;
    SANE_Constraint_Type constraint = SANE_CONSTRAINT_NONE;
    double min = 0, max = 0, quant = 0;    // range constraint, as numbers
    std::vector<double> numbers;            // word list constraint
    std::vector<std::string> strings;       // string list constraint
    double value = 0;                        // current value of a number option
    std::string text;                        // current value of a string option

    bool settable() const { return SANE_OPTION_IS_ACTIVE(cap) && SANE_OPTION_IS_SETTABLE(cap); }
    bool isNumber() const { return type == SANE_TYPE_INT || type == SANE_TYPE_FIXED; }
};

std::optional<OptionInfo> findOption(const std::vector<OptionInfo>& options, const std::string& name);

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
    bool isOpen() const { return handle_ != nullptr; }
    SANE_Handle handle() const { return handle_; }

    std::vector<OptionInfo> options() const;
    std::optional<OptionInfo> option(const std::string& name) const;
    SANE_Status setNumber(const std::string& name, double value);
    SANE_Status setString(const std::string& name, const std::string& value);

    // sane_cancel from another thread, for a device that does not react to a
    // cancel between reads; safe while the SANE thread may be closing it.
    void cancelAsync();
    // sane_cancel on the SANE thread.
    void cancel();

private:
    int indexOf(const std::string& name) const;

    SANE_Handle handle_ = nullptr;
    std::mutex handleMutex_;
};

// Waits with doubling steps for a busy device: true when another try is due,
// false when the time is up or *stop turned true.
class BusyBackOff {
public:
    explicit BusyBackOff(const std::atomic<bool>* stop) : stop_(stop) {}
    bool wait();

private:
    const std::atomic<bool>* stop_;
    int slept_ms_ = 0;
    int step_ms_ = 250;
};

} // namespace eztw32
