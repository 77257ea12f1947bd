// What the library remembers for the user across runs, in its own file
// $XDG_CONFIG_HOME/orvane-capture-desk/scanner.conf (~/.config when unset):
// the chosen device, and per device the choices of the scan dialog and the
// device options the user set. GUI thread only.
#pragma once

#include "Options.h"
#include "Sane.h"

#include <QString>
#include <QStringList>

#include <optional>
#include <utility>
#include <vector>

namespace eztw32 {

QString settingsPath();

std::optional<DeviceInfo> rememberedDevice();
void rememberDevice(const DeviceInfo& device);

struct DeviceSettings {
    std::optional<ScanChoices> choices;
    // Device options in the order the user set them, value as text
    // (numbers of an array separated by commas).
    std::vector<std::pair<std::string, std::string>> options;
};

DeviceSettings deviceSettings(const std::string& device);
void saveDeviceSettings(const std::string& device, const DeviceSettings& settings);
void forgetDeviceSettings(const std::string& device);

} // namespace eztw32
