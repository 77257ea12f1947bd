#pragma once
// Runs the built converter as a real child process and compares pictures
// decoded by Qt's own PNG reader and TIFF plugin.
#include "common/Pictures.h"
#include "common/TestFiles.h"

#include <QColorSpace>
#include <QDir>
#include <QImage>
#include <QString>
#include <QStringList>

#include "common/Spawn.h"

namespace nconvert_test {

struct Run {
    int exitCode = -1;
    bool crashed = false;
    QString errors; // standard error
};

inline QString converterPath()
{
    return QStringLiteral(NCONVERT_EXE);
}

inline Run runConverter(
    const QStringList& arguments, const QString& program = converterPath(), const QStringList& prefix = {})
{
    orvane::test::Spawn p;
    const bool ended = prefix.isEmpty()
        ? p.run(program, arguments, QProcessEnvironment::systemEnvironment(), 120000,
            orvane::test::Spawn::Errors::Capture)
        : p.run(prefix.first(), prefix.mid(1) + QStringList{program} + arguments,
            QProcessEnvironment::systemEnvironment(), 120000, orvane::test::Spawn::Errors::Capture);
    Run r;
    r.crashed = !ended || p.crashed();
    r.exitCode = p.exitCode();
    r.errors = QString::fromLocal8Bit(p.errors());
    return r;
}

inline Run convert(const QString& format, const QString& output, const QString& input)
{
    return runConverter({QStringLiteral("-out"), format, QStringLiteral("-o"), output, input});
}

// Files the converter may have left behind in a folder (its temporary files
// are hidden and named ".<target's name>.nconvert-XXXXXX").
inline QStringList leftovers(const QString& dir)
{
    return orvane::test::folderEntries(dir, {QStringLiteral(".*.nconvert-*")});
}

using orvane::test::maxDifference;

} // namespace nconvert_test
