// Times the two writers from the picture in memory to the finished file, on
// the 600 dpi benchmark pages (make them with make-bench-images.sh into
// bench-images/ of the source tree, or name the BMP files on the command
// line). cjpeg at the same settings runs in the same loop for comparison
// (its time includes reading the BMP file), and so does Qt's own BMP writer.
//
//   bench_writers [--runs N] [--out FOLDER] [page.bmp ...]
#include "shell/AppError.h"
#include "writers/BmpExport.h"
#include "writers/SaveAsJPG.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QImageReader>
#include <QImageWriter>
#include <QProcess>
#include <QSaveFile>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <vector>

namespace {

struct Job {
    const char* name;
    double target; // seconds, 0 when there is none
    std::function<bool(const QString& out)> run;
    QString output;
    std::vector<double> times;
    qint64 size = 0;
};

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

int benchPage(const QString& page, int runs, const QString& folder)
{
    QImageReader reader(page);
    reader.setAllocationLimit(0); // a 600 dpi colour page is beyond Qt's default limit
    QElapsedTimer load;
    load.start();
    const QImage picture = reader.read();
    if (picture.isNull()) {
        std::fprintf(stderr, "%s: %s\n", qPrintable(page), qPrintable(reader.errorString()));
        return 1;
    }
    std::printf("%s: %d x %d, format %d, loaded in %.3f s\n", qPrintable(QFileInfo(page).fileName()),
        picture.width(), picture.height(), int(picture.format()), load.nsecsElapsed() / 1e9);

    const QString cjpeg = QStandardPaths::findExecutable(QStringLiteral("cjpeg"));
    const bool photo = QFileInfo(page).fileName().startsWith(QStringLiteral("photo"));
    std::vector<Job> jobs;
    jobs.push_back({"WriteJpegFile, quality 100", photo ? 0.6 : 0.0,
        [&](const QString& out) {
            orvane::WriteJpegFile(picture, out, 100);
            return true;
        },
        folder + QStringLiteral("/ours.jpg"), {}, 0});
    if (!cjpeg.isEmpty())
        jobs.push_back({"cjpeg -quality 100 -sample 1x1 (with BMP read)", 0.0,
            [&](const QString& out) {
                return QProcess::execute(cjpeg,
                           {QStringLiteral("-quality"), QStringLiteral("100"), QStringLiteral("-sample"),
                               QStringLiteral("1x1"), QStringLiteral("-outfile"), out, page})
                    == 0;
            },
            folder + QStringLiteral("/cjpeg.jpg"), {}, 0});
    jobs.push_back({"SavePicture (BMP)", photo ? 0.25 : 0.0,
        [&](const QString& out) {
            orvane::SavePicture(picture, out);
            return true;
        },
        folder + QStringLiteral("/ours.bmp"), {}, 0});
    jobs.push_back({"Qt QImageWriter BMP through QSaveFile", 0.0,
        [&](const QString& out) {
            QSaveFile file(out);
            return file.open(QIODevice::WriteOnly) && QImageWriter(&file, "bmp").write(picture)
                && file.commit();
        },
        folder + QStringLiteral("/qt.bmp"), {}, 0});

    for (int i = 0; i < runs; ++i) {
        for (Job& job : jobs) {
            QFile::remove(job.output); // a new file each run, removed outside the timing
            QElapsedTimer t;
            t.start();
            bool ok = false;
            try {
                ok = job.run(job.output);
            } catch (const orvane::AppError& e) {
                std::fprintf(stderr, "%s: %s\n", job.name, qPrintable(e.description()));
            }
            const double seconds = t.nsecsElapsed() / 1e9;
            if (!ok) {
                std::fprintf(stderr, "%s failed\n", job.name);
                return 1;
            }
            job.times.push_back(seconds);
            job.size = QFileInfo(job.output).size();
        }
    }
    bool allMet = true;
    for (const Job& job : jobs) {
        const double m = median(job.times);
        std::printf("  %-48s median %.3f s  min %.3f s  %7.1f MB", job.name, m,
            *std::min_element(job.times.begin(), job.times.end()), job.size / 1e6);
        if (job.target > 0) {
            std::printf("  target %.2f s: %s", job.target, m <= job.target ? "met" : "MISSED");
            allMet = allMet && m <= job.target;
        }
        std::printf("\n");
        QFile::remove(job.output);
    }
    return allMet ? 0 : 2;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);
    int runs = 5;
    QString folder;
    QStringList pages;
    for (int i = 0; i < args.size(); ++i) {
        if (args[i] == QStringLiteral("--runs") && i + 1 < args.size())
            runs = qMax(1, args[++i].toInt());
        else if (args[i] == QStringLiteral("--out") && i + 1 < args.size())
            folder = args[++i];
        else
            pages.append(args[i]);
    }
    if (pages.isEmpty())
        pages = {QStringLiteral(ORVANE_BENCH_IMAGES "/photo-600.bmp"),
            QStringLiteral(ORVANE_BENCH_IMAGES "/doc-600.bmp")};
    QTemporaryDir temporary;
    if (folder.isEmpty())
        folder = temporary.path();
    std::printf("%d runs each, files written in %s\n", runs, qPrintable(folder));
    int result = 0;
    for (const QString& page : pages) {
        if (!QFileInfo::exists(page)) {
            std::fprintf(stderr, "%s is missing: run make-bench-images.sh first\n", qPrintable(page));
            return 1;
        }
        result = qMax(result, benchPage(page, runs, folder));
    }
    return result;
}
