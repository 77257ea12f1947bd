// What the library remembers for the user across runs, in its own file
// $XDG_CONFIG_HOME/orvane-capture-desk/scanner.conf (~/.config when unset):
// the device chosen in the source dialog or last scanned with, per device
// the choices of the scan dialog and the device options the user set, and
// how the scan dialog was left. The file has one owner, a Settings made on
// the GUI thread and used there only; the SANE thread gets copies.
#pragma once

#include "DeviceInfo.h"
#include "OptionInfo.h"
#include "Options.h"

#include <QString>

#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace eztw32 {

struct DeviceSettings {
    std::optional<ScanChoices> choices;
    // Device options in the order the user set them, value as text
    // (numbers of an array separated by commas).
    std::vector<OptionSetting> options;
};

// The option settings of every remembered device, by device name.
using RememberedOptions = std::map<std::string, std::vector<OptionSetting>>;

class Settings {
public:
    Settings();
    Settings(const Settings&) = delete;
    Settings& operator=(const Settings&) = delete;

    static QString path();

    // The device to open: the one last scanned with, else the one chosen.
    std::optional<DeviceInfo> rememberedDevice() const;
    // Chosen in the source dialog: wins over the one last scanned with.
    void rememberDevice(const DeviceInfo& device);
    // Scanned with.
    void rememberUsed(const DeviceInfo& device);

    DeviceSettings device(const std::string& name) const;
    RememberedOptions options() const;
    void saveDevice(const std::string& name, const DeviceSettings& settings);
    void forgetDevice(const std::string& name);

    // Whether the scan dialog shows "All options", as the user last left it.
    bool allOptionsShown() const;
    void setAllOptionsShown(bool shown);

private:
    void checkThread() const;

    QString path_;
    std::thread::id owner_;
};

} // namespace eztw32
