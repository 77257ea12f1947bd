// What a step of the scanner library ended with, and the texts the user
// reads about it. The status codes are SANE's own numbers, so that a code a
// backend invents still reaches the user with SANE's text for it.
#pragma once

#include <QString>

namespace eztw32 {

enum class Status : int {
    Good = 0,
    Unsupported = 1,
    Cancelled = 2,
    DeviceBusy = 3,
    Inval = 4,
    Eof = 5,
    Jammed = 6,
    NoDocs = 7,
    CoverOpen = 8,
    IoError = 9,
    NoMem = 10,
    AccessDenied = 11,
    // SANE 1.1's "warming up", which SANE 1.0 lacks.
    WarmingUp = 12,
};

// What went wrong, for the message shown to the user.
enum class Fault {
    None,
    Status, // a SANE status from the device (jammed, cover open, ...)
    SettingsRejected, // the device refused a setting
    DeviceGone, // the device could not be opened any more
    NoDevice, // no scanner found at all
    Incomplete, // the image ended before its last line
    BadFormat, // the device sends a format we cannot store
    NotInitialised, // SANE itself could not start
    Stalled, // the device sent nothing for too long
    DriverHung, // the scanner's driver stopped responding and was ended
    DriverCrashed, // the scanner's driver crashed
};

// SANE's own short text for a status ("Document feeder jammed").
QString statusText(Status status);

// The one clear message for a fault, telling the user what to do; `device`
// names the scanner where the message needs it.
QString faultText(Fault fault, Status status, const QString& device);

// A fault that lost the device's driver: the session has no device any
// more.
inline bool driverLost(Fault fault)
{
    return fault == Fault::DriverHung || fault == Fault::DriverCrashed;
}

// The text shown when no scanner was found.
QString noDeviceText();

} // namespace eztw32
