// What the open device offers and what the user chose, without widgets: the
// dialogs show this model, and the scan is set up from it.
#pragma once

#include "OptionInfo.h"
#include "ScanSettings.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace eztw32 {

// A scan area in mm, top-left and bottom-right corners.
struct Area {
    double tlX = 0, tlY = 0, brX = 0, brY = 0;
    double width() const { return brX - tlX; }
    double height() const { return brY - tlY; }
    bool operator==(const Area&) const = default;
};

struct Preset {
    std::string name; // "A4", "Letter", "" for the whole area
    Area area;
};

// What the user picked; the options absent on the device stay empty.
struct ScanChoices {
    std::optional<std::string> source;
    ColourMode colour = ColourMode::DeviceDefault;
    std::optional<double> resolution;
    std::optional<Area> area;
    std::optional<double> brightness, contrast;
    // Where the area came from: the device or the whole bed, the user (a
    // paper size, drawn or typed) or the document found on the preview.
    enum class AreaFrom { Device, User, Found };
    AreaFrom areaFrom = AreaFrom::Device;
    // Done in software: the area set to the document found on the preview
    // (when the user has not chosen one), the page straightened, the
    // picture turned, and the light of what the device cannot correct.
    bool findDocument = true;
    bool straighten = false;
    Turn turn = Turn::None;
    Light light{};
};

// The largest picture the program can hold: its loader keeps colour at 32
// bits per pixel, gray at 8 and line art at 1, in one allocation of at most
// this many bytes.
constexpr std::int64_t LargestPictureBytes = 0x7FFFFFFF;

class ScanOptions {
public:
    explicit ScanOptions(std::vector<OptionInfo> options);

    const std::vector<OptionInfo>& all() const { return options_; }

    const std::vector<std::string>& sources() const { return sources_; }
    // Colour, gray, line art as far as the device offers them, in that order.
    const std::vector<ColourMode>& colourModes() const { return modes_; }
    const std::vector<double>& resolutions() const { return resolutions_; }
    std::optional<OptionInfo> brightness() const { return numberRange("brightness"); }
    std::optional<OptionInfo> contrast() const { return numberRange("contrast"); }
    // Whether the device corrects gamma itself (a gamma value or table).
    bool hasGamma() const;

    // The scan area, when the device lets it be set in mm.
    bool hasArea() const { return bounds_.has_value(); }
    Area bounds() const { return bounds_.value_or(Area{}); }
    double areaStep() const { return areaStep_; }
    // The presets clamped to the bounds, then the whole area.
    std::vector<Preset> presets() const;
    // The first preset that fits the device without clamping, else the whole area.
    Area preferredArea() const;
    // Keeps an area inside the bounds and on the device's steps.
    Area clamp(Area a) const;

    // What the device has set now.
    ScanChoices current() const;
    // The settings for a scan with these choices.
    ScanSettings settings(const ScanChoices& c) const;

    // The picture these choices give, in pixels (height -1: not known before
    // the scan, as with hand scanners).
    struct Size {
        std::int64_t width = -1, height = -1;
        int bitsPerPixel = 24; // in the scan file
        std::int64_t fileBytes() const;
        // What the program's loader needs to hold it.
        std::int64_t heldBytes() const;
        bool known() const { return width > 0 && height > 0; }
    };
    Size expectedSize(const ScanChoices& c) const;

    // The quick scan of the whole bed at the lowest resolution not below
    // about 50 dpi, in the source, mode, brightness and contrast chosen for
    // the scan, so that it shows what the scan will give.
    ScanChoices previewChoices(const ScanChoices& chosen) const;

private:
    std::optional<OptionInfo> numberRange(const char* name) const;

    std::vector<OptionInfo> options_;
    std::vector<std::string> sources_;
    std::vector<ColourMode> modes_;
    std::vector<double> resolutions_;
    std::optional<std::string> colourValue_, grayValue_, lineArtValue_;
    bool lineArtByDepth_ = false;
    std::optional<Area> bounds_;
    double areaStep_ = 0;
};

// The colour class of a device mode name ("Color", "Gray", "Lineart", ...).
ColourMode classifyMode(const std::string& value);

} // namespace eztw32
