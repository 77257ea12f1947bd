// Times the scan's corrections on the pages the tests draw: finding the
// document and measuring its angle on an A4 bed's preview (100 dpi), and
// straightening an A4 colour page laid 5 degrees crooked into a BMP file
// at 300 and 600 dpi, on two threads. Prints one line a case: the median
// and the spread over the runs, the target, and for straightening the
// memory it takes beyond the picture (peak resident size: one case a
// process, for a figure of its own).
//
//   bench_page [--runs N] [--case preview|300|600]
#include "../../tests/eztw32/Pages.h"
#include "core/Corrections.h"
#include "core/Deskew.h"
#include "core/PageFinder.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>

#include <sys/resource.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

using namespace eztw32;

namespace {

double peakMb()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_maxrss / 1024.0;
}

PictureView viewOf(const QImage& image)
{
    return {image.constBits(), image.width(), image.height(), 3, std::size_t(image.bytesPerLine())};
}

void report(const char* what, std::vector<double> times, double target, const char* extra = "")
{
    std::sort(times.begin(), times.end());
    std::printf("%-46s %.3f s (%.3f-%.3f)  target %.1f s  %s%s\n", what, times[times.size() / 2],
        times.front(), times.back(), target, times[times.size() / 2] <= target ? "ok" : "OVER", extra);
}

template <class F> std::vector<double> timed(int runs, F&& f)
{
    std::vector<double> t;
    for (int i = 0; i < runs; ++i) {
        QElapsedTimer clock;
        clock.start();
        f();
        t.push_back(clock.nsecsElapsed() / 1e9);
    }
    return t;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    int runs = 5;
    std::string only;
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::string(argv[i]) == "--runs")
            runs = std::max(1, std::atoi(argv[i + 1]));
        if (std::string(argv[i]) == "--case")
            only = argv[i + 1];
    }
    QTemporaryDir tmp;

    if (only.empty() || only == "preview") {
        const QImage preview
            = bedWith(QColor(35, 35, 40), QRectF(20, 30, 180, 250), 5, false, 100, {216, 297});
        std::optional<AreaMm> area;
        report("find the document, 100 dpi preview",
            timed(runs, [&] { area = findDocument(viewOf(preview), 216, 297); }), 0.1);
        double angle = 0;
        report("measure the angle, 100 dpi preview",
            timed(runs, [&] { angle = measureSkew(viewOf(preview), 100).angle; }), 0.1);
        if (area)
            std::printf("  found %.1f,%.1f - %.1f,%.1f mm, angle %.2f degrees (laid at 5)\n", area->left,
                area->top, area->right, area->bottom, angle);
    }
    for (const double dpi : {300.0, 600.0}) {
        if (!only.empty() && only != std::to_string(int(dpi)))
            continue;
        // The area found around an A4 page 5 degrees crooked.
        const QImage picture
            = bedWith(QColor(35, 35, 40), QRectF(13, 12, 210, 297), 5, false, dpi, {236, 316});
        Corrections fix;
        fix.hold = fix.straighten = true;
        const QString path = tmp.filePath(QStringLiteral("page.bmp"));
        const double before = peakMb();
        const auto times = timed(runs, [&] {
            const int fd = ::open(path.toLocal8Bit().constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            if (fd < 0 || !writeCorrected(viewOf(picture), BmpWriter::Kind::Rgb24, dpi, fix, fd))
                std::fprintf(stderr, "writing %s failed\n", qPrintable(path));
            ::close(fd);
        });
        char extra[128];
        std::snprintf(extra, sizeof extra, "  picture %.0f MB, beyond it %.1f MB",
            picture.sizeInBytes() / 1e6, std::max(0.0, peakMb() - before));
        report(dpi == 300 ? "straighten A4 colour 300 dpi into BMP" : "straighten A4 colour 600 dpi into BMP",
            times, dpi == 300 ? 0.5 : 2.0, extra);
    }
    return 0;
}
