// The states of a scan session; it is always in one of them.
#pragma once

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

} // namespace eztw32
