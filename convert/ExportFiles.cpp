#include "convert/ExportFiles.h"

#include "shell/PrivateFolder.h"

#include <unistd.h>

namespace orvane {

QString temporaryFolder()
{
    for (const char* name : {"TEMP", "TMPDIR"}) {
        const QString value = qEnvironmentVariable(name);
        if (!value.isEmpty())
            return value;
    }
    return QStringLiteral("/tmp");
}

QString exportFolder()
{
    const QString temporary = temporaryFolder();
    if (onlyUserCanWrite(temporary))
        return temporary;
    return temporary + QStringLiteral("/orvane-capture-desk-%1").arg(::geteuid());
}

void checkExportFolder()
{
    const QString folder = exportFolder();
    if (folder != temporaryFolder())
        ensurePrivateFolder(folder);
}

QString converterPath()
{
    return exportFolder() + QStringLiteral("/nconvert.exe");
}

QString temporaryBmpPath()
{
    return exportFolder() + QStringLiteral("/tempscan.bmp");
}

QString exportLockPath()
{
    return exportFolder() + QStringLiteral("/nconvert.lock");
}

} // namespace orvane
