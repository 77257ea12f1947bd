#pragma once
#include <QString>
#include <cstdint>

namespace orvane {
class Form1;
// "Select Scanner" and "Scan Image" of the main window.
void SelectScanner(Form1& form);
void ScanImage(Form1& form);
// The message "Scan Image" shows for a scanner library result.
QString acquireResultMessage(std::int32_t result);
} // namespace orvane
