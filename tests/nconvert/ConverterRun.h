#pragma once
// Runs the built converter as a real child process and compares pictures
// decoded by Qt's own PNG reader and TIFF plugin.
#include "common/Pictures.h"
#include "common/TestFiles.h"

#include <QColorSpace>
#include <QDir>
#include <QImage>
#include <QProcess>
#include <QString>
#include <QStringList>

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
    QProcess p;
    if (prefix.isEmpty()) {
        p.start(program, arguments);
    } else {
        p.start(prefix.first(), prefix.mid(1) + QStringList{program} + arguments);
    }
    Run r;
    if (!p.waitForFinished(60000)) {
        p.kill();
        p.waitForFinished();
        r.crashed = true;
        return r;
    }
    r.crashed = p.exitStatus() != QProcess::NormalExit;
    r.exitCode = p.exitCode();
    r.errors = QString::fromLocal8Bit(p.readAllStandardError());
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
