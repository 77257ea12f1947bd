// What one scan is set up with, in the device's own values.
#pragma once

#include <optional>
#include <string>

namespace eztw32 {

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

} // namespace eztw32
