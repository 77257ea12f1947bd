// One scan on the SANE thread: apply the settings, start, read every frame,
// convert the rows and stream them into the BMP file (or, for the preview,
// into memory), end it with sane_cancel. The device stays open.
#pragma once

#include "Outcomes.h"
#include "Sane.h"
#include "ScanProgress.h"
#include "ScanSettings.h"

namespace eztw32 {

// Run on the SANE thread.
ScanResult runScan(Device& device, const ScanSettings& settings, int fd, ScanProgress& progress);
ScanResult runPreview(
    Device& device, const ScanSettings& settings, PreviewBuffer& preview, ScanProgress& progress);
// Sets the scan's options on the device.
ScanResult applySettings(Device& device, const ScanSettings& s);

} // namespace eztw32
