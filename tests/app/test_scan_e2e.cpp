// "Select Scanner" and "Scan Image" with the real scanner library over
// SANE's test backend, playing the user in the library's dialogs. Every case
// runs in a child process of its own (SANE reads its configuration once per
// process), as root or as nobody.
#include "app/Form1.h"
#include "common/ChildMain.h"
#include "common/RecordingDesktop.h"
#include "common/TestFiles.h"
#include "common/Unprivileged.h"
#include "scan/ScanCommands.h"
#include "shell/Globals.h"
#include "shell/PictureBox.h"
#include "viewer/Form2.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <cstdio>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace orvane;

namespace {

const QString scanFailed
    = QStringLiteral("Scan failed.  (This may happen if the user canceled the scan dialog.)");

// The virtual scanner: one colour device up to 300 x 300 mm, the case's
// own lines after these.
const QStringList baseConfig{"number_of_devices 1", "mode Color", "depth 8", "resolution_min 25.0",
    "resolution_max 600.0", "resolution_quant 1.0", "resolution 50.0", "test-picture \"Color pattern\"",
    "geometry_min 0.0", "geometry_max 300.0", "geometry_quant 1.0", "tl_x 0.0", "tl_y 0.0", "br_x 300.0",
    "br_y 300.0"};

struct ChildReport {
    int exitCode = -1;
    QStringList lines;
    QStringList with(const QString& prefix) const
    {
        QStringList out;
        for (const QString& l : lines)
            if (l.startsWith(prefix + QLatin1Char(' ')))
                out << l.mid(prefix.size() + 1);
        return out;
    }
};

} // namespace

class TestScanE2E : public QObject {
    Q_OBJECT
    QTemporaryDir work_;
    int cases_ = 0;

    // Runs one case in a child: a fresh application folder holding the real
    // library and its device search helper, a SANE configuration with
    // `extra` lines.
    // `fault`: the SANE status the device ends its scan with at the first
    // read (the tests' backend over the test backend's device), if any.
    ChildReport run(const QString& action, const QStringList& extra = {}, bool asNobody = false,
        const QStringList& childEnv = {}, const QString& fault = QString())
    {
        const QString dir = work_.filePath(QStringLiteral("case%1").arg(++cases_));
        test::writeSaneConfig(dir + QStringLiteral("/sane.d"), baseConfig + extra);
        if (!fault.isEmpty()) {
            QFile::remove(dir + QStringLiteral("/sane.d/dll.d/test"));
            test::writeFile(dir + QStringLiteral("/sane.d/dll.d/devicefault"), "devicefault\n");
            test::writeFile(
                dir + QStringLiteral("/sane.d/devicefault.conf"), "status " + fault.toLatin1() + '\n');
        }
        const QString app = dir + QStringLiteral("/app");
        QDir().mkpath(app);
        QFile::copy(QStringLiteral(EZTW32_LIBRARY), app + QStringLiteral("/EZTW32.dll"));
        QFile::copy(QStringLiteral(EZTW32_DEVICES_HELPER), app + QStringLiteral("/eztw32-devices"));
        QFile::copy(QStringLiteral(EZTW32_DRIVER_HOST), app + QStringLiteral("/eztw32-driver"));
        // The child returns from main while the library's SANE thread may
        // still close the device: what is in flight then is no leak of the
        // case (the program itself ends with _exit).
        const QString asan = qEnvironmentVariable("ASAN_OPTIONS");
        const QStringList env{QStringLiteral("SANE_CONFIG_DIR=") + dir + QStringLiteral("/sane.d"),
            QStringLiteral("QT_QPA_PLATFORM=offscreen"), QStringLiteral("LC_ALL=C"),
            QStringLiteral("ASAN_OPTIONS=") + asan + (asan.isEmpty() ? "" : ":")
                + QStringLiteral("detect_leaks=0"),
            QStringLiteral("LD_LIBRARY_PATH=") + QStringLiteral(EZTW32_TEST_BACKENDS)
                + (qEnvironmentVariableIsEmpty("LD_LIBRARY_PATH")
                        ? QString()
                        : QLatin1Char(':') + qEnvironmentVariable("LD_LIBRARY_PATH"))};
        ChildReport r;
        QByteArray output;
        if (asNobody) {
            test::openPathFor(app);
            QFile::setPermissions(app,
                QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadOther | QFile::ExeOther);
            const test::ChildResult c = test::runAsNobody(QStringList{action, app} + childEnv, env);
            if (!c.ran)
                QTest::qSkip(qPrintable(c.whyNot), __FILE__, __LINE__);
            r.exitCode = c.exitCode;
            output = c.output;
        } else {
            QProcess p;
            QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
            for (const QString& kv : env)
                e.insert(kv.section(QLatin1Char('='), 0, 0), kv.section(QLatin1Char('='), 1));
            // What the library remembers (the device last scanned with) stays
            // with the case.
            e.insert(QStringLiteral("XDG_CONFIG_HOME"), dir + QStringLiteral("/config"));
            p.setProcessEnvironment(e);
            p.setProcessChannelMode(QProcess::ForwardedErrorChannel);
            p.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--child"), action, app});
            if (p.waitForFinished(120000))
                r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
            output = p.readAllStandardOutput();
        }
        for (const QByteArray& line : output.split('\n'))
            if (!line.isEmpty())
                r.lines << QString::fromUtf8(line);
        return r;
    }

private Q_SLOTS:
    // A scan lands in the viewer at its own size at the top-left corner,
    // the scan file is gone, the main window hidden; a second scan after
    // "< Back" shows the new picture, again from the top-left corner.
    void scanShowsThePictureAndASecondScanReplacesIt()
    {
        const ChildReport r = run(QStringLiteral("scan-twice"));
        QCOMPARE(r.exitCode, 0);
        QCOMPARE(r.with(QStringLiteral("message")), QStringList());
        const QStringList shown = r.with(QStringLiteral("shown"));
        QCOMPARE(shown.size(), 2);
        // "<width>x<height> at <x>,<y> main:<visible> viewer:<visible> file:<exists>"
        for (const QString& s : shown) {
            QVERIFY2(s.contains(QStringLiteral(" at 0,0 main:hidden viewer:shown file:gone")), qPrintable(s));
            QVERIFY2(s.contains(QStringLiteral("same-image:yes")), qPrintable(s));
        }
        QVERIFY2(shown[0].section(QLatin1Char(' '), 0, 0) != shown[1].section(QLatin1Char(' '), 0, 0),
            qPrintable(shown.join(QLatin1Char('|'))));
        QCOMPARE(r.with(QStringLiteral("scrolled")), QStringList{QStringLiteral("yes")});
    }

    void selectScannerThenScan()
    {
        const ChildReport r = run(QStringLiteral("select-and-scan"));
        QCOMPARE(r.exitCode, 0);
        QCOMPARE(r.with(QStringLiteral("message")), QStringList());
        QCOMPARE(r.with(QStringLiteral("shown")).size(), 1);
    }

    void cancelGivesMinus1AndKeepsThePicture()
    {
        const ChildReport r = run(QStringLiteral("cancel"));
        QCOMPARE(r.exitCode, 0);
        QCOMPARE(r.with(QStringLiteral("message")),
            QStringList{QStringLiteral("Scanner Interface Error|") + scanFailed});
        QCOMPARE(r.with(QStringLiteral("library-message")), QStringList());
        QCOMPARE(r.with(QStringLiteral("kept")), QStringList{QStringLiteral("yes")});
    }

    void faultStatusesGiveMinus1_data()
    {
        QTest::addColumn<QString>("status");
        QTest::newRow("jammed") << "SANE_STATUS_JAMMED";
        QTest::newRow("out of paper") << "SANE_STATUS_NO_DOCS";
        QTest::newRow("busy") << "SANE_STATUS_DEVICE_BUSY";
        QTest::newRow("I/O error") << "SANE_STATUS_IO_ERROR";
    }
    // The library's own message first, then the -1 message; the picture
    // kept, and the next command still works.
    void faultStatusesGiveMinus1()
    {
        QFETCH(QString, status);
        const ChildReport r = run(QStringLiteral("fault"), {}, false, {}, status);
        QCOMPARE(r.exitCode, 0);
        QCOMPARE(r.with(QStringLiteral("library-message")).size(), 1);
        QCOMPARE(r.with(QStringLiteral("message")),
            QStringList{QStringLiteral("Scanner Interface Error|") + scanFailed});
        QCOMPARE(r.with(QStringLiteral("kept")), QStringList{QStringLiteral("yes")});
        QCOMPARE(r.with(QStringLiteral("files")),
            QStringList{QStringLiteral("eztw32-devices,eztw32-driver,EZTW32.dll")});
    }

    // Fewer lines than announced: the scan ends early, no half picture.
    void scanThatEndsEarly()
    {
        const ChildReport r = run(QStringLiteral("fault"),
            {QStringLiteral("read-limit true"), QStringLiteral("read-limit-size 1"),
                QStringLiteral("ppl-loss 7")});
        QCOMPARE(r.exitCode, 0);
        QCOMPARE(r.with(QStringLiteral("files")),
            QStringList{QStringLiteral("eztw32-devices,eztw32-driver,EZTW32.dll")});
    }

    // Installed system-wide, the application folder is not the user's to
    // write: the scan file goes to a folder of the user's own, made private,
    // and is gone from there after the scan. The application folder stays
    // as it was.
    void unwritableApplicationFolderScansIntoTheUsersFolder_data()
    {
        QTest::addColumn<bool>("runtime");
        QTest::newRow("XDG_RUNTIME_DIR") << true;
        QTest::newRow("XDG_CACHE_HOME") << false;
    }
    void unwritableApplicationFolderScansIntoTheUsersFolder()
    {
        QFETCH(bool, runtime);
        const QString base = work_.filePath(QStringLiteral("user%1").arg(cases_ + 1));
        QVERIFY(QDir().mkpath(base));
        const passwd* nobody = ::getpwnam("nobody");
        if (!nobody || ::geteuid() != 0)
            QSKIP("not running as root, so no folder can be given to nobody");
        QVERIFY(::chown(QFile::encodeName(base).constData(), nobody->pw_uid, nobody->pw_gid) == 0);
        QFile::setPermissions(base, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        test::openPathFor(base);
        const QString variable
            = runtime ? QStringLiteral("XDG_RUNTIME_DIR") : QStringLiteral("XDG_CACHE_HOME");
        // Without a runtime folder, the cache folder is the one left.
        QStringList childEnv{variable + QLatin1Char('=') + base};
        if (!runtime)
            childEnv << QStringLiteral("XDG_RUNTIME_DIR=");
        const ChildReport r = run(QStringLiteral("scan-once"), {}, true, childEnv);
        QCOMPARE(r.exitCode, 0);
        QCOMPARE(r.with(QStringLiteral("message")), QStringList());
        QCOMPARE(r.with(QStringLiteral("shown")).size(), 1);
        QCOMPARE(r.with(QStringLiteral("files")),
            QStringList{QStringLiteral("eztw32-devices,eztw32-driver,EZTW32.dll")});
        const QString own = base + QStringLiteral("/orvane-capture-desk");
        struct stat st { };
        QVERIFY(::lstat(QFile::encodeName(own).constData(), &st) == 0);
        QVERIFY(S_ISDIR(st.st_mode));
        QCOMPARE(st.st_uid, nobody->pw_uid);
        QCOMPARE(st.st_mode & 07777, 0700u);
        QCOMPARE(QDir(own).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot), QStringList());
    }

    // Only when neither the application folder nor a folder of the user's
    // own can be written does the scan end with the -2 message; a runtime
    // folder that others can write is not used, nor a cache folder others
    // can write where another user took the program's folder. The message
    // names each folder and what is wrong with it.
    void noWritableFolderGivesMinus2()
    {
        const QString shared = work_.filePath(QStringLiteral("shared-runtime"));
        const QString cache = work_.filePath(QStringLiteral("shared-cache"));
        for (const QString& folder : {shared, cache}) {
            QVERIFY(QDir().mkpath(folder));
            QVERIFY(::chmod(QFile::encodeName(folder).constData(), 0777) == 0);
        }
        const QString taken = cache + QStringLiteral("/orvane-capture-desk");
        QVERIFY(QDir().mkpath(taken));
        QVERIFY(::chmod(QFile::encodeName(taken).constData(), 0700) == 0);
        test::openPathFor(cache);
        const ChildReport r = run(QStringLiteral("scan-once"), {}, true,
            {QStringLiteral("XDG_RUNTIME_DIR=") + shared, QStringLiteral("XDG_CACHE_HOME=") + cache});
        QCOMPARE(r.exitCode, 0);
        const QString app = work_.filePath(QStringLiteral("case%1/app").arg(cases_));
        QCOMPARE(r.with(QStringLiteral("message")),
            QStringList{QStringLiteral("Scanner Interface Error|Temporary file access error.  This can be "
                                       "caused when running on a system with limited access rights.  Please "
                                       "enable admin rights and try again.\\n\\n"
                                       "No folder of this user's alone can hold the scan:\\n")
                + app + QStringLiteral(": belongs to another user (uid 0)\\nXDG_RUNTIME_DIR ") + shared
                + QStringLiteral(": belongs to another user (uid 0)\\n") + taken
                + QStringLiteral(": belongs to another user (uid 0)")});
        QCOMPARE(
            QDir(shared).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot), QStringList());
    }
};

// ---------------------------------------------------------------------------
// The child: the program's own windows and commands, the user played by a
// timer that answers whatever modal dialog the library shows.

namespace {

void say(const QString& line)
{
    std::printf("%s\n", qPrintable(line));
    std::fflush(stdout);
}

struct User {
    bool cancel = false;
    int resolution = 0; // pick this resolution in the scan dialog, when offered
    QTimer timer;

    User()
    {
        QObject::connect(&timer, &QTimer::timeout, [this] { act(); });
        timer.start(10);
    }

    void act()
    {
        QWidget* w = QApplication::activeModalWidget();
        if (!w)
            return;
        const QString name = w->objectName();
        if (name == QLatin1String("scanDialog")) {
            if (resolution)
                if (auto* combo = w->findChild<QComboBox*>(QStringLiteral("resolutionCombo"))) {
                    const int at = combo->findData(double(resolution));
                    if (at >= 0)
                        combo->setCurrentIndex(at);
                }
            if (auto* b = w->findChild<QPushButton*>(
                    cancel ? QStringLiteral("cancelButton") : QStringLiteral("scanButton")))
                b->click();
        } else if (name == QLatin1String("sourceDialog")) {
            auto* select = w->findChild<QPushButton*>(QStringLiteral("selectButton"));
            if (select && select->isEnabled())
                select->click();
        } else if (name == QLatin1String("scannerMessage")) {
            say(QStringLiteral("library-message ") + static_cast<QMessageBox*>(w)->text());
            static_cast<QMessageBox*>(w)->accept();
        }
    }
};

void report(Form1& form)
{
    Form2* viewer = form.loadedViewer();
    if (!viewer || !viewer->isVisible())
        return;
    const QImage& picture = form.picBuffer->picture();
    say(QStringLiteral("shown %1x%2 at %3,%4 main:%5 viewer:%6 file:%7 same-image:%8")
            .arg(viewer->picScan->width())
            .arg(viewer->picScan->height())
            .arg(viewer->picScan->x())
            .arg(viewer->picScan->y())
            .arg(form.isVisible() ? "shown" : "hidden", viewer->isVisible() ? "shown" : "hidden",
                QFile::exists(globals().AppFolder + QStringLiteral("VBScanInterface.bmp")) ? "left" : "gone",
                viewer->picScan->picture().constBits() == picture.constBits()
                        && viewer->picScan->size() == picture.size()
                    ? "yes"
                    : "no"));
}

int child(const QStringList& args)
{
    const QString action = args.value(0);
    // Settings the case makes after the unprivileged start.
    for (const QString& kv : args.mid(2))
        qputenv(qPrintable(kv.section(QLatin1Char('='), 0, 0)), kv.section(QLatin1Char('='), 1).toUtf8());
    test::RecordingDesktop desktop;
    Form1 form(args.value(1));
    form.Form_Load();
    form.show();
    User user;
    QImage earlier(3, 3, QImage::Format_RGB32);
    earlier.fill(Qt::blue);
    form.picBuffer->setPicture(earlier);

    if (action == QLatin1String("scan-twice")) {
        user.resolution = 100;
        ScanImage(form);
        report(form);
        Form2* viewer = form.loadedViewer();
        if (viewer && viewer->HScroll1->isEnabled()) {
            viewer->HScroll1->setValue(viewer->HScroll1->maximum());
            viewer->VScroll1->setValue(viewer->VScroll1->maximum());
            say(QStringLiteral("scrolled ") + (viewer->picScan->pos() != QPoint(0, 0) ? "yes" : "no"));
        }
        if (viewer)
            viewer->PushButton2_Click();
        user.resolution = 50;
        ScanImage(form);
        report(form);
    } else if (action == QLatin1String("select-and-scan")) {
        SelectScanner(form);
        ScanImage(form);
        report(form);
    } else {
        user.cancel = action == QLatin1String("cancel");
        ScanImage(form);
        report(form);
        say(QStringLiteral("kept ")
            + (form.picBuffer->picture().cacheKey() == earlier.cacheKey() ? "yes" : "no"));
        if (action == QLatin1String("fault")) {
            // The next command still works: the library closed the device.
            user.cancel = true;
            ScanImage(form);
        }
    }
    say(QStringLiteral("files ")
        + QDir(args.value(1)).entryList(QDir::Files | QDir::Hidden).join(QLatin1Char(',')));
    for (const test::Message& m : desktop.messages)
        if (m.text != scanFailed || action != QLatin1String("fault") || &m == &desktop.messages.first())
            say(QStringLiteral("message ") + m.title + QLatin1Char('|')
                + QString(m.text).replace(QLatin1Char('\n'), QStringLiteral("\\n")));
    return 0;
}

} // namespace

ORVANE_TEST_MAIN_WITH_CHILD(QApplication, TestScanE2E, child)
#include "test_scan_e2e.moc"
