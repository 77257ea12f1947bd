// Start-up of the main window with real stand-in scanner libraries loaded
// through dlopen: library answering 0, answering 1, missing, lacking its
// export; the home-page draw; the window itself; the end of the program.
#include "app/Form1.h"
#include "common/RecordingDesktop.h"
#include "common/ScannerStub.h"
#include "replace/Replace.h"
#include "scan/Scanner.h"
#include "shell/Globals.h"
#include "shell/PictureBox.h"
#include "shell/PushButton.h"

#include "BuildConfig.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QTest>

using namespace orvane;

static const QString startupMessage = QStringLiteral(
    "Unfortunately, this program was unable to locate the DLL file necessary for scanner support.  "
    "Please ensure that a file called EZTW32.dll is located in the same directory as this project "
    "file, then restart the project.  Thanks!");

class TestStartup : public QObject {
    Q_OBJECT

    QTemporaryDir folder_;

    // A program folder holding the given stand-in as "EZTW32.dll".
    QString programFolder(const QString& stub)
    {
        test::installStub(folder_.path(), stub);
        return folder_.path();
    }

private Q_SLOTS:
    void cleanup() { test::resetScanner(); }

    void scannerAvailable()
    {
        test::RecordingDesktop d;
        Form1 form(programFolder(QStringLiteral("stub_available")));
        form.Form_Load();
        QVERIFY(d.messages.isEmpty());
        QVERIFY(globals().ScannerAvailable);
        QVERIFY(globals().ScannerLibraryHandle);
        QCOMPARE(globals().AppFolder, folder_.path() + QStringLiteral("/"));
        QCOMPARE(form.windowTitle(), QStringLiteral("Orvane Capture Desk"));
        QCOMPARE(globals().ApplicationTitle, QStringLiteral("Orvane Capture"));
    }

    void scannerServiceUnavailable()
    {
        test::RecordingDesktop d;
        Form1 form(programFolder(QStringLiteral("stub_unavailable")));
        form.Form_Load();
        QCOMPARE(d.messages.size(), 1);
        QCOMPARE(d.messages[0].text, startupMessage);
        QCOMPARE(d.messages[0].title, QStringLiteral("Orvane Capture"));
        QCOMPARE(d.messages[0].icon, MessageIcon::None);
        QVERIFY(!globals().ScannerAvailable);
    }

    void libraryMissingOrIncomplete_data()
    {
        QTest::addColumn<QString>("stub");
        QTest::addColumn<QString>("cause");
        QTest::newRow("no library") << QString() << "cannot open shared object file";
        QTest::newRow("no export") << "stub_no_export"
                                   << "undefined symbol: TWAIN_IsAvailable";
    }
    void libraryMissingOrIncomplete()
    {
        QFETCH(QString, stub);
        QFETCH(QString, cause);
        test::RecordingDesktop d;
        Form1 form(programFolder(stub));
        form.Form_Load();
        QCOMPARE(d.messages.size(), 2);
        QCOMPARE(d.messages[0].title, QStringLiteral("Application Error"));
        QVERIFY2(d.messages[0].text.contains(cause), qPrintable(d.messages[0].text));
        QVERIFY(d.messages[0].text.contains(
            QStringLiteral("\nin Orvane_Capture_Desk2021/08/31.Form1.Form_Load at line 134\n\n")));
        QCOMPARE(d.messages[1].text, startupMessage);
        QVERIFY(!globals().ScannerAvailable);
        // Start-up carried on past the failure.
        QCOMPARE(form.windowTitle(), QStringLiteral("Orvane Capture Desk"));
    }

    void programFolderGetsOneSlash()
    {
        test::RecordingDesktop d;
        Form1 form(programFolder(QStringLiteral("stub_available")) + QStringLiteral("/"));
        form.Form_Load();
        QCOMPARE(globals().AppFolder, folder_.path() + QStringLiteral("/"));
        QVERIFY(globals().ScannerAvailable);
    }

    // Only a draw of 7 (a fraction from 0.06 to just below 0.07) opens the
    // home page, through xdg-open, never watched.
    void homePageDraw_data()
    {
        QTest::addColumn<double>("fraction");
        QTest::addColumn<bool>("opens");
        QTest::newRow("1") << 0.0 << false;
        QTest::newRow("6") << 0.0599999 << false;
        QTest::newRow("7 low") << 0.06 << true;
        QTest::newRow("7 high") << 0.0699999 << true;
        QTest::newRow("8") << 0.07 << false;
        QTest::newRow("100") << 0.9999999 << false;
    }
    void homePageDraw()
    {
        QFETCH(double, fraction);
        QFETCH(bool, opens);
        test::RecordingDesktop d;
        d.fractions = {fraction};
        Form1 form(programFolder(QStringLiteral("stub_available")));
        form.Form_Load();
        if (opens)
            QCOMPARE(d.started,
                (QList<QStringList>{{QStringLiteral("xdg-open"), QStringLiteral(ORVANE_HOME_PAGE_URL)}}));
        else
            QVERIFY(d.started.isEmpty());
        QVERIFY(d.messages.isEmpty());
    }

    void homePageStartFailureIsReportedAtLine108()
    {
        test::RecordingDesktop d;
        d.fractions = {0.065};
        d.startFailure = QStringLiteral("xdg-open: No such file or directory");
        Form1 form(programFolder(QStringLiteral("stub_available")));
        form.Form_Load();
        QCOMPARE(d.messages.size(), 1);
        QVERIFY(d.messages[0].text.startsWith(QStringLiteral("xdg-open: No such file or directory\n")));
        QVERIFY(d.messages[0].text.contains(QStringLiteral(" at line 108\n")));
        QCOMPARE(form.windowTitle(), QStringLiteral("Orvane Capture Desk"));
        QVERIFY(globals().ScannerAvailable);
    }

    void mainWindowLayout()
    {
        test::RecordingDesktop d;
        Form1 form(programFolder(QStringLiteral("stub_available")));
        form.Form_Load();
        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form, 60000));
        QCOMPARE(form.size(), QSize(536, 110));
        QCOMPARE(form.minimumSize(), form.maximumSize());
        QVERIFY(!(form.windowFlags() & Qt::WindowMaximizeButtonHint));
        QCOMPARE(form.palette().color(QPalette::Window), QColor(Qt::white));
        // The captions as designed; the access keys (H, S, I) only
        // underline a letter.
        QCOMPARE(form.PushButton7->text(), QStringLiteral("&Help"));
        QCOMPARE(form.PushButton5->text(), QStringLiteral("&Select Scanner"));
        QCOMPARE(form.PushButton3->text(), QStringLiteral("Scan &Image"));
        QCOMPARE(form.PushButton7->geometry(), QRect(8, 8, 520, 27));
        QCOMPARE(form.PushButton5->geometry(), QRect(8, 42, 520, 27));
        QCOMPARE(form.PushButton3->geometry(), QRect(8, 76, 520, 27));
        // The text box and the picture buffer lie beyond the right edge.
        QVERIFY(form.Text1->geometry().left() >= form.width());
        QVERIFY(form.picBuffer->geometry().left() >= form.width());
        QTRY_COMPARE_WITH_TIMEOUT(QApplication::focusWidget(), static_cast<QWidget*>(form.Text1), 60000);
        QCOMPARE(form.PushButton3->font().family(), QStringLiteral("Arial"));
        QVERIFY(form.PushButton3->font().bold());
        QCOMPARE(form.PushButton3->font().pointSizeF(), 11.25);
    }

    void closingEndsTheProgramAndFreesTheLibrary()
    {
        test::RecordingDesktop d;
        Form1 form(programFolder(QStringLiteral("stub_available")));
        form.Form_Load();
        form.show();
        QVERIFY(globals().ScannerLibraryHandle);
        form.close();
        QCOMPARE(d.endCalls, 1);
        QVERIFY(!globals().ScannerLibraryHandle);
    }

    // What saves killed in an earlier run left in the temporary folder goes
    // at start; a save still running, links and other names stay.
    void startRemovesLeftoversOfKilledSaves()
    {
        QTemporaryDir temp;
        const bool hadTemp = qEnvironmentVariableIsSet("TEMP");
        const QByteArray oldTemp = qgetenv("TEMP");
        qputenv("TEMP", QFile::encodeName(temp.path()));
        const QStringList left{QStringLiteral(".page.jpg.orvane-AbC123"),
            QStringLiteral(".scan.bmp.orvane-x0Y9zZ"), QStringLiteral(".page.png.nconvert-Q1w2E3")};
        const QStringList kept{QStringLiteral("page.jpg"), QStringLiteral(".page.jpg.orvane-AbC12"),
            QStringLiteral(".orvane-AbC123"), QStringLiteral(".page.jpg.eztw32-AbC123")};
        for (const QString& name : left + kept) {
            QFile f(temp.filePath(name));
            QVERIFY(f.open(QIODevice::WriteOnly) && f.write("left") == 4);
        }
        QVERIFY(QFile::link(temp.filePath(QStringLiteral("page.jpg")),
            temp.filePath(QStringLiteral(".link.jpg.orvane-Link01"))));
        replace::Beside running;
        QCOMPARE(running.open(
                     QFile::encodeName(temp.filePath(QStringLiteral("other.jpg"))).constData(), ".orvane-"),
            0);
        test::RecordingDesktop d;
        Form1 form(programFolder(QStringLiteral("stub_available")));
        form.Form_Load();
        hadTemp ? qputenv("TEMP", oldTemp) : qunsetenv("TEMP");
        QStringList expected = kept;
        expected << QStringLiteral(".link.jpg.orvane-Link01")
                 << QFileInfo(QString::fromStdString(running.hiddenPath())).fileName();
        expected.sort();
        QStringList found
            = QDir(temp.path())
                  .entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
        found.sort();
        QCOMPARE(found, expected);
    }
};

QTEST_MAIN(TestStartup)
#include "test_startup.moc"
