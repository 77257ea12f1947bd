// What the steps of a scan session end with.
#pragma once

#include "DeviceInfo.h"
#include "OptionInfo.h"
#include "Status.h"

#include <optional>
#include <string>
#include <vector>

namespace eztw32 {

enum class Outcome { Done, Cancelled, Failed, WriteFailed, NoMemory };

// A preview or a scan.
struct ScanResult {
    Outcome outcome = Outcome::Done;
    Fault fault = Fault::None;
    Status status = Status::Good;
    std::string cause; // of a lost driver: what the system said of its end
};

// A preview or scan the user cancelled.
inline ScanResult cancelledScan()
{
    return {Outcome::Cancelled, Fault::None, Status::Cancelled, {}};
}

// Opening a device.
struct OpenOutcome {
    Fault fault = Fault::None;
    Status status = Status::Good;
    std::string cause; // of a lost driver
    DeviceInfo info;
    std::vector<OptionInfo> options;
    // The wanted device was not found: it, and what the search found.
    std::optional<DeviceInfo> missing;
    std::vector<DeviceInfo> found;
};

// Setting an option, or every option back to the device's defaults.
struct SetOutcome {
    Fault fault = Fault::None; // a lost driver: the session has no device any more
    Status status = Status::Good;
    std::string cause;
    std::vector<OptionInfo> options;
};

// The picture a scan with given settings gives, as the device reports it
// once they are set (height -1: known only after the scan, as with hand
// scanners).
struct SizeOutcome {
    Status status = Status::Good;
    int width = -1, height = -1;
    int bitsPerPixel = 24; // in the scan file
};

} // namespace eztw32
