// Starting a program and waiting for it: exit codes, start failures, the
// command line's quoting, and the windows kept alive meanwhile.
#include "common/TestFiles.h"
#include "convert/Shell32.h"
#include "shell/FileIO.h"

#include <QElapsedTimer>
#include <QFile>
#include <QLoggingCategory>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <fcntl.h>
#include <limits>
#include <unistd.h>

using namespace orvane;

namespace {

void writeScript(const QString& path, const QByteArray& body)
{
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly) || f.write("#!/bin/sh\n" + body) < 0)
        qFatal("cannot write %s", qPrintable(path));
    f.close();
    f.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

// What the runner traced while `run` ran, with its trace turned on.
template <class F> QStringList traced(F run)
{
    static QStringList seen;
    seen.clear();
    const QtMessageHandler previous
        = qInstallMessageHandler([](QtMsgType, const QMessageLogContext& context, const QString& text) {
              if (QByteArray(context.category) == "orvane.convert")
                  seen << text;
          });
    QLoggingCategory::setFilterRules(QStringLiteral("orvane.convert.debug=true"));
    run();
    QLoggingCategory::setFilterRules(QString());
    qInstallMessageHandler(previous);
    return seen;
}

} // namespace

class TestRunAndWait : public QObject {
    Q_OBJECT
private Q_SLOTS:
    // The runner's trace is silent unless asked for, and then names the
    // command line and how the program ended.
    void traceOnlyWhenAskedFor()
    {
        static int silent = 0;
        silent = 0;
        const QtMessageHandler previous
            = qInstallMessageHandler([](QtMsgType, const QMessageLogContext& context, const QString&) {
                  if (QByteArray(context.category) == "orvane.convert")
                      ++silent;
              });
        RunAndWait(QStringLiteral("/bin/sh -c \"exit 4\""), 0);
        qInstallMessageHandler(previous);
        QCOMPARE(silent, 0);
        const QStringList seen = traced([] { RunAndWait(QStringLiteral("/bin/sh -c \"exit 4\""), 0); });
        QCOMPARE(seen.size(), 2);
        QVERIFY2(seen[0].contains(QStringLiteral("exit 4")), qPrintable(seen[0]));
        QVERIFY2(seen[1].endsWith(QStringLiteral("ended with 4")), qPrintable(seen[1]));
    }

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

    // A start uses the window style as given from 0 to 6 and 6 for any
    // other, or none; the program runs alike under each, and the trace of
    // the start names the style it used.
    void windowStyles_data()
    {
        QTest::addColumn<int>("given");
        QTest::addColumn<int>("used");
        for (int style = 0; style <= 6; ++style)
            QTest::addRow("%d", style) << style << style;
        for (const int style : {-1, 7, 100, std::numeric_limits<int>::min()})
            QTest::addRow("%d", style) << style << 6;
    }
    void windowStyles()
    {
        QFETCH(int, given);
        QFETCH(int, used);
        QCOMPARE(windowStyleFor(given), used);
        const QStringList seen
            = traced([&] { QCOMPARE(RunAndWait(QStringLiteral("/bin/sh -c \"exit 5\""), given), 5); });
        QVERIFY(!seen.isEmpty());
        QVERIFY2(
            seen.first().contains(QStringLiteral("window style %1 ->").arg(used)), qPrintable(seen.first()));
    }
    void windowStyleOmitted()
    {
        QCOMPARE(windowStyleFor(std::nullopt), 6);
        const QStringList seen = traced([] { QCOMPARE(RunAndWait(QStringLiteral("/bin/true")), 0); });
        QVERIFY(!seen.isEmpty());
        QVERIFY2(seen.first().contains(QStringLiteral("window style 6 ->")), qPrintable(seen.first()));
    }

    void commandLineSplitting_data()
    {
        QTest::addColumn<QString>("line");
        QTest::addColumn<QStringList>("arguments");
        QTest::newRow("export")
            << "\"/tmp/nconvert.exe\"  -out tiff  -o \"/home/a b/page one.tiff\" \"/tmp/tempscan.bmp\""
            << QStringList{
                   "/tmp/nconvert.exe", "-out", "tiff", "-o", "/home/a b/page one.tiff", "/tmp/tempscan.bmp"};
        QTest::newRow("png spacing") << "\"c\"  -out png   -o \"o\" \"i\""
                                     << QStringList{"c", "-out", "png", "-o", "o", "i"};
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

    // The splitter is the inverse of the quoting, for every name a file may
    // have here: quotes, backslashes (also last, also before a quote),
    // leading dashes, white space, non-ASCII.
    void quotingIsUndoneBySplitting_data()
    {
        QTest::addColumn<QString>("argument");
        const QStringList names{"plain", "", " ", "two words", "my \"best\" scan.png", "trailing\\",
            "two trailing\\\\", "\\\"", "a\\\"b", "a\\\\\"b", "\"", "\"\"", "\"\"\"", "\"quoted\"", "-o",
            "--out=x", "-", "tab\there", "new\nline", "/home/a b/ünïcødé €.tiff", "日本語の名前.png",
            "emoji 📷.png", "a\\b\\c", "\\\\server\\share", "ends in quote\"", "\\\"\\\"", "' single '",
            "$HOME `x` %TEMP%"};
        for (const QString& n : names)
            QTest::addRow("%s", qPrintable(n.isEmpty() ? QStringLiteral("(empty)") : n)) << n;
    }
    void quotingIsUndoneBySplitting()
    {
        QFETCH(QString, argument);
        QCOMPARE(splitCommandLine(quoteArgument(argument)), QStringList{argument});
        const QString line = quoteArgument(QStringLiteral("/x/nconvert.exe"))
            + QStringLiteral("  -out png   -o ") + quoteArgument(argument) + QLatin1Char(' ')
            + quoteArgument(argument + QStringLiteral(".bmp"));
        QCOMPARE(splitCommandLine(line),
            (QStringList{
                "/x/nconvert.exe", "-out", "png", "-o", argument, argument + QStringLiteral(".bmp")}));
    }
    void quotingOfOrdinaryPathsIsPlain()
    {
        QCOMPARE(quoteArgument(QStringLiteral("/tmp/a b.png")), QStringLiteral("\"/tmp/a b.png\""));
    }

    // Some thousands of generated names, made mostly of the characters
    // that matter to the splitter, each alone and all on one line.
    void generatedNamesSurviveTheRoundTrip()
    {
        QRandomGenerator random(20211);
        const QString alphabet = QStringLiteral("\"\\ \t-ab/.\u00e9\u20ac\u65e5");
        QStringList all;
        QString line;
        for (int i = 0; i < 4000; ++i) {
            QString name;
            const int length = int(random.bounded(12));
            for (int k = 0; k < length; ++k)
                name += random.bounded(8) == 0 ? QChar(char16_t(0x20 + random.bounded(0xd7ff - 0x20)))
                                               : alphabet[int(random.bounded(alphabet.size()))];
            QCOMPARE(splitCommandLine(quoteArgument(name)), QStringList{name});
            all << name;
            line += quoteArgument(name) + QLatin1Char(' ');
        }
        QCOMPARE(splitCommandLine(line), all);
    }

    // What the program receives is byte for byte the names given.
    void startedProgramGetsTheExactArguments()
    {
        QTemporaryDir dir;
        const QString script = dir.filePath(QStringLiteral("echo args"));
        const QString out = dir.filePath(QStringLiteral("out"));
        writeScript(script, "for a in \"$@\"; do printf '%s\\0' \"$a\"; done > \"$0.out\"\n");
        const QStringList names{"my \"best\" scan.png", "trailing\\", "-o", "\\\"", "ünï €", "tab\tx", ""};
        QString line = quoteArgument(script);
        QByteArray expected;
        for (const QString& n : names) {
            line += QLatin1Char(' ') + quoteArgument(n);
            expected += n.toUtf8() + '\0';
        }
        QCOMPARE(RunAndWait(line, 0), 0);
        QCOMPARE(test::contents(script + QStringLiteral(".out")), expected);
    }

    // Started from the open file that was checked: a program swapped in at
    // the same path after the check is not the one that runs.
    void startedFromTheCheckedDescriptor()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("nconvert.exe"));
        const QString marker = dir.filePath(QStringLiteral("ran"));
        writeScript(path, "echo checked > '" + QFile::encodeName(marker) + "'\n");
        const UniqueFd checked(::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC));
        QVERIFY(checked);
        const QString swapped = dir.filePath(QStringLiteral("swapped"));
        writeScript(swapped, "echo swapped > '" + QFile::encodeName(marker) + "'\n");
        QVERIFY(::rename(QFile::encodeName(swapped).constData(), QFile::encodeName(path).constData()) == 0);
        QCOMPARE(RunAndWait(quoteArgument(path) + QStringLiteral(" -x"), 0, {.program = checked.get()}), 0);
        QCOMPARE(test::contents(marker), QByteArray("checked\n"));
        // The descriptor stays the caller's, and close-on-exec as it was.
        QVERIFY(::fcntl(checked.get(), F_GETFD) & FD_CLOEXEC);
        // A descriptor that is not open, or a standard stream, starts nothing.
        const int closed = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        QVERIFY(closed > 2);
        ::close(closed);
        QCOMPARE(RunAndWait(quoteArgument(path), 0, {.program = closed}), EBADF + startErrorBase);
        QCOMPARE(RunAndWait(quoteArgument(path), 0, {.program = 2}), EBADF + startErrorBase);
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
        QCOMPARE(RunAndWait(QStringLiteral("/bin/sh -c \"echo cannot write >&2; exit 2\""), 0,
                     {.errorOutput = &said}),
            2);
        QCOMPARE(said, QByteArray("cannot write\n"));
    }
};

QTEST_MAIN(TestRunAndWait)
#include "test_run_and_wait.moc"
