#pragma once
// Values that start-up sets once and the commands read.
#include <QString>

namespace orvane {

struct Globals {
    QString AppFolder; // the program's folder, ending in "/"
    void* ScannerLibraryHandle = nullptr;
    bool ScannerAvailable = false;
    QString ApplicationTitle; // title of message boxes that name none
};

Globals& globals();

} // namespace orvane
