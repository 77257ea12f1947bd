#include "scan/Scanner.h"

#include "shell/AppError.h"
#include "shell/Globals.h"

#include <EZTW32.h>

#include <QFile>
#include <QLoggingCategory>
#include <dlfcn.h>

namespace orvane {
namespace {

// Every call into the scanner library and what it answered:
// QT_LOGGING_RULES="orvane.scan.debug=true".
Q_LOGGING_CATEGORY(lcScan, "orvane.scan", QtInfoMsg)

QString lastLoadError;

struct Exports {
    TWAIN_IsAvailable_fn isAvailable = nullptr;
    TWAIN_SelectImageSource_fn selectImageSource = nullptr;
    TWAIN_AcquireToFilename_fn acquireToFilename = nullptr;
} exports;

QString dlerrorText()
{
    const char* e = ::dlerror();
    return e ? QString::fromLocal8Bit(e) : QStringLiteral("unknown dynamic loader error");
}

// The library named "EZTW32.dll": the copy loaded at start-up when there is
// one, otherwise whatever the loader's search finds.
void* library()
{
    if (void* h = globals().ScannerLibraryHandle)
        return h;
    ::dlerror();
    if (void* h = ::dlopen("EZTW32.dll", RTLD_NOW | RTLD_LOCAL))
        return h;
    const QString searchError = dlerrorText();
    // The load of the full path at start-up tells the real cause best.
    raiseError(ErrLibraryNotFound, lastLoadError.isEmpty() ? searchError : lastLoadError);
}

template <class Fn> Fn lookUp(Fn& slot, const char* name)
{
    if (!slot) {
        void* h = library();
        ::dlerror();
        void* sym = ::dlsym(h, name);
        if (!sym)
            raiseError(ErrEntryPointNotFound, dlerrorText());
        slot = reinterpret_cast<Fn>(sym);
    }
    return slot;
}

} // namespace

void* LoadLibraryA(const QString& path)
{
    ::dlerror();
    void* h = ::dlopen(QFile::encodeName(path).constData(), RTLD_NOW | RTLD_LOCAL);
    lastLoadError = h ? QString() : dlerrorText();
    qCDebug(lcScan) << "dlopen" << path << (h ? QStringLiteral("loaded") : lastLoadError);
    return h;
}

void FreeLibrary(void* handle)
{
    if (handle)
        ::dlclose(handle);
}

std::int32_t TWAIN_IsAvailable()
{
    const std::int32_t result = lookUp(exports.isAvailable, "TWAIN_IsAvailable")();
    qCDebug(lcScan) << "TWAIN_IsAvailable ->" << result;
    return result;
}

std::int32_t TWAIN_SelectImageSource(std::int32_t window)
{
    qCDebug(lcScan) << "TWAIN_SelectImageSource" << window;
    const std::int32_t result = lookUp(exports.selectImageSource, "TWAIN_SelectImageSource")(window);
    qCDebug(lcScan) << "TWAIN_SelectImageSource ->" << result;
    return result;
}

std::int32_t TWAIN_AcquireToFilename(std::int32_t window, const QByteArray& path)
{
    qCDebug(lcScan) << "TWAIN_AcquireToFilename" << window << path;
    const std::int32_t result
        = lookUp(exports.acquireToFilename, "TWAIN_AcquireToFilename")(window, path.constData());
    qCDebug(lcScan) << "TWAIN_AcquireToFilename ->" << result;
    return result;
}

void resetScannerBinding()
{
    exports = Exports{};
    lastLoadError.clear();
}

} // namespace orvane
