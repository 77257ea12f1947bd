// Each save command of the viewer, whole, from the picture in memory to the
// finished file (for TIFF and PNG: the temporary BMP, the converter and the
// clean-up included), through the command handlers themselves.
//   bench_export <page.bmp> <output folder> <runs> [jpg|bmp|tiff|png ...]
// Prints one line per format: median, min, max in seconds, output size; and
// the peak resident memory of the program.
#include "../../tests/common/RecordingDesktop.h"
#include "app/Form1.h"
#include "scan/ScanFile.h"
#include "shell/PictureBox.h"
#include "viewer/Form2.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFileInfo>

#include <algorithm>
#include <cstdio>
#include <sys/resource.h>
#include <vector>

using namespace orvane;

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    if (argc < 4) {
        std::fprintf(
            stderr, "usage: bench_export <page.bmp> <output folder> <runs> [jpg|bmp|tiff|png ...]\n");
        return 2;
    }
    const QString page = QString::fromLocal8Bit(argv[1]);
    const QString out = QString::fromLocal8Bit(argv[2]);
    const int runs = std::max(1, std::atoi(argv[3]));
    QStringList formats;
    for (int i = 4; i < argc; ++i)
        formats << QString::fromLocal8Bit(argv[i]);
    if (formats.isEmpty())
        formats
            = {QStringLiteral("jpg"), QStringLiteral("bmp"), QStringLiteral("tiff"), QStringLiteral("png")};

    test::RecordingDesktop desktop;
    Form1 main(out);
    Form2& viewer = main.viewer();
    main.picBuffer->setPicture(loadScanFile(page));

    for (const QString& format : formats) {
        const QString path = out + QStringLiteral("/bench.") + format;
        std::vector<double> seconds;
        for (int i = 0; i < runs; ++i) {
            QFile::remove(path);
            desktop.messages.clear();
            desktop.saveAnswers = {path};
            QElapsedTimer clock;
            clock.start();
            if (format == QLatin1String("jpg"))
                viewer.PushButton1_Click();
            else if (format == QLatin1String("bmp"))
                viewer.PushButton3_Click();
            else if (format == QLatin1String("tiff"))
                viewer.PushButton4_Click();
            else
                viewer.PushButton5_Click();
            seconds.push_back(clock.nsecsElapsed() / 1e9);
            if (desktop.texts() != QStringList{QStringLiteral("Done.")}) {
                std::fprintf(stderr, "%s: %s\n", qPrintable(format),
                    qPrintable(desktop.texts().join(QLatin1Char('|'))));
                return 1;
            }
        }
        std::sort(seconds.begin(), seconds.end());
        std::printf("%s %.4f %.4f %.4f %lld\n", qPrintable(format), seconds[seconds.size() / 2],
            seconds.front(), seconds.back(), static_cast<long long>(QFileInfo(path).size()));
        QFile::remove(path);
    }
    rusage self{};
    getrusage(RUSAGE_SELF, &self);
    std::printf("rss %.1f\n", self.ru_maxrss / 1024.0);
    return 0;
}
