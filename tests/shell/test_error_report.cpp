// The error report and the way a guarded handler carries on after a failure.
#include "common/RecordingDesktop.h"
#include "shell/ErrorReport.h"
#include "shell/Main.h"

#include "BuildConfig.h"

#include <QTest>
#include <stdexcept>

using namespace orvane;

class TestErrorReport : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void reportTextHasFourLines()
    {
        const QString text = errorReportText(QStringLiteral("File not found"),
            locationLabel(QStringLiteral("Form1"), QStringLiteral("Form_Load")), 134);
        QCOMPARE(text,
            QStringLiteral("File not found\n"
                           "in Orvane_Capture_Desk2021/08/31.Form1.Form_Load at line 134\n"
                           "\n"
                           "Please email screenshot of this message to " ORVANE_SUPPORT_EMAIL));
    }

    void multiLineDescriptionComesFirst()
    {
        const QStringList lines = errorReportText(QStringLiteral("first\nsecond"), QStringLiteral("L"), 100)
                                      .split(QLatin1Char('\n'));
        QCOMPARE(lines.size(), 5);
        QCOMPARE(lines[2], QStringLiteral("in L at line 100"));
        QVERIFY(lines[3].isEmpty());
    }

    void reportIsWarningTitledApplicationError()
    {
        test::RecordingDesktop d;
        Guard g(QStringLiteral("Form2"), QStringLiteral("PushButton1_Click"));
        g.step(122, [] { raiseError(5, QStringLiteral("Cannot save the image. GDI+ Error:7")); });
        QCOMPARE(d.messages.size(), 1);
        QCOMPARE(d.messages[0].title, QStringLiteral("Application Error"));
        QCOMPARE(d.messages[0].icon, MessageIcon::Warning);
        QVERIFY(d.messages[0].text.startsWith(
            QStringLiteral("Cannot save the image. GDI+ Error:7\nin "
                           "Orvane_Capture_Desk2021/08/31.Form2.PushButton1_Click at line 122\n")));
    }

    // After a failing action the next step runs; two failures give two
    // reports, each with its own line.
    void failingActionsResumeWithNextStep()
    {
        test::RecordingDesktop d;
        QStringList ran;
        Guard g(QStringLiteral("Form1"), QStringLiteral("Form_Load"));
        g.step(100, [&] {
            ran << "100";
            throw std::runtime_error("first");
        });
        g.step(102, [&] { ran << "102"; });
        g.step(104, [&] {
            ran << "104";
            raiseErrno(QStringLiteral("/x"), ENOSPC);
        });
        g.step(106, [&] { ran << "106"; });
        QCOMPARE(ran, (QStringList{"100", "102", "104", "106"}));
        QCOMPARE(g.reports(), 2);
        QVERIFY(d.messages[0].text.contains(QStringLiteral("first\nin ")));
        QVERIFY(d.messages[0].text.contains(QStringLiteral(" at line 100\n")));
        QVERIFY(d.messages[1].text.startsWith(QStringLiteral("/x: No space left on device\n")));
        QVERIFY(d.messages[1].text.contains(QStringLiteral(" at line 104\n")));
    }

    // A test that fails runs the branch it guards and skips the alternative.
    void failingTestTakesGuardedBranch()
    {
        test::RecordingDesktop d;
        Guard g(QStringLiteral("Form1"), QStringLiteral("Form_Load"));
        QString branch;
        if (g.test(134, []() -> bool { throw AppError(48, QStringLiteral("EZTW32.dll: cannot open")); }))
            branch = QStringLiteral("guarded");
        else
            branch = QStringLiteral("alternative");
        QCOMPARE(branch, QStringLiteral("guarded"));
        QCOMPARE(d.messages.size(), 1);
        QVERIFY(d.messages[0].text.startsWith(QStringLiteral("EZTW32.dll: cannot open\n")));

        // Without a failure the test's own answer decides.
        QVERIFY(!g.test(136, [] { return false; }));
        QCOMPARE(d.messages.size(), 1);
    }

    // A failure inside a called routine abandons the rest of that routine and
    // is reported with the caller's label and the calling step's line.
    void failureInsideRoutineAbandonsIt()
    {
        test::RecordingDesktop d;
        QStringList ran;
        auto routine = [&] {
            ran << "routine start";
            raiseError(5, QStringLiteral("inner"));
            ran << "routine rest";
        };
        Guard g(QStringLiteral("Form2"), QStringLiteral("PushButton3_Click"));
        g.step(122, routine);
        g.step(124, [&] { ran << "124"; });
        QCOMPARE(ran, (QStringList{"routine start", "124"}));
        QVERIFY(d.messages[0].text.startsWith(
            QStringLiteral("inner\nin Orvane_Capture_Desk2021/08/31.Form2.PushButton3_Click at line 122\n")));
    }

    void outOfMemoryIsDescribed()
    {
        test::RecordingDesktop d;
        Guard g(QStringLiteral("Form1"), QStringLiteral("Form_Load"));
        g.step(100, [] { throw std::bad_alloc(); });
        QVERIFY(d.messages[0].text.startsWith(QStringLiteral("Out of memory\n")));
    }

    void applicationTitleIsCutBeforeLastSpace_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("title");
        QTest::newRow("product") << "Orvane Capture Desk"
                                 << "Orvane Capture";
        QTest::newRow("short is cut too") << "Two Words"
                                          << "Two";
        QTest::newRow("long is cut again") << "Alpha Beta Gamma Delta Epsilon Zeta Eta Theta Iota"
                                           << "Alpha Beta Gamma Delta Epsilon Zeta Eta";
        QTest::newRow("no space") << "Single"
                                  << "";
    }
    void applicationTitleIsCutBeforeLastSpace()
    {
        QFETCH(QString, name);
        QFETCH(QString, title);
        QCOMPARE(applicationTitleFrom(name), title);
    }

    void setApplicationTitleGivesOrvaneCapture()
    {
        SetApplicationTitle();
        QCOMPARE(applicationTitle(), QStringLiteral("Orvane Capture"));
    }
};

QTEST_MAIN(TestErrorReport)
#include "test_error_report.moc"
