// One scan on the SANE thread: apply the settings, start, read every frame,
// convert the rows and stream them into the BMP file, close the device.
#pragma once

#include "Sane.h"

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>

namespace eztw32 {

// What went wrong, for the message shown to the user.
enum class Fault {
    None,
    Status,           // a SANE status from the device (jammed, cover open, ...)
    SettingsRejected, // the device refused a setting
    DeviceGone,       // the device could not be opened any more
    NoDevice,         // no scanner found at all
    Incomplete,       // the image ended before its last line
    BadFormat,        // the device sends a format we cannot store
    NotInitialised,   // SANE itself could not start
};

enum class Outcome { Done, Cancelled, Failed, WriteFailed, NoMemory };

struct ScanResult {
    Outcome outcome = Outcome::Done;
    Fault fault = Fault::None;
    SANE_Status status = SANE_STATUS_GOOD;
    int error = 0; // errno of a write failure
};

enum class ColourMode { DeviceDefault, Colour, Gray, LineArt };

struct ScanSettings {
    std::optional<std::string> source;
    ColourMode colour = ColourMode::DeviceDefault;
    std::optional<std::string> modeValue; // the device's own name of the mode
    bool lineArtByDepth = false;          // line art as 1-bit gray
    std::optional<double> resolution;
    std::optional<double> tlX, tlY, brX, brY;
    std::optional<double> brightness, contrast;
};

// Shared between the GUI thread (reads, requests cancel) and the SANE thread.
struct ScanProgress {
    std::atomic<std::int64_t> bytesRead{0};
    std::atomic<std::int64_t> bytesTotal{-1}; // -1: the height is not known
    std::atomic<bool> dataArrived{false};
    std::atomic<bool> cancelRequested{false};
};

// Runs on the SANE thread; the device is closed when it returns.
ScanResult runScan(Device& device, const ScanSettings& settings, int fd, ScanProgress& progress);

// The colour class of a device mode name ("Color", "Gray", "Lineart", ...).
ColourMode classifyMode(const std::string& value);

} // namespace eztw32
