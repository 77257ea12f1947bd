#include "Options.h"

#include <algorithm>
#include <cctype>
#include <cmath>

namespace eztw32 {
namespace {

constexpr double MmPerInch = 25.4;

std::string lower(std::string s)
{
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    return s;
}

bool isRange(const std::optional<OptionInfo>& o)
{
    return o && o->settable() && o->isNumber() && o->constraint == OptionConstraint::Range;
}

std::vector<double> resolutionChoices(const OptionInfo& o)
{
    std::vector<double> values;
    if (o.constraint == OptionConstraint::WordList) {
        values = o.numbers;
    } else if (o.constraint == OptionConstraint::Range) {
        static constexpr double common[] = {50, 75, 100, 150, 200, 300, 400, 600, 1200, 2400, 4800, 9600};
        for (double v : common) {
            if (v < o.min || v > o.max)
                continue;
            if (o.quant > 0) {
                const double steps = (v - o.min) / o.quant;
                if (std::fabs(steps - std::round(steps)) > 1e-6)
                    continue;
            }
            values.push_back(v);
        }
        if (values.empty() || values.front() > o.min)
            values.insert(values.begin(), o.min);
        if (values.back() < o.max && values.size() < 2)
            values.push_back(o.max);
    } else {
        values.push_back(o.value);
    }
    std::sort(values.begin(), values.end());
    values.erase(std::unique(values.begin(), values.end()), values.end());
    return values;
}

double snap(double v, double lo, double step)
{
    return step > 0 ? lo + std::round((v - lo) / step) * step : v;
}

} // namespace

ColourMode classifyMode(const std::string& value)
{
    const std::string v = lower(value);
    if (v.find("lineart") != std::string::npos || v.find("line art") != std::string::npos
        || v.find("binary") != std::string::npos || v == "black & white" || v == "black and white")
        return ColourMode::LineArt;
    if (v.find("gray") != std::string::npos || v.find("grey") != std::string::npos)
        return ColourMode::Gray;
    if (v.find("color") != std::string::npos || v.find("colour") != std::string::npos)
        return ColourMode::Colour;
    return ColourMode::DeviceDefault;
}

ScanOptions::ScanOptions(std::vector<OptionInfo> options)
    : options_(std::move(options))
{
    if (const auto o = findOption(options_, "source");
        o && o->settable() && o->type == OptionType::String && o->strings.size() > 1)
        sources_ = o->strings;

    // Colour, gray and line art, the last as 1-bit gray where the device has
    // no line-art mode of its own.
    if (const auto o = findOption(options_, "mode"); o && o->settable() && o->type == OptionType::String) {
        for (const std::string& s : o->strings) {
            switch (classifyMode(s)) {
            case ColourMode::Colour:
                if (!colourValue_)
                    colourValue_ = s;
                break;
            case ColourMode::Gray:
                if (!grayValue_)
                    grayValue_ = s;
                break;
            case ColourMode::LineArt:
                if (!lineArtValue_)
                    lineArtValue_ = s;
                break;
            case ColourMode::DeviceDefault:
                break;
            }
        }
        if (!lineArtValue_ && grayValue_) {
            const auto depth = findOption(options_, "depth");
            if (depth && depth->settable() && depth->constraint != OptionConstraint::None
                && depth->offers(1.0)) {
                lineArtValue_ = grayValue_;
                lineArtByDepth_ = true;
            }
        }
        if (colourValue_)
            modes_.push_back(ColourMode::Colour);
        if (grayValue_)
            modes_.push_back(ColourMode::Gray);
        if (lineArtValue_)
            modes_.push_back(ColourMode::LineArt);
    }

    if (const auto o = findOption(options_, "resolution"); o && o->settable() && o->isNumber())
        resolutions_ = resolutionChoices(*o);

    const auto tlX = findOption(options_, "tl-x"), tlY = findOption(options_, "tl-y");
    const auto brX = findOption(options_, "br-x"), brY = findOption(options_, "br-y");
    if (isRange(tlX) && isRange(tlY) && isRange(brX) && isRange(brY) && brX->unit == OptionUnit::Mm
        && brY->unit == OptionUnit::Mm && brX->max > tlX->min && brY->max > tlY->min) {
        bounds_ = Area{tlX->min, tlY->min, brX->max, brY->max};
        areaStep_ = std::max({tlX->quant, tlY->quant, brX->quant, brY->quant});
    }
}

std::optional<OptionInfo> ScanOptions::numberRange(const char* name) const
{
    auto o = findOption(options_, name);
    return isRange(o) ? o : std::nullopt;
}

Area ScanOptions::clamp(Area a) const
{
    if (!bounds_)
        return a;
    const Area b = *bounds_;
    const double minSize = areaStep_ > 0 ? areaStep_ : 1.0;
    if (a.brX < a.tlX)
        std::swap(a.brX, a.tlX);
    if (a.brY < a.tlY)
        std::swap(a.brY, a.tlY);
    a.tlX = std::clamp(snap(a.tlX, b.tlX, areaStep_), b.tlX, b.brX - minSize);
    a.tlY = std::clamp(snap(a.tlY, b.tlY, areaStep_), b.tlY, b.brY - minSize);
    a.brX = std::clamp(snap(a.brX, b.tlX, areaStep_), a.tlX + minSize, b.brX);
    a.brY = std::clamp(snap(a.brY, b.tlY, areaStep_), a.tlY + minSize, b.brY);
    return a;
}

std::vector<Preset> ScanOptions::presets() const
{
    std::vector<Preset> result;
    if (!bounds_)
        return result;
    const Area b = *bounds_;
    struct Paper {
        const char* name;
        double width, height;
    };
    static constexpr Paper papers[] = {{"A4", 210.0, 297.0}, {"Letter", 215.9, 279.4}};
    for (const Paper& p : papers) {
        const double w = std::min(p.width, b.width()), h = std::min(p.height, b.height());
        result.push_back({p.name, clamp({b.tlX, b.tlY, b.tlX + w, b.tlY + h})});
    }
    result.push_back({"", b});
    return result;
}

Area ScanOptions::preferredArea() const
{
    const Area b = bounds();
    for (const Preset& p : presets())
        if (!p.name.empty() && p.name == "A4" && 210.0 <= b.width() + 0.5 && 297.0 <= b.height() + 0.5)
            return p.area;
    return b;
}

ScanChoices ScanOptions::current() const
{
    ScanChoices c;
    if (!sources_.empty())
        if (const auto o = findOption(options_, "source"))
            c.source = o->text;
    if (!modes_.empty()) {
        const auto o = findOption(options_, "mode");
        ColourMode mode = o ? classifyMode(o->text) : ColourMode::DeviceDefault;
        if (mode == ColourMode::Gray && lineArtByDepth_)
            if (const auto depth = findOption(options_, "depth"); depth && depth->value == 1)
                mode = ColourMode::LineArt;
        c.colour = std::find(modes_.begin(), modes_.end(), mode) != modes_.end() ? mode : modes_.front();
    }
    if (const auto o = findOption(options_, "resolution"); o && !resolutions_.empty()) {
        double best = resolutions_.front();
        for (double v : resolutions_)
            if (std::fabs(v - o->value) < std::fabs(best - o->value))
                best = v;
        c.resolution = best;
    }
    if (bounds_)
        c.area = preferredArea();
    if (const auto o = brightness())
        c.brightness = o->value;
    if (const auto o = contrast())
        c.contrast = o->value;
    return c;
}

ScanSettings ScanOptions::settings(const ScanChoices& c) const
{
    ScanSettings s;
    if (!sources_.empty())
        s.source = c.source;
    if (!modes_.empty()) {
        s.colour = c.colour;
        switch (c.colour) {
        case ColourMode::Colour:
            s.modeValue = colourValue_;
            break;
        case ColourMode::Gray:
            s.modeValue = grayValue_;
            break;
        case ColourMode::LineArt:
            s.modeValue = lineArtValue_;
            s.lineArtByDepth = lineArtByDepth_;
            break;
        case ColourMode::DeviceDefault:
            break;
        }
    }
    if (!resolutions_.empty())
        s.resolution = c.resolution;
    if (bounds_ && c.area) {
        const Area a = clamp(*c.area);
        s.tlX = a.tlX;
        s.tlY = a.tlY;
        s.brX = a.brX;
        s.brY = a.brY;
    }
    if (brightness())
        s.brightness = c.brightness;
    if (contrast())
        s.contrast = c.contrast;
    // The device's own corrections win over the same in software.
    Light light = c.light;
    if (brightness())
        light.brightness = 0;
    if (contrast())
        light.contrast = 0;
    if (hasGamma())
        light.gamma = 1;
    if (!light.isNeutral())
        s.light = light;
    s.straighten = c.straighten;
    s.cropToPage = c.straighten && c.areaFrom == ScanChoices::AreaFrom::Found;
    s.turn = c.turn;
    return s;
}

bool ScanOptions::hasGamma() const
{
    return std::any_of(options_.begin(), options_.end(),
        [](const OptionInfo& o) { return o.active() && o.name.find("gamma") != std::string::npos; });
}

std::int64_t ScanOptions::Size::fileBytes() const
{
    if (!known())
        return -1;
    const std::int64_t stride = (width * bitsPerPixel + 31) / 32 * 4;
    return 54 + (bitsPerPixel == 8 ? 1024 : bitsPerPixel == 1 ? 8 : 0) + stride * height;
}

std::int64_t ScanOptions::Size::heldBytes() const
{
    if (!known())
        return -1;
    const int bits = bitsPerPixel == 24 ? 32 : bitsPerPixel;
    return (width * bits + 31) / 32 * 4 * height;
}

ScanOptions::Size ScanOptions::expectedSize(const ScanChoices& c) const
{
    Size size;
    ColourMode mode = c.colour;
    if (mode == ColourMode::DeviceDefault) {
        const auto o = findOption(options_, "mode");
        mode = o ? classifyMode(o->text) : ColourMode::Colour;
    }
    size.bitsPerPixel = mode == ColourMode::LineArt ? 1 : mode == ColourMode::Gray ? 8 : 24;
    double dpi = c.resolution.value_or(0);
    if (dpi <= 0)
        if (const auto o = findOption(options_, "resolution"))
            dpi = o->value;
    if (!bounds_ || !c.area || dpi <= 0)
        return size;
    // As backends count: whole pixels of the area at the resolution.
    const Area a = clamp(*c.area);
    size.width = std::int64_t(a.width() / MmPerInch * dpi + 1e-9);
    size.height = std::int64_t(a.height() / MmPerInch * dpi + 1e-9);
    return size;
}

ScanChoices ScanOptions::previewChoices(const ScanChoices& chosen) const
{
    ScanChoices c = current();
    if (chosen.source)
        c.source = chosen.source;
    if (std::find(modes_.begin(), modes_.end(), chosen.colour) != modes_.end())
        c.colour = chosen.colour;
    if (chosen.brightness)
        c.brightness = chosen.brightness;
    if (chosen.contrast)
        c.contrast = chosen.contrast;
    if (const auto o = findOption(options_, "resolution"); o && o->settable() && o->isNumber()) {
        double dpi = o->value;
        if (o->constraint == OptionConstraint::WordList && !o->numbers.empty()) {
            std::vector<double> v = o->numbers;
            std::sort(v.begin(), v.end());
            const auto at = std::lower_bound(v.begin(), v.end(), 50.0);
            dpi = at != v.end() ? *at : v.back();
        } else if (o->constraint == OptionConstraint::Range) {
            dpi = std::clamp(50.0, o->min, o->max);
            if (o->quant > 0)
                dpi = std::min(o->max, o->min + std::ceil((dpi - o->min) / o->quant - 1e-9) * o->quant);
        }
        c.resolution = dpi;
    }
    if (bounds_)
        c.area = *bounds_;
    return c;
}

} // namespace eztw32
