#pragma once
namespace orvane {
class Form1;
// "Select Scanner" and "Scan Image" of the main window.
void SelectScanner(Form1& form);
void ScanImage(Form1& form);
} // namespace orvane
