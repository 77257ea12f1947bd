// What one scan is set up with, in the device's own values.
#pragma once

#include <optional>
#include <string>

namespace eztw32 {

enum class ColourMode { DeviceDefault, Colour, Gray, LineArt };

// How the saved picture is turned, as seen by the user.
enum class Turn { None, Right, HalfTurn, Left };

// Brightness, contrast and gamma done in software, for devices without
// such options. Brightness and contrast run from -100 to 100, 0 leaving
// the picture as it is; gamma from 0.1 to 10, above 1 lighter, 1 as it is.
struct Light {
    double brightness = 0;
    double contrast = 0;
    double gamma = 1;
    bool operator==(const Light&) const = default;
    bool isNeutral() const { return *this == Light{}; }
};

struct ScanSettings {
    std::optional<std::string> source;
    ColourMode colour = ColourMode::DeviceDefault;
    std::optional<std::string> modeValue; // the device's own name of the mode
    bool lineArtByDepth = false; // line art as 1-bit gray
    std::optional<double> resolution;
    std::optional<double> tlX, tlY, brX, brY;
    std::optional<double> brightness, contrast; // the device's own options

    // Done by the library on the rows that come from the device. With
    // straighten or turn the picture is held in memory and written at the
    // end; light alone corrects the rows as they stream.
    bool straighten = false;
    // With straighten, the area is the one found around the document: the
    // straightened picture is the page alone, without the bed's wedges.
    bool cropToPage = false;
    Turn turn = Turn::None;
    std::optional<Light> light;

    bool operator==(const ScanSettings&) const = default;
};

} // namespace eztw32
