#pragma once
// The binding to the scanner library "EZTW32.dll": loaded by full path at
// start-up, each export looked up by name on its first call, released at
// the end. A missing library or export raises AppError with dlerror()'s text.
#include <QString>
#include <cstdint>

namespace orvane {

// dlopen of the full path; nullptr when it fails (the reason is kept for
// the first call that needs the library).
void* LoadLibraryA(const QString& path);
// dlclose; harmless with nullptr.
void FreeLibrary(void* handle);

std::int32_t TWAIN_IsAvailable();
std::int32_t TWAIN_SelectImageSource(std::int32_t window);
std::int32_t TWAIN_AcquireToFilename(std::int32_t window, const QByteArray& path);

// Forgets the looked-up exports (a new library was loaded in a test).
void resetScannerBinding();

} // namespace orvane
