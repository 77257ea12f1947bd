#pragma once
// Runs the built converter as a real child process and compares pictures
// decoded by Qt's own PNG reader and TIFF plugin.
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
    return QDir(dir).entryList({QStringLiteral(".*.nconvert-*")}, QDir::Files | QDir::Hidden | QDir::System);
}

// The largest difference of one channel between two pictures of the same
// size, after both are turned into non-premultiplied ARGB; the colour of
// fully transparent pixels does not count. -1 when the sizes differ.
inline int maxDifference(const QImage& a, const QImage& b)
{
    if (a.size() != b.size())
        return -1;
    const QImage x = a.convertToFormat(QImage::Format_ARGB32);
    const QImage y = b.convertToFormat(QImage::Format_ARGB32);
    int worst = 0;
    for (int row = 0; row < x.height(); ++row) {
        const auto* p = reinterpret_cast<const QRgb*>(x.constScanLine(row));
        const auto* q = reinterpret_cast<const QRgb*>(y.constScanLine(row));
        for (int col = 0; col < x.width(); ++col) {
            if (qAlpha(p[col]) == 0 && qAlpha(q[col]) == 0)
                continue;
            worst = std::max(
                {worst, std::abs(qRed(p[col]) - qRed(q[col])), std::abs(qGreen(p[col]) - qGreen(q[col])),
                    std::abs(qBlue(p[col]) - qBlue(q[col])), std::abs(qAlpha(p[col]) - qAlpha(q[col]))});
        }
    }
    return worst;
}

} // namespace nconvert_test
