// Starting a program and waiting for it: exit codes, start failures, the
// command line's quoting, and the windows kept alive meanwhile.
#include "convert/Shell32.h"

#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

using namespace orvane;

class TestRunAndWait : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void exitCodes_data()
    {
        QTest::addColumn<QString>("command");
        QTest::addColumn<int>("result");
        QTest::newRow("0") << "/bin/true" << 0;
        QTest::newRow("3") << "/bin/sh -c \"exit 3\"" << 3;
        QTest::newRow("killed") << "/bin/sh -c \"kill -9 $$\"" << 128 + 9;
        QTest::newRow("missing program") << "\"/no/such/nconvert.exe\" -out png" << ENOENT - 2147221504;
    }
    void exitCodes()
    {
        QFETCH(QString, command);
        QFETCH(int, result);
        QCOMPARE(RunAndWait(command, 0), result);
    }

    void fileThatIsNotAProgram()
    {
        QTemporaryDir dir;
        QFile f(dir.filePath(QStringLiteral("data")));
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("data");
        f.close();
        f.setPermissions(QFile::ReadOwner | QFile::WriteOwner);
        QCOMPARE(RunAndWait(f.fileName(), 0), EACCES - 2147221504);
    }

    void programThatEndsAtOnceCostsOnePoll()
    {
        int pumped = 0;
        QTimer pump;
        connect(&pump, &QTimer::timeout, [&] { ++pumped; });
        pump.start(0);
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(RunAndWait(QStringLiteral("/bin/sh -c \"exit 3\""), 0), 3);
        QVERIFY(clock.elapsed() >= 100);
        QVERIFY(pumped >= 1);
    }

    // Every window style, and none, runs the program alike.
    void windowStyles_data()
    {
        QTest::addColumn<int>("given");
        for (const int style : {-1, 0, 6, 7})
            QTest::addRow("%d", style) << style;
    }
    void windowStyles()
    {
        QFETCH(int, given);
        QCOMPARE(RunAndWait(QStringLiteral("/bin/true"), given), 0);
        QCOMPARE(RunAndWait(QStringLiteral("/bin/false"), given), 1);
        QCOMPARE(RunAndWait(QStringLiteral("/bin/true")), 0);
    }

    void commandLineSplitting_data()
    {
        QTest::addColumn<QString>("line");
        QTest::addColumn<QStringList>("arguments");
        QTest::newRow("export") << "\"/tmp/nconvert.exe\"  -out tiff  -o \"/home/a b/page one.tiff\" \"/tmp/tempscan.bmp\""
                                << QStringList{"/tmp/nconvert.exe", "-out", "tiff", "-o", "/home/a b/page one.tiff", "/tmp/tempscan.bmp"};
        QTest::newRow("png spacing") << "\"c\"  -out png   -o \"o\" \"i\"" << QStringList{"c", "-out", "png", "-o", "o", "i"};
        QTest::newRow("escaped quote") << "a \\\"b\\\" \"c\\\\\"" << QStringList{"a", "\"b\"", "c\\"};
        QTest::newRow("backslashes kept") << "a\\\\b c\\d" << QStringList{"a\\\\b", "c\\d"};
        QTest::newRow("empty quoted") << "x \"\"" << QStringList{"x", ""};
    }
    void commandLineSplitting()
    {
        QFETCH(QString, line);
        QFETCH(QStringList, arguments);
        QCOMPARE(splitCommandLine(line), arguments);
    }

    void quotedPathWithSpacesRuns()
    {
        QTemporaryDir dir(QDir::tempPath() + QStringLiteral("/with space XXXXXX"));
        const QString script = dir.filePath(QStringLiteral("my tool"));
        QFile f(script);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("#!/bin/sh\n[ \"$1\" = \"two words\" ] && exit 7\nexit 1\n");
        f.close();
        f.setPermissions(QFile::ReadOwner | QFile::ExeOwner);
        QCOMPARE(RunAndWait(QLatin1Char('"') + script + QStringLiteral("\" \"two words\""), 0), 7);
    }

    // Clicks and timers are handled between polls while the program runs.
    void eventsRunDuringTheWait()
    {
        int fired = 0;
        QTimer::singleShot(50, [&] { ++fired; });
        QTimer::singleShot(150, [&] { ++fired; });
        QCOMPARE(RunAndWait(QStringLiteral("/bin/sh -c \"sleep 0.5\""), 0), 0);
        QCOMPARE(fired, 2);
    }

    void standardErrorIsCollected()
    {
        QByteArray said;
        QCOMPARE(RunAndWait(QStringLiteral("/bin/sh -c \"echo cannot write >&2; exit 2\""), 0, &said), 2);
        QCOMPARE(said, QByteArray("cannot write\n"));
    }
};

QTEST_MAIN(TestRunAndWait)
#include "test_run_and_wait.moc"
