// An A4 600 dpi colour scan from SANE's test backend written to BMP by
// EZTW32.dll, from pressing "Scan" to the complete file, against
// `scanimage --format=pnm` for the same scan in the same run; and the
// library's peak memory beside the size of the picture.
//
//   bench_scan [--runs N] [--folder DIR] [--dpi D]
//
// The files go to DIR (default: a temporary folder in /tmp).
#include <EZTW32.h>

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QPushButton>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTextStream>
#include <QTimer>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <dlfcn.h>

namespace {

long procStatusKb(const char* key)
{
    QFile f(QStringLiteral("/proc/self/status"));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : f.readAll().split('\n'))
        if (line.startsWith(key))
            return line.mid(int(qstrlen(key))).trimmed().split(' ').value(0).toLong();
    return -1;
}

void resetPeakRss()
{
    QFile f(QStringLiteral("/proc/self/clear_refs"));
    if (f.open(QIODevice::WriteOnly))
        f.write("5");
}

} // namespace

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", qgetenv("QT_QPA_PLATFORM").isEmpty() ? QByteArray("offscreen")
                                                                    : qgetenv("QT_QPA_PLATFORM"));
    QApplication app(argc, argv);
    QTextStream out(stdout);
    int runs = 3;
    int dpi = 600;
    QString folder;
    const QStringList args = app.arguments();
    for (int i = 1; i + 1 < args.size(); ++i) {
        if (args[i] == QLatin1String("--runs"))
            runs = std::max(1, args[++i].toInt());
        else if (args[i] == QLatin1String("--folder"))
            folder = args[++i];
        else if (args[i] == QLatin1String("--dpi"))
            dpi = std::clamp(args[++i].toInt(), 50, 600);
    }
    QTemporaryDir tmp(folder.isEmpty() ? QDir::tempPath() + QStringLiteral("/bench-scan-XXXXXX")
                                       : folder + QStringLiteral("/bench-scan-XXXXXX"));
    if (!tmp.isValid())
        return 1;

    // The virtual scanner: A4 colour at 600 dpi, the colour pattern.
    const QString config = tmp.filePath(QStringLiteral("sane.d"));
    QDir().mkpath(config + QStringLiteral("/dll.d"));
    QFile dll(config + QStringLiteral("/dll.d/test"));
    QFile conf(config + QStringLiteral("/test.conf"));
    if (!dll.open(QIODevice::WriteOnly) || !conf.open(QIODevice::WriteOnly))
        return 1;
    dll.write("test\n");
    conf.write("number_of_devices 1\nmode Color\ndepth 8\nresolution_min 50.0\nresolution_max 600.0\n"
               "resolution_quant 1.0\nresolution " + QByteArray::number(dpi) + ".0\ntest-picture \"Color pattern\"\ngeometry_min 0.0\n"
               "geometry_max 297.0\ngeometry_quant 1.0\ntl_x 0.0\ntl_y 0.0\nbr_x 210.0\nbr_y 297.0\n");
    dll.close();
    conf.close();
    qputenv("SANE_CONFIG_DIR", config.toLocal8Bit());

    const QString scanimage = QStandardPaths::findExecutable(QStringLiteral("scanimage"));
    if (scanimage.isEmpty()) {
        out << "scanimage (sane-utils) is not installed\n";
        return 1;
    }
    void* lib = dlopen(EZTW32_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    if (!lib) {
        out << "cannot load " << EZTW32_LIBRARY << ": " << dlerror() << '\n';
        return 1;
    }
    auto isAvailable = reinterpret_cast<TWAIN_IsAvailable_fn>(dlsym(lib, "TWAIN_IsAvailable"));
    auto acquire = reinterpret_cast<TWAIN_AcquireToFilename_fn>(dlsym(lib, "TWAIN_AcquireToFilename"));
    if (!isAvailable || !acquire || !isAvailable())
        return 1;

    QWidget window;
    window.show();
    QElapsedTimer clock;
    QTimer driver;
    QObject::connect(&driver, &QTimer::timeout, [&] {
        QWidget* w = QApplication::activeModalWidget();
        if (w && w->objectName() == QLatin1String("scanDialog")) {
            clock.start(); // "Scan" pressed
            w->findChild<QPushButton*>(QStringLiteral("scanButton"))->click();
        }
    });
    driver.start(5);

    const QString bmp = tmp.filePath(QStringLiteral("scan.bmp"));
    const QString pnm = tmp.filePath(QStringLiteral("scan.pnm"));
    double bestLib = 1e9, bestRef = 1e9;
    long peakDeltaKb = 0;
    for (int run = 0; run < runs; ++run) {
        // scanimage, the same scan.
        QFile::remove(pnm);
        QProcess ref;
        ref.setStandardOutputFile(pnm);
        QElapsedTimer refClock;
        refClock.start();
        ref.start(scanimage, {QStringLiteral("-d"), QStringLiteral("test:0"), QStringLiteral("--format=pnm")});
        ref.waitForFinished(-1);
        bestRef = std::min(bestRef, refClock.nsecsElapsed() / 1e9);
        if (ref.exitCode() != 0) {
            out << "scanimage failed\n";
            return 1;
        }

        QFile::remove(bmp);
        const long before = procStatusKb("VmRSS:");
        resetPeakRss();
        const std::int32_t r = acquire(std::int32_t(std::uint32_t(window.winId())), bmp.toLocal8Bit().constData());
        const double seconds = clock.nsecsElapsed() / 1e9;
        const long peak = procStatusKb("VmHWM:");
        if (r != EZTW32_OK) {
            out << "acquisition failed: " << r << '\n';
            return 1;
        }
        bestLib = std::min(bestLib, seconds);
        peakDeltaKb = std::max(peakDeltaKb, peak - before);
    }
    const double mb = QFileInfo(bmp).size() / 1e6;
    const double ratio = bestLib / bestRef;
    out << QStringLiteral("A4 %3 dpi colour, %1 MB BMP, best of %2 runs\n").arg(mb, 0, 'f', 1).arg(runs).arg(dpi);
    out << QStringLiteral("  scanimage --format=pnm   %1 s\n").arg(bestRef, 0, 'f', 3);
    out << QStringLiteral("  EZTW32.dll, Scan to file %1 s  (%2x, target <= 1.3x: %3)\n")
               .arg(bestLib, 0, 'f', 3)
               .arg(ratio, 0, 'f', 2)
               .arg(ratio <= 1.3 ? QStringLiteral("met") : QStringLiteral("NOT met"));
    out << QStringLiteral("  peak memory growth during the scan: %1 MB for a %2 MB picture\n")
               .arg(peakDeltaKb / 1024.0, 0, 'f', 1)
               .arg(mb, 0, 'f', 1);
    return ratio <= 1.3 ? 0 : 2;
}
