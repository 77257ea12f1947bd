// One acquisition's device, on the SANE thread: opened (by name, or after a
// search when the device is gone), its options set and read, a preview and
// the scan run, closed. Its state is always one of the named states below;
// the dialogs read it and ask for a cancel, every other step runs as a job
// on the SANE thread.
#pragma once

#include "Sane.h"
#include "ScanJob.h"

#include <atomic>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace eztw32 {

enum class SessionState {
    Idle, // no device open
    Opening, // looking for the device and opening it
    Open, // open, options can be read and set
    Scanning, // a preview or the scan is running
    Cancelling, // the user asked to stop the running scan
    Closing, // ending the scan and closing the device
};

const char* stateName(SessionState s);

struct OpenOutcome {
    Fault fault = Fault::None;
    SANE_Status status = SANE_STATUS_GOOD;
    DeviceInfo info;
    std::vector<OptionInfo> options;
    // The wanted device was not found: it, and what the search found.
    std::optional<DeviceInfo> missing;
    std::vector<DeviceInfo> found;
};

struct SetOutcome {
    SANE_Status status = SANE_STATUS_GOOD;
    SANE_Int info = 0; // SANE_INFO_* flags
    std::vector<OptionInfo> options;
};

// An option's value as text: numbers separated by commas, a bool as 0 or 1,
// a string as it is; a button has none.
using OptionSetting = std::pair<std::string, std::string>;

class ScanSession {
public:
    SessionState state() const { return state_.load(); }
    ScanProgress& progress() { return progress_; }

    // GUI thread, before a preview or scan is queued: a fresh progress.
    void beginRun();
    // Any thread: asks the running preview or scan to stop; after a while a
    // device that does not react gets SANE's own sane_cancel.
    void requestCancel();
    void cancelDevice() { device_.cancelAsync(); }
    // Any thread: the opening is no longer wanted.
    void abandonOpening() { abandoned_.store(true); }

    // The SANE thread's steps.
    // With `remembered`, the user's own settings of the device opened are
    // set on it.
    OpenOutcome open(const std::optional<DeviceInfo>& wanted, bool remembered);
    SetOutcome set(const OptionSetting& setting);
    // Every option back to what the device had when this run first opened
    // it (some backends keep values from one opening to the next).
    SetOutcome restoreDefaults();
    std::vector<OptionInfo> options() const { return device_.options(); }
    ScanResult preview(const ScanSettings& settings, PreviewBuffer& buffer);
    ScanResult scan(const ScanSettings& settings, int fd);
    void close();

private:
    void enter(SessionState s);
    SANE_Status apply(const std::vector<OptionInfo>& options, const OptionSetting& setting, SANE_Int* info);
    OpenOutcome openFirstFound(OpenOutcome outcome, const std::vector<DeviceInfo>& devices);

    Device device_;
    std::atomic<SessionState> state_{SessionState::Idle};
    std::atomic<bool> abandoned_{false};
    bool connectionLost_ = false; // SANE is restarted when the device closes
    ScanProgress progress_;
};

} // namespace eztw32
