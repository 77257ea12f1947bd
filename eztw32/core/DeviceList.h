// The device list as the search helper writes it to its standard output and
// the library reads it: NUL-separated fields (SANE's strings are C strings,
// so no field holds a NUL), each device as "D", name, vendor, model and
// type, then "S" and the search's SANE status as a decimal number. The
// status comes last: a list without it was cut short (the helper crashed or
// was stopped) and is no list at all. No Qt and no SANE here: the helper
// links neither.
#pragma once

#include "DeviceInfo.h"

#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace eztw32::devicelist {

inline void appendField(std::string& out, std::string_view field)
{
    out.append(field);
    out.push_back('\0');
}

inline void appendDevice(std::string& out, const DeviceInfo& d)
{
    appendField(out, "D");
    for (const std::string* f : {&d.name, &d.vendor, &d.model, &d.type})
        appendField(out, *f);
}

inline void appendStatus(std::string& out, int status)
{
    appendField(out, "S");
    appendField(out, std::to_string(status));
}

struct Parsed {
    bool complete = false; // the status was there, and nothing after it
    int status = 0;
    std::vector<DeviceInfo> devices;
};

inline Parsed parse(std::string_view in)
{
    std::vector<std::string_view> fields;
    while (!in.empty()) {
        const size_t end = in.find('\0');
        if (end == std::string_view::npos)
            break; // a field cut short
        fields.push_back(in.substr(0, end));
        in.remove_prefix(end + 1);
    }
    Parsed p;
    for (size_t i = 0; i < fields.size();) {
        if (fields[i] == "D" && i + 4 < fields.size()) {
            p.devices.push_back({std::string(fields[i + 1]), std::string(fields[i + 2]),
                std::string(fields[i + 3]), std::string(fields[i + 4])});
            i += 5;
        } else if (fields[i] == "S" && i + 1 < fields.size() && i + 2 == fields.size() && in.empty()) {
            const std::string number(fields[i + 1]);
            char* rest = nullptr;
            const long status = std::strtol(number.c_str(), &rest, 10);
            if (number.empty() || *rest != '\0')
                break;
            p.status = int(status);
            p.complete = true;
            break;
        } else {
            break; // not ours, or cut short
        }
    }
    if (!p.complete)
        p.devices.clear();
    return p;
}

} // namespace eztw32::devicelist
