// A scanner as the device search lists it.
#pragma once

#include <string>

namespace eztw32 {

struct DeviceInfo {
    std::string name, vendor, model, type;
};

} // namespace eztw32
