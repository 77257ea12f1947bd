#include "OptionInfo.h"

#include <algorithm>

namespace eztw32 {

bool OptionInfo::offers(double v) const
{
    if (constraint == OptionConstraint::WordList)
        return std::find(numbers.begin(), numbers.end(), v) != numbers.end();
    if (constraint == OptionConstraint::Range)
        return v >= min && v <= max;
    return true;
}

std::optional<OptionInfo> findOption(const std::vector<OptionInfo>& options, const std::string& name)
{
    for (const OptionInfo& o : options)
        if (o.name == name)
            return o;
    return std::nullopt;
}

} // namespace eztw32
