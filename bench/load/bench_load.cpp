// From the scanner library's return with an A4 colour BMP to the viewer
// painted, through "Scan Image" itself; then the peak resident memory with
// the picture shown.
//   bench_load <scan.bmp> [runs]
#include "app/Form1.h"
#include "scan/ScanCommands.h"
#include "shell/PictureBox.h"
#include "viewer/Form2.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <sys/resource.h>
#include <vector>

using namespace orvane;

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: bench_load <scan.bmp> [runs]\n");
        return 2;
    }
    const QString scan = QFileInfo(QString::fromLocal8Bit(argv[1])).absoluteFilePath();
    const int runs = argc > 2 ? std::atoi(argv[2]) : 5;
    // The application folder must be on the same file system as the scan,
    // so that the library can link the file into place.
    QTemporaryDir folder(QFileInfo(scan).absolutePath() + QStringLiteral("/bench-app-XXXXXX"));
    QFile::copy(QStringLiteral(ORVANE_BENCH_SCANNER), folder.filePath(QStringLiteral("EZTW32.dll")));
    qputenv("ORVANE_BENCH_SCAN", QFile::encodeName(scan));

    Form1 form(folder.path());
    form.Form_Load();
    form.show();
    std::vector<double> seconds;
    for (int i = 0; i < runs; ++i) {
        // Each run starts from the main window with no picture held.
        if (Form2* viewer = form.loadedViewer()) {
            viewer->PushButton2_Click();
            viewer->picScan->setPicture(QImage());
        }
        form.picBuffer->setPicture(QImage());
        QCoreApplication::processEvents();
        QElapsedTimer clock;
        clock.start();
        ScanImage(form);
        seconds.push_back(clock.nsecsElapsed() / 1e9);
        if (!form.loadedViewer() || !form.loadedViewer()->isVisible()) {
            std::fprintf(stderr, "the scan did not reach the viewer\n");
            return 1;
        }
    }
    std::sort(seconds.begin(), seconds.end());
    const QImage& picture = form.picBuffer->picture();
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const double peakMB = usage.ru_maxrss / 1024.0;
    const double pictureMB = picture.width() * 4.0 * picture.height() / 1e6;
    std::printf("load %dx%d: median %.3f s (min %.3f, max %.3f, %d runs); target 0.35 s\n", picture.width(),
        picture.height(), seconds[seconds.size() / 2], seconds.front(), seconds.back(), runs);
    std::printf("peak resident memory %.1f MB; target %.1f MB (1.25 x %.1f MB + 60 MB)\n", peakMB,
        1.25 * pictureMB + 60, pictureMB);
    return 0;
}
