// One scan on the SANE thread: apply the settings, start, read every frame,
// convert the rows and stream them into the BMP file (or, for the preview,
// into memory), end it with sane_cancel. The device stays open.
#pragma once

#include "Sane.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace eztw32 {

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
};

enum class Outcome { Done, Cancelled, Failed, WriteFailed, NoMemory };

struct ScanResult {
    Outcome outcome = Outcome::Done;
    Fault fault = Fault::None;
    SANE_Status status = SANE_STATUS_GOOD;
};

enum class ColourMode { DeviceDefault, Colour, Gray, LineArt };

struct ScanSettings {
    std::optional<std::string> source;
    ColourMode colour = ColourMode::DeviceDefault;
    std::optional<std::string> modeValue; // the device's own name of the mode
    bool lineArtByDepth = false; // line art as 1-bit gray
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
    std::atomic<bool> stalled{false}; // ended because no data came
    std::atomic<std::int64_t> lastDataMs{0}; // steady clock, when data last came
};

// How long a scan may go without data before it ends as Fault::Stalled:
// 30 s, or EZTW32_STALL_SECONDS.
int stallLimitMs();
std::int64_t steadyMs();

// The preview picture as it arrives, 8-bit RGB rows; shared between the SANE
// thread (writes) and the dialog (copies out what has arrived).
struct PreviewBuffer {
    std::mutex mutex;
    int width = 0, height = 0; // height grows for hand scanners
    int rows = 0; // complete rows so far
    std::vector<std::uint8_t> pixels;
};

// Run on the SANE thread.
ScanResult runScan(Device& device, const ScanSettings& settings, int fd, ScanProgress& progress);
ScanResult runPreview(
    Device& device, const ScanSettings& settings, PreviewBuffer& preview, ScanProgress& progress);
// Sets the scan's options on the device.
ScanResult applySettings(Device& device, const ScanSettings& s);

} // namespace eztw32
