#include "scan/ScanCommands.h"

#include "app/Form1.h"

namespace orvane {

void SelectScanner(Form1&) {}
void ScanImage(Form1&) {}

} // namespace orvane
