// Closing the viewer while the converter runs ends the program at once; the
// converter finishes by itself, the user's file is either the old one or the
// complete new one, and the next export works with what was left behind.
#include "common/ChildMain.h"
#include "common/FileGate.h"
#include "common/RecordingDesktop.h"
#include "common/TestFiles.h"
#include "common/ViewerMain.h"
#include "convert/ExportFiles.h"
#include "shell/PictureBox.h"
#include "viewer/Form2.h"

#include <QApplication>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QImageReader>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <cstdio>
#include <unistd.h>

using namespace orvane;

namespace {

// The program ends for real when a window is closed.
class EndingDesktop : public test::RecordingDesktop {
public:
    void endProgram() override
    {
        std::printf("ended\n");
        std::fflush(stdout);
        ::_exit(0);
    }
};

int child(const QStringList& args)
{
    qputenv("TEMP", args.value(0).toUtf8());
    EndingDesktop desktop;
    test::ViewerMain main(args.value(0));
    Form2& view = main.viewer();
    main.picBuffer->setPicture(test::noisyPicture(4000, 4000));
    view.show();
    desktop.saveAnswers = {args.value(1)};
    QTimer closer;
    // Closed once the converter has been started (the test holds it at its
    // start until the program has ended).
    QObject::connect(&closer, &QTimer::timeout, [&] {
        QFile children(QStringLiteral("/proc/self/task/%1/children").arg(::getpid()));
        if (children.open(QIODevice::ReadOnly) && !children.readAll().trimmed().isEmpty()) {
            std::printf("closing\n");
            std::fflush(stdout);
            view.close();
        }
    });
    closer.start(2);
    view.PushButton5_Click();
    std::printf("export ran to its end\n");
    return 1;
}

} // namespace

class TestCloseDuringExport : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void closeWhileConverting()
    {
        QTemporaryDir temp, out;
        const QString target = out.filePath(QStringLiteral("page.png"));
        QFile old(target);
        QVERIFY(old.open(QIODevice::WriteOnly));
        old.write("old");
        old.close();

        // The converter is held at its first read of the picture.
        test::FileGate gate(
            temp.path(), test::FileGate::At::Read, temp.filePath(QStringLiteral("nconvert.exe")));
        if (!gate.whyNot().isEmpty())
            QSKIP(qPrintable(gate.whyNot()));
        QProcess p;
        p.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        p.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--child"), temp.path(), target});
        QVERIFY(p.waitForFinished(120000));
        QCOMPARE(p.readAllStandardOutput(), QByteArray("closing\nended\n"));
        QCOMPARE(p.exitCode(), 0);
        // The converter outlives the program; under load it may reach its
        // first read only after the program has ended.
        QTRY_COMPARE_WITH_TIMEOUT(gate.held().size(), 1, 60000);
        gate.open();

        // The converter goes on by itself and ends.
        const QString converter = temp.filePath(QStringLiteral("nconvert.exe"));
        QTRY_VERIFY_WITH_TIMEOUT(test::processesRunning(converter).isEmpty(), 60000);
        QFile result(target);
        QVERIFY(result.open(QIODevice::ReadOnly));
        const QByteArray bytes = result.readAll();
        QVERIFY2(
            bytes == "old" || QImage::fromData(bytes, "png").size() == QSize(4000, 4000), "not complete");
        QCOMPARE(
            QDir(out.path()).entryList(QDir::Files | QDir::Hidden), QStringList{QStringLiteral("page.png")});
        // The converter and the temporary BMP stay where the next export
        // finds them.
        QVERIFY(QFile::exists(converter));
        // Both are the user's own: nobody else may read the scan or change
        // the program that runs.
        const QFileDevice::Permissions others = QFileDevice::ReadGroup | QFileDevice::WriteGroup
            | QFileDevice::ExeGroup | QFileDevice::ReadOther | QFileDevice::WriteOther
            | QFileDevice::ExeOther;
        QCOMPARE(QFile::permissions(converter) & others, QFileDevice::Permissions());
        const QString scan = temp.filePath(QStringLiteral("tempscan.bmp"));
        QVERIFY(QFile::exists(scan));
        QCOMPARE(QFile::permissions(scan) & others, QFileDevice::Permissions());

        // The next export uses them and cleans up after itself.
        qputenv("TEMP", temp.path().toUtf8());
        test::RecordingDesktop desktop;
        test::ViewerMain main(temp.path());
        Form2& view = main.viewer();
        main.picBuffer->setPicture(test::noisyPicture(64, 64));
        desktop.saveAnswers = {out.filePath(QStringLiteral("next.png"))};
        view.PushButton5_Click();
        QCOMPARE(desktop.texts(), QStringList{QStringLiteral("Done.")});
        QCOMPARE(QDir(temp.path()).entryList(QDir::Files | QDir::Hidden), QStringList());
    }
};

ORVANE_TEST_MAIN_WITH_CHILD(QApplication, TestCloseDuringExport, child)
#include "test_close_during_export.moc"
