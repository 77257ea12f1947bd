// The TIFF and PNG exports on a machine shared with other users and with
// other copies of the program: another user's files in a shared temporary
// folder are never converted, run or in the way, and two copies exporting
// at the same moment each end with their own picture in their own file.
#include "app/Form1.h"
#include "common/ChildMain.h"
#include "common/RecordingDesktop.h"
#include "common/FileGate.h"
#include "common/TestFiles.h"
#include "common/Unprivileged.h"
#include "scan/ScanCommands.h"
#include "shell/FileIO.h"
#include "shell/PictureBox.h"
#include "viewer/Form2.h"

#include <QApplication>
#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QImageReader>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

using namespace orvane;

namespace {

void say(const QByteArray& line)
{
    std::printf("%s\n", line.constData());
    std::fflush(stdout);
}

// The child: one copy of the program that saves a picture of the given
// size as PNG or TIFF and says what it was told. While its export waits it
// says "waiting" at every tick of a 50 ms timer.
int child(const QStringList& args)
{
    qputenv("TEMP", args.value(0).toUtf8());
    test::RecordingDesktop desktop;
    Form1 main(args.value(0));
    Form2& view = main.viewer();
    main.picBuffer->setPicture(test::noisyPicture(args.value(2).toInt(), args.value(3).toInt()));
    view.show();
    desktop.saveAnswers = {args.value(1)};
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        if (view.isConverting() && view.MousePointer() == vbHourglass)
            say("waiting");
    });
    ticker.start(50);
    args.value(4) == QLatin1String("tiff") ? view.PushButton4_Click() : view.PushButton5_Click();
    ticker.stop();
    for (const QString& t : desktop.texts())
        say("message " + t.toUtf8().replace('\n', ' '));
    return 0;
}

// The child for scans: one copy of the program whose scanner delivers the
// picture file named by ORVANE_STUB_PICTURE. It says "tick" every 50 ms
// while "Scan Image" runs, then the size of the picture it ended with.
int scanChild(const QStringList& args)
{
    test::RecordingDesktop desktop;
    Form1 main(args.value(0));
    main.Form_Load();
    main.show();
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, [] { say("tick"); });
    ticker.start(50);
    ScanImage(main);
    ticker.stop();
    const QImage& picture = main.picBuffer->picture();
    say("picture " + QByteArray::number(picture.width()) + 'x' + QByteArray::number(picture.height()));
    for (const QString& t : desktop.texts())
        say("message " + t.toUtf8().replace('\n', ' '));
    return 0;
}

// A red 300 x 200 picture, as another user's left-over scan.
QByteArray redBmp()
{
    QImage red(300, 200, QImage::Format_RGB32);
    red.fill(Qt::red);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    red.save(&buffer, "BMP");
    return bytes;
}

} // namespace

class TestSharedMachine : public QObject {
    Q_OBJECT
    QTemporaryDir work_;

    QProcess* startCopy(const QString& temp, const QString& out, QSize size, const char* format)
    {
        auto* p = new QProcess(this);
        p->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        p->start(QCoreApplication::applicationFilePath(),
            {QStringLiteral("--child"), temp, out, QString::number(size.width()),
                QString::number(size.height()), QString::fromLatin1(format)});
        return p;
    }

private Q_SLOTS:
    // As root, another user's "tempscan.bmp" (a red picture) and
    // "nconvert.exe" (a program that would leave a mark) lie in a sticky
    // shared folder; an ordinary user exports as PNG and TIFF through it.
    void foreignFilesInASharedFolder_data()
    {
        QTest::addColumn<QString>("format");
        QTest::newRow("png") << "png";
        QTest::newRow("tiff") << "tiff";
    }
    void foreignFilesInASharedFolder()
    {
        QFETCH(QString, format);
        const QString why = test::unprivilegedUnavailable();
        if (!why.isEmpty())
            QSKIP(qPrintable(why));
        const QString shared = work_.filePath(QStringLiteral("shared-") + format);
        QVERIFY(QDir().mkpath(shared));
        QVERIFY(::chmod(QFile::encodeName(shared).constData(), 01777) == 0);
        test::openPathFor(shared);
        const QByteArray red = redBmp();
        const QString marker = work_.filePath(QStringLiteral("foreign-converter-ran"));
        const QByteArray planted = "#!/bin/sh\ntouch '" + QFile::encodeName(marker) + "'\n";
        test::writeFile(shared + QStringLiteral("/tempscan.bmp"), red);
        test::writeFile(shared + QStringLiteral("/nconvert.exe"), planted);
        QFile::setPermissions(shared + QStringLiteral("/nconvert.exe"),
            QFile::ReadOwner | QFile::ExeOwner | QFile::ReadOther | QFile::ExeOther);
        const QString out = work_.filePath(QStringLiteral("out-") + format);
        QVERIFY(QDir().mkpath(out));
        QVERIFY(::chmod(QFile::encodeName(out).constData(), 0777) == 0);
        const QString target = out + QStringLiteral("/mine.") + format;

        const test::ChildResult r
            = test::runAsNobody({shared, target, QStringLiteral("320"), QStringLiteral("240"), format});
        if (!r.ran)
            QSKIP(qPrintable(r.whyNot));
        QCOMPARE(r.exitCode, 0);
        QVERIFY2(r.output.contains("message Done."), r.output.constData());
        QVERIFY2(!r.output.contains("Application Error"), r.output.constData());
        const QImage written(target);
        QCOMPARE(written.convertToFormat(QImage::Format_RGB32), test::noisyPicture(320, 240));
        QVERIFY(!QFile::exists(marker));
        // The other user's files are as they were, and the user's own
        // folder is left empty.
        QCOMPARE(test::contents(shared + QStringLiteral("/tempscan.bmp")), red);
        QCOMPARE(test::contents(shared + QStringLiteral("/nconvert.exe")), planted);
        const QStringList own
            = QDir(shared).entryList(QStringList{QStringLiteral("orvane-capture-desk-*")}, QDir::Dirs);
        QCOMPARE(own.size(), 1);
        QCOMPARE(QDir(shared + QLatin1Char('/') + own[0])
                     .entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
            QStringList());
    }

    // Two copies of one user export through the same temporary folder at
    // the same moment. The first one's converter is held at its start; the
    // second must wait for it rather than replace its picture or remove its
    // converter. Both end with their own picture.
    void twoCopiesExportAtOnce()
    {
        QTemporaryDir temp;
        const QString first = work_.filePath(QStringLiteral("first.png"));
        const QString second = work_.filePath(QStringLiteral("second.tiff"));
        test::FileGate gate(temp.path(), test::FileGate::At::Exec);
        if (!gate.whyNot().isEmpty())
            QSKIP(qPrintable(gate.whyNot()));
        QProcess* a = startCopy(temp.path(), first, {3000, 3000}, "png");
        QTRY_COMPARE_WITH_TIMEOUT(gate.held().size(), 1, 60000);
        const QByteArray firstPicture = test::contents(temp.filePath(QStringLiteral("tempscan.bmp")));

        QProcess* b = startCopy(temp.path(), second, {640, 480}, "tiff");
        QByteArray said;
        // The second copy is waiting: ten ticks of its timer under the
        // hourglass while the first one's converter stands still.
        QTRY_VERIFY_WITH_TIMEOUT(
            (said += b->readAllStandardOutput()).count("waiting") >= 10 || b->state() == QProcess::NotRunning,
            60000);
        QVERIFY2(b->state() == QProcess::Running, said.constData());
        QCOMPARE(test::contents(temp.filePath(QStringLiteral("tempscan.bmp"))), firstPicture);
        QCOMPARE(gate.held().size(), 1);

        gate.open();
        QVERIFY(a->waitForFinished(120000));
        QVERIFY(b->waitForFinished(120000));
        said += b->readAllStandardOutput();
        const QByteArray saidA = a->readAllStandardOutput();
        QVERIFY2(saidA.contains("message Done.") && !saidA.contains("Application Error"), saidA.constData());
        QVERIFY2(said.contains("message Done.") && !said.contains("Application Error"), said.constData());
        QCOMPARE(QImageReader::imageFormat(first), QByteArray("png"));
        QCOMPARE(QImageReader::imageFormat(second), QByteArray("tiff"));
        QCOMPARE(QImage(first).convertToFormat(QImage::Format_RGB32), test::noisyPicture(3000, 3000));
        QCOMPARE(QImage(second).convertToFormat(QImage::Format_RGB32), test::noisyPicture(640, 480));
        QCOMPARE(QDir(temp.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
            QStringList());
    }

    // Two copies of one user scan at the same moment through the same scan
    // file. The first one's scanner is held in the middle of its acquire
    // (its picture comes through a pipe the test keeps shut); the second
    // must wait for it rather than write, load or delete that file. Both
    // end with their own picture.
    void twoCopiesScanAtOnce()
    {
        QTemporaryDir app;
        QVERIFY(QFile::copy(qEnvironmentVariable("ORVANE_STUB_DIR") + QStringLiteral("/libstub_copies.so"),
            app.filePath(QStringLiteral("EZTW32.dll"))));
        const QString pipe = work_.filePath(QStringLiteral("first-picture"));
        QVERIFY(::mkfifo(QFile::encodeName(pipe).constData(), 0600) == 0);
        const QString secondPicture = work_.filePath(QStringLiteral("second.bmp"));
        QVERIFY(test::noisyPicture(64, 48).save(secondPicture, "BMP"));
        auto start = [&](const QString& picture) {
            auto* p = new QProcess(this);
            QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
            e.insert(QStringLiteral("ORVANE_STUB_PICTURE"), picture);
            e.insert(QStringLiteral("XDG_RUNTIME_DIR"), work_.filePath(QStringLiteral("runtime")));
            p->setProcessEnvironment(e);
            p->setProcessChannelMode(QProcess::ForwardedErrorChannel);
            p->start(QCoreApplication::applicationFilePath(), {QStringLiteral("--scan-child"), app.path()});
            return p;
        };
        QVERIFY(QDir().mkpath(work_.filePath(QStringLiteral("runtime"))));
        QVERIFY(::chmod(QFile::encodeName(work_.filePath(QStringLiteral("runtime"))).constData(), 0700) == 0);
        QProcess* a = start(pipe);
        QByteArray saidA;
        // The pipe opens for writing once the first scanner reads from it:
        // the first copy is then inside its acquire.
        UniqueFd feed;
        QTRY_VERIFY_WITH_TIMEOUT(
            (feed = UniqueFd(::open(QFile::encodeName(pipe).constData(), O_WRONLY | O_NONBLOCK | O_CLOEXEC))),
            60000);

        QProcess* b = start(secondPicture);
        QByteArray saidB;
        QTRY_VERIFY_WITH_TIMEOUT(
            (saidB += b->readAllStandardOutput()).count("tick") >= 10 || b->state() == QProcess::NotRunning,
            60000);
        QVERIFY2(b->state() == QProcess::Running && !saidB.contains("picture"), saidB.constData());

        const QByteArray firstPicture = [] {
            QByteArray bytes;
            QBuffer buffer(&bytes);
            buffer.open(QIODevice::WriteOnly);
            test::noisyPicture(80, 60).save(&buffer, "BMP");
            return bytes;
        }();
        // The first scanner delivers.
        QVERIFY(::fcntl(feed.get(), F_SETFL, 0) == 0);
        QCOMPARE(writeAll(feed.get(), firstPicture.constData(), std::size_t(firstPicture.size())), 0);
        feed.reset();
        QVERIFY(a->waitForFinished(60000));
        QVERIFY(b->waitForFinished(60000));
        saidA += a->readAllStandardOutput();
        saidB += b->readAllStandardOutput();
        QVERIFY2(saidA.contains("picture 80x60") && !saidA.contains("message"), saidA.constData());
        QVERIFY2(saidB.contains("picture 64x48") && !saidB.contains("message"), saidB.constData());
        QCOMPARE(QDir(app.path()).entryList(QDir::Files | QDir::Hidden),
            QStringList{QStringLiteral("EZTW32.dll")});
    }
};

int main(int argc, char** argv)
{
    return orvane::test::runTestsOrChild<QApplication, TestSharedMachine>(
        argc, argv, {{"--child", child}, {"--scan-child", scanChild}});
}
#include "test_shared_machine.moc"
