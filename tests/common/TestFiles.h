#pragma once
// Small things many tests need: files written and read whole, a noisy
// photo-like picture, the processes running a given program, and a SANE
// configuration that offers only the test backend.
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QList>
#include <QStringList>

namespace orvane::test {

// Writes `bytes` to `path`, making its folder; a failure ends the test run.
inline void writeFile(const QString& path, const QByteArray& bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly) || f.write(bytes) != bytes.size())
        qFatal("cannot write %s", qPrintable(path));
}

// The whole file, or nothing when it cannot be read.
inline QByteArray contents(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// What a folder holds, hidden files included, by name; with `patterns`
// only the names that match one of them.
inline QStringList folderEntries(const QString& folder, const QStringList& patterns = {})
{
    return QDir(folder).entryList(
        patterns, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
}

// A colour picture with gradients and noise (compresses like a scan), at
// 300 dpi. The same size gives the same pixels.
inline QImage noisyPicture(int width, int height)
{
    QImage image(width, height, QImage::Format_RGB32);
    quint32 seed = 12345;
    for (int y = 0; y < height; ++y) {
        auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < width; ++x) {
            seed = seed * 1664525u + 1013904223u;
            line[x] = qRgb((x + (seed >> 28)) & 255, (y + (seed >> 24)) & 255, (x ^ (seed >> 16)) & 255);
        }
    }
    image.setDotsPerMeterX(11811);
    image.setDotsPerMeterY(11811);
    return image;
}

// The ids of the running processes whose program file is `path`.
inline QList<int> processesRunning(const QString& path)
{
    QList<int> found;
    QDirIterator it(QStringLiteral("/proc"));
    while (it.hasNext()) {
        const QString pid = QFileInfo(it.next()).fileName();
        bool numeric = false;
        const int n = pid.toInt(&numeric);
        if (numeric && QFile::symLinkTarget(QStringLiteral("/proc/") + pid + QStringLiteral("/exe")) == path)
            found << n;
    }
    return found;
}

// A SANE configuration folder offering only the test backend, with the
// given lines of test.conf.
inline void writeSaneConfig(const QString& dir, const QStringList& testConf)
{
    writeFile(dir + QStringLiteral("/dll.d/test"), "test\n");
    writeFile(dir + QStringLiteral("/test.conf"), testConf.join(QLatin1Char('\n')).toUtf8() + '\n');
}

} // namespace orvane::test
