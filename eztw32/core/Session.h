// One acquisition's device, on the SANE thread: opened (by name, or after a
// search when the device is gone) in a driver host of its own, its options
// set and read, a preview and the scan run, closed. Its state is always one of the named states; the
// GUI thread reads it and asks for a cancel through SaneClient, every other
// step runs as a job on the SANE thread.
#pragma once

#include "Outcomes.h"
#include "Sane.h"
#include "ScanProgress.h"
#include "ScanSettings.h"
#include "SessionState.h"
#include "Settings.h"

#include <atomic>
#include <optional>
#include <vector>

namespace eztw32 {

class ScanSession {
public:
    SessionState state() const { return state_.load(); }
    ScanProgress& progress() { return progress_; }

    // Before a preview or scan is queued: a fresh progress.
    void beginRun();
    // Any thread: asks the running preview or scan to stop; a device that
    // does not react within a while gets SANE's own sane_cancel.
    void requestCancel();
    // Any thread: the opening is no longer wanted.
    void abandonOpening() { abandoned_.store(true); }

    // The SANE thread's steps.
    // The user's own settings of the device opened, when `remembered` has
    // them, are set on it.
    OpenOutcome open(const std::optional<DeviceInfo>& wanted, const RememberedOptions& remembered);
    SetOutcome set(const OptionSetting& setting);
    // Every option back to what the device had when this run first opened
    // it (some backends keep values from one opening to the next).
    SetOutcome restoreDefaults();
    std::vector<OptionInfo> options() const { return device_.options(); }
    ScanResult preview(const ScanSettings& settings, PreviewBuffer& buffer);
    // The picture the device reports for `settings`, as the scan sets them;
    // what the user had set is put back afterwards.
    SizeOutcome size(const ScanSettings& settings);
    ScanResult scan(const ScanSettings& settings, int fd);
    void close();

private:
    void enter(SessionState s);
    SANE_Status apply(const std::vector<OptionInfo>& options, const OptionSetting& setting);
    // The scan's own options as they were in `before`.
    void putBack(const std::vector<OptionInfo>& before);
    OpenOutcome openFirstFound(OpenOutcome outcome, const std::vector<DeviceInfo>& devices);
    // Runs a preview or scan as Scanning, watched by the watchdog.
    template <class Run> ScanResult watched(Run run);
    // The fault of a device whose driver was lost, with its cause; None
    // while the driver is there.
    Fault lostDriver(std::string& cause) const;

    Device device_;
    std::atomic<SessionState> state_{SessionState::Idle};
    std::atomic<bool> abandoned_{false};
    ScanProgress progress_;
};

} // namespace eztw32
