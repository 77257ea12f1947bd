#pragma once
// The stand-in scanner libraries of tests/common/stubs in a test's program
// folder, and the program's scanner state reset between tests.
#include "scan/Scanner.h"
#include "shell/Globals.h"

#include <QFile>
#include <QString>

namespace orvane::test {

// Puts the stand-in `stub` ("stub_available", ...) into `folder` as
// "EZTW32.dll", in place of one there; with no name the folder is left
// without a library. A failure ends the test run.
inline void installStub(const QString& folder, const QString& stub)
{
    const QString library = folder + QStringLiteral("/EZTW32.dll");
    QFile::remove(library);
    if (stub.isEmpty())
        return;
    const QString from
        = qEnvironmentVariable("ORVANE_STUB_DIR") + QStringLiteral("/lib") + stub + QStringLiteral(".so");
    if (!QFile::copy(from, library))
        qFatal("cannot copy %s", qPrintable(from));
}

// Unloads the library the last test loaded and forgets what the program
// learnt of it, as a fresh start of the program would.
inline void resetScanner()
{
    FreeLibrary(globals().ScannerLibraryHandle);
    globals() = Globals{};
    resetScannerBinding();
}

} // namespace orvane::test
