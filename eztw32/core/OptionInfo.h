// A device option as the dialogs and the scan set-up see it: a copy of its
// description and current value, in the library's own terms.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace eztw32 {

enum class OptionType { Bool, Int, Fixed, String, Button };

enum class OptionUnit { None, Pixel, Bit, Mm, Dpi, Percent, Microsecond };

enum class OptionConstraint { None, Range, WordList, StringList };

// What may be done with an option.
namespace OptionCap {
enum : unsigned {
    SoftSelect = 1u << 0, // the program can set it
    HardSelect = 1u << 1, // set by a switch on the device
    SoftDetect = 1u << 2, // its value can be read
    Emulated = 1u << 3,
    Automatic = 1u << 4, // the device can choose it itself
    Inactive = 1u << 5, // not in use with the other options as they are
    Advanced = 1u << 6,
};
}

struct OptionInfo {
    int index = 0;
    std::string name, title, description, group;
    OptionType type = OptionType::Int;
    OptionUnit unit = OptionUnit::None;
    unsigned caps = 0; // OptionCap flags
    int count = 1; // elements of a number array
    OptionConstraint constraint = OptionConstraint::None;
    double min = 0, max = 0, quant = 0; // range constraint, as numbers
    std::vector<double> numbers; // word list constraint
    std::vector<std::string> strings; // string list constraint
    double value = 0; // current value of a number or bool option
    std::vector<double> values; // every element of a number array
    std::string text; // current value of a string option

    bool active() const { return !(caps & OptionCap::Inactive); }
    bool settable() const { return active() && (caps & OptionCap::SoftSelect); }
    bool advanced() const { return (caps & OptionCap::Advanced) != 0; }
    bool isNumber() const { return type == OptionType::Int || type == OptionType::Fixed; }
    // Whether the constraint allows the number v (always without one).
    bool offers(double v) const;
};

std::optional<OptionInfo> findOption(const std::vector<OptionInfo>& options, const std::string& name);

// An option's value as text: numbers separated by commas, a bool as 0 or 1,
// a string as it is; a button has none.
using OptionSetting = std::pair<std::string, std::string>;

} // namespace eztw32
