// The TIFF and PNG exports on a machine shared with other users and with
// other copies of the program: another user's files in a shared temporary
// folder are never converted, run or in the way, and two copies exporting
// at the same moment each end with their own picture in their own file.
#include "app/Form1.h"
#include "common/ChildMain.h"
#include "common/FileGate.h"
#include "common/Pictures.h"
#include "common/RecordingDesktop.h"
#include "common/TestFiles.h"
#include "common/Unprivileged.h"
#include "scan/ScanCommands.h"
#include "shell/FileIO.h"
#include "shell/PictureBox.h"
#include "viewer/Form2.h"

#include <QApplication>
#include <QBuffer>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QImage>
#include <QImageReader>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <grp.h>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

using namespace orvane;

namespace {

void say(const QByteArray& line)
{
    std::printf("%s\n", line.constData());
    std::fflush(stdout);
}

// The picture the victim saves: flat 16 x 16 blocks, which JPEG keeps
// closely too.
QImage victimsPicture()
{
    QImage picture(160, 96, QImage::Format_RGB32);
    for (int y = 0; y < picture.height(); ++y)
        for (int x = 0; x < picture.width(); ++x) {
            const int block = (x / 16) * 7 + (y / 16) * 13;
            picture.setPixel(x, y, qRgb(20 + block * 37 % 200, 40 + block * 53 % 180, 60 + block * 29 % 160));
        }
    return picture;
}

// The child: one copy of the program that saves a picture of the given
// size as PNG or TIFF and says what it was told. While its export waits it
// says "waiting" at every tick of a 50 ms timer.
int attackedChild(const QStringList& args);

int child(const QStringList& args)
{
    if (args.value(0) == QLatin1String("attacked"))
        return attackedChild(args.mid(1));
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

// The victim of another user: one copy of the program, run as nobody, that
// saves its picture in one format or scans with the real scanner library
// over SANE's test backend. It says what it ended with.
int attackedChild(const QStringList& args)
{
    const QString action = args.value(0);
    qputenv("TEMP", args.value(2).toUtf8());
    test::RecordingDesktop desktop;
    Form1 main(args.value(1));
    if (action == QLatin1String("scan")) {
        main.Form_Load();
        main.show();
        // The user in the library's dialogs: "Scan" and "Select".
        QTimer user;
        QObject::connect(&user, &QTimer::timeout, [] {
            QWidget* w = QApplication::activeModalWidget();
            if (!w)
                return;
            for (const char* name : {"scanButton", "selectButton"})
                if (auto* b = w->findChild<QPushButton*>(QLatin1String(name)); b && b->isEnabled())
                    b->click();
            if (auto* box = qobject_cast<QMessageBox*>(w)) {
                say("library-message " + box->text().toUtf8());
                box->accept();
            }
        });
        user.start(10);
        ScanImage(main);
        user.stop();
        const QImage picture = main.picBuffer->picture().convertToFormat(QImage::Format_RGB32);
        bool allRed = !picture.isNull();
        for (int y = 0; allRed && y < picture.height(); ++y)
            for (int x = 0; allRed && x < picture.width(); ++x)
                allRed = picture.pixel(x, y) == qRgb(255, 0, 0);
        say("picture " + QByteArray::number(picture.width()) + 'x' + QByteArray::number(picture.height())
            + (picture.isNull() ? " none"
                    : allRed    ? " red"
                                : " own"));
    } else {
        Form2& view = main.viewer();
        main.picBuffer->setPicture(victimsPicture());
        view.show();
        desktop.saveAnswers = {args.value(3)};
        if (action == QLatin1String("jpg"))
            view.PushButton1_Click();
        else if (action == QLatin1String("bmp"))
            view.PushButton3_Click();
        else if (action == QLatin1String("tiff"))
            view.PushButton4_Click();
        else
            view.PushButton5_Click();
    }
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

// Another local user, neither nobody nor the one who runs the tests.
constexpr uid_t attackerUid = 2001;

// What the attacker puts at one name.
enum class Plant { Folder, File, Link, Fifo, Lock };

struct Planted {
    std::string path;
    Plant kind;
    std::string content; // a file's bytes; a link's target
};

// The attacker: a child process that becomes the other user, makes every
// planted thing, holds a lock on every lock file and folder it made, and
// keeps them until the test lets go. Paths are worked out before the fork,
// so the child only makes system calls.
class Attacker {
public:
    explicit Attacker(const std::vector<Planted>& plants)
    {
        int ready[2], hold[2];
        if (::pipe2(ready, O_CLOEXEC) != 0 || ::pipe2(hold, O_CLOEXEC) != 0)
            return;
        pid_ = ::fork();
        if (pid_ == 0) {
            ::close(ready[0]);
            ::close(hold[1]);
            if (::setgroups(0, nullptr) != 0 || ::setresgid(attackerUid, attackerUid, attackerUid) != 0
                || ::setresuid(attackerUid, attackerUid, attackerUid) != 0)
                ::_exit(2);
            ::umask(0);
            for (const Planted& p : plants) {
                int fd = -1;
                switch (p.kind) {
                case Plant::Folder:
                    if (::mkdir(p.path.c_str(), 0777) != 0)
                        ::_exit(3);
                    fd = ::open(p.path.c_str(), O_RDONLY | O_DIRECTORY);
                    break;
                case Plant::File:
                case Plant::Lock:
                    fd = ::open(p.path.c_str(), O_RDWR | O_CREAT | O_EXCL, 0777);
                    if (fd < 0
                        || ::write(fd, p.content.data(), p.content.size()) != ssize_t(p.content.size()))
                        ::_exit(4);
                    break;
                case Plant::Link:
                    if (::symlink(p.content.c_str(), p.path.c_str()) != 0)
                        ::_exit(5);
                    break;
                case Plant::Fifo:
                    if (::mkfifo(p.path.c_str(), 0666) != 0)
                        ::_exit(6);
                    break;
                }
                // Held for as long as the victim runs; never closed.
                if (fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) != 0)
                    ::_exit(7);
            }
            char c = 'r';
            if (::write(ready[1], &c, 1) != 1)
                ::_exit(8);
            while (::read(hold[0], &c, 1) != 0) { }
            ::_exit(0);
        }
        ::close(ready[1]);
        ::close(hold[0]);
        hold_ = hold[1];
        char c = 0;
        ready_ = pid_ > 0 && ::read(ready[0], &c, 1) == 1;
        ::close(ready[0]);
    }
    ~Attacker() { stop(); }
    bool ready() const { return ready_; }
    // Lets go of the locks and ends the process; its exit code.
    int stop()
    {
        if (hold_ >= 0)
            ::close(hold_);
        hold_ = -1;
        int status = 0;
        if (pid_ > 0 && ::waitpid(pid_, &status, 0) == pid_) {
            pid_ = -1;
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        return -1;
    }

private:
    pid_t pid_ = -1;
    int hold_ = -1;
    bool ready_ = false;
};

// What the planted thing at `p` is now: its kind, owner and content, to be
// compared before and after.
QByteArray stateOf(const Planted& p)
{
    struct stat st { };
    if (::lstat(p.path.c_str(), &st) != 0)
        return "gone";
    QByteArray state = QByteArray::number(st.st_mode, 8) + ' ' + QByteArray::number(st.st_uid) + ' '
        + QByteArray::number(qulonglong(st.st_ino));
    if (S_ISLNK(st.st_mode))
        state += " -> " + QFile::symLinkTarget(QString::fromStdString(p.path)).toUtf8();
    else if (S_ISREG(st.st_mode))
        state += ' ' + test::contents(QString::fromStdString(p.path));
    else if (S_ISDIR(st.st_mode))
        state += ' '
            + QDir(QString::fromStdString(p.path))
                  .entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot)
                  .join(QLatin1Char(','))
                  .toUtf8();
    return state;
}

const QStringList saneConfig{"number_of_devices 1", "mode Color", "depth 8", "resolution 50.0",
    "test-picture \"Color pattern\"", "tl_x 0.0", "tl_y 0.0", "br_x 40.0", "br_y 30.0"};

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
    // Two users without privileges share a sticky temporary folder, a
    // sticky folder the files are saved to, and the application folder.
    // The attacker has put folders, files, links or pipes at every name the
    // program uses or used there, and holds a lock on every lock path it
    // can reach. The victim's saves in every format and its scan all end
    // with the victim's own picture, and nothing of the attacker's is read,
    // followed, changed or removed.
    void anotherUserCannotBlockExportsOrScans_data()
    {
        QTest::addColumn<QString>("action");
        QTest::addColumn<int>("kind");
        QTest::addColumn<bool>("runtime");
        const std::pair<const char*, Plant> kinds[] = {{"folders", Plant::Folder}, {"files", Plant::File},
            {"links", Plant::Link}, {"pipes", Plant::Fifo}};
        for (const char* action : {"jpg", "bmp", "tiff", "png", "scan"}) {
            for (const auto& [name, kind] : kinds)
                QTest::addRow("%s, %s, no runtime folder", action, name) << action << int(kind) << false;
            QTest::addRow("%s, folders, runtime folder", action) << action << int(Plant::Folder) << true;
        }
    }
    void anotherUserCannotBlockExportsOrScans()
    {
        QFETCH(QString, action);
        QFETCH(int, kind);
        QFETCH(bool, runtime);
        const QString why = test::unprivilegedUnavailable();
        if (!why.isEmpty())
            QSKIP(qPrintable(why));
        const uid_t victim = test::nobodyUid();
        QVERIFY(victim != attackerUid && ::geteuid() != attackerUid);
        QTemporaryDir root(work_.filePath(QStringLiteral("attack-XXXXXX")));
        const QString shared = root.filePath(QStringLiteral("temp"));
        const QString out = root.filePath(QStringLiteral("out"));
        const QString app = root.filePath(QStringLiteral("app"));
        const QString trap = root.filePath(QStringLiteral("trap")); // the attacker's, where links lead
        for (const QString& folder : {shared, out, app, trap}) {
            QVERIFY(QDir().mkpath(folder));
            QVERIFY(::chmod(QFile::encodeName(folder).constData(), folder == trap ? 0777 : 01777) == 0);
        }
        QVERIFY(::chown(QFile::encodeName(trap).constData(), attackerUid, attackerUid) == 0);
        test::openPathFor(shared);
        const QString sane = root.filePath(QStringLiteral("sane.d"));
        test::writeSaneConfig(sane, saneConfig);
        test::openPathFor(sane + QStringLiteral("/dll.d/test"));
        for (const QString& f : {sane + QStringLiteral("/test.conf"), sane + QStringLiteral("/dll.d/test")})
            QFile::setPermissions(f, QFile::permissions(f) | QFile::ReadOther);
        // The library and its driver host, which every scan runs its
        // device in.
        QVERIFY(QFile::copy(QStringLiteral(EZTW32_LIBRARY), app + QStringLiteral("/EZTW32.dll")));
        QVERIFY(QFile::copy(QStringLiteral(EZTW32_DRIVER_HOST), app + QStringLiteral("/eztw32-driver")));
        for (const char* name : {"/EZTW32.dll", "/eztw32-driver"})
            QFile::setPermissions(app + QLatin1String(name),
                QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadOther | QFile::ExeOther);
        const QString extension = action == QLatin1String("scan") ? QStringLiteral("png") : action;
        const QString target = out + QStringLiteral("/mine.") + extension;

        const QByteArray red = redBmp();
        const QString victimId = QString::number(victim);
        const QByteArray planted = "#!/bin/sh\ntouch '" + QFile::encodeName(trap) + "/ran'\n";
        std::vector<Planted> plants;
        auto plant = [&](const QString& path, Plant as) {
            const QByteArray name = QFile::encodeName(QFileInfo(path).fileName());
            std::string content;
            if (as == Plant::Link)
                content = (QFile::encodeName(trap) + '/' + name).toStdString();
            else if (as == Plant::File)
                content = (name.endsWith(".bmp") ? red
                        : name == "nconvert.exe" ? planted
                                                 : "the attacker's " + name)
                              .toStdString();
            else if (as == Plant::Lock)
                content = "held";
            plants.push_back({QFile::encodeName(path).toStdString(), as, content});
        };
        const Plant as = Plant(kind);
        const QString fixed = shared + QStringLiteral("/orvane-capture-desk-") + victimId;
        for (const QString& name :
            {fixed, fixed + QStringLiteral("-AbC123"), shared + QStringLiteral("/orvane-capture-desk"),
                shared + QStringLiteral("/nconvert.exe"), shared + QStringLiteral("/tempscan.bmp"),
                shared + QStringLiteral("/VBScanInterface.bmp"), app + QStringLiteral("/VBScanInterface.bmp"),
                out + QStringLiteral("/.mine.") + extension + QStringLiteral(".orvane-AbC123"),
                out + QStringLiteral("/.mine.") + extension + QStringLiteral(".nconvert-AbC123")})
            plant(name, as);
        for (const QString& name :
            {shared + QStringLiteral("/nconvert.lock"), shared + QStringLiteral("/scan.lock"),
                app + QStringLiteral("/VBScanInterface.bmp.lock"), app + QStringLiteral("/scan.lock")})
            plant(name, Plant::Lock);
        if (as == Plant::Folder)
            for (const QString& folder : {fixed, fixed + QStringLiteral("-AbC123")})
                for (const char* name : {"/nconvert.lock", "/nconvert.exe", "/tempscan.bmp"})
                    plant(folder + QLatin1String(name),
                        name == std::string("/nconvert.lock") ? Plant::Lock : Plant::File);

        Attacker attacker(plants);
        QVERIFY(attacker.ready());
        QStringList before;
        for (const Planted& p : plants)
            before << QString::fromUtf8(stateOf(p));

        QStringList env{QStringLiteral("SANE_CONFIG_DIR=") + sane,
            QStringLiteral("QT_QPA_PLATFORM=offscreen"), QStringLiteral("LC_ALL=C")};
        if (!runtime)
            env << QStringLiteral("XDG_RUNTIME_DIR=");
        const test::ChildResult r
            = test::runAsNobody({QStringLiteral("attacked"), action, app, shared, target}, env);
        QCOMPARE(attacker.stop(), 0);
        if (!r.ran)
            QSKIP(qPrintable(r.whyNot));
        QCOMPARE(r.exitCode, 0);
        QVERIFY2(!r.output.contains("Application Error") && !r.output.contains("library-message"),
            r.output.constData());
        if (action == QLatin1String("scan")) {
            // The scanner's own picture at the library's size, not the
            // attacker's red 300 x 200.
            const QRegularExpressionMatch scanned
                = QRegularExpression(QStringLiteral("picture (\\d+)x(\\d+) own"))
                      .match(QString::fromUtf8(r.output));
            QVERIFY2(scanned.hasMatch() && scanned.captured(1).toInt() > 0
                    && scanned.captured(1) + QLatin1Char('x') + scanned.captured(2)
                        != QLatin1String("300x200"),
                r.output.constData());
            QVERIFY2(!r.output.contains("message"), r.output.constData());
        } else {
            QVERIFY2(r.output.contains("message Done."), r.output.constData());
            const QImage written(target);
            QVERIFY(!written.isNull());
            QVERIFY(
                test::maxDifference(written, victimsPicture()) <= (action == QLatin1String("jpg") ? 24 : 0));
            struct stat st { };
            QVERIFY(::lstat(QFile::encodeName(target).constData(), &st) == 0);
            QCOMPARE(st.st_uid, victim);
        }
        // Nothing of the attacker's changed, and nothing went through its
        // links or ran its converter.
        for (std::size_t i = 0; i < plants.size(); ++i)
            QCOMPARE(QString::fromUtf8(stateOf(plants[i])), before[int(i)]);
        QCOMPARE(QDir(trap).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot), QStringList());
        // The victim left nothing in the shared folders.
        for (const QString& folder : {shared, out, app}) {
            QDirIterator it(folder, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
            while (it.hasNext()) {
                const QString path = it.next();
                struct stat st { };
                QVERIFY(::lstat(QFile::encodeName(path).constData(), &st) == 0);
                if (path != target)
                    QVERIFY2(st.st_uid != victim, qPrintable(path));
            }
        }
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
    // file, in the same environment or one of them without a runtime
    // folder. The first one's scanner is held in the middle of its acquire
    // (its picture comes through a pipe the test keeps shut) or once it has
    // written the scan file (it returns when the test lets it); the second
    // must wait for it rather than write, load or delete that file. Both
    // end with their own picture.
    void twoCopiesScanAtOnce_data()
    {
        QTest::addColumn<bool>("secondHasRuntime");
        QTest::addColumn<bool>("heldAfterWriting");
        QTest::newRow("same environment, held in the acquire") << true << false;
        QTest::newRow("second without runtime folder, held after writing") << false << true;
    }
    void twoCopiesScanAtOnce()
    {
        QFETCH(bool, secondHasRuntime);
        QFETCH(bool, heldAfterWriting);
        QTemporaryDir app;
        QTemporaryDir pictures;
        QVERIFY(QFile::copy(qEnvironmentVariable("ORVANE_STUB_DIR") + QStringLiteral("/libstub_copies.so"),
            app.filePath(QStringLiteral("EZTW32.dll"))));
        const QString pipe = pictures.filePath(QStringLiteral("held"));
        QVERIFY(::mkfifo(QFile::encodeName(pipe).constData(), 0600) == 0);
        const QByteArray firstPicture = [] {
            QByteArray bytes;
            QBuffer buffer(&bytes);
            buffer.open(QIODevice::WriteOnly);
            test::noisyPicture(80, 60).save(&buffer, "BMP");
            return bytes;
        }();
        const QString firstFile = pictures.filePath(QStringLiteral("first.bmp"));
        test::writeFile(firstFile, firstPicture);
        const QString secondPicture = pictures.filePath(QStringLiteral("second.bmp"));
        QVERIFY(test::noisyPicture(64, 48).save(secondPicture, "BMP"));
        const QString runtime = pictures.filePath(QStringLiteral("runtime"));
        QVERIFY(QDir().mkpath(runtime));
        QVERIFY(::chmod(QFile::encodeName(runtime).constData(), 0700) == 0);
        auto start = [&](const QString& picture, const QString& hold, bool withRuntime) {
            auto* p = new QProcess(this);
            QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
            e.insert(QStringLiteral("ORVANE_STUB_PICTURE"), picture);
            e.insert(QStringLiteral("ORVANE_STUB_HOLD"), hold);
            e.insert(QStringLiteral("XDG_RUNTIME_DIR"), withRuntime ? runtime : QString());
            p->setProcessEnvironment(e);
            p->setProcessChannelMode(QProcess::ForwardedErrorChannel);
            p->start(QCoreApplication::applicationFilePath(), {QStringLiteral("--scan-child"), app.path()});
            return p;
        };
        QProcess* a = heldAfterWriting ? start(firstFile, pipe, true) : start(pipe, QString(), true);
        QByteArray saidA;
        // The pipe opens for writing once the first scanner reads from it:
        // the first copy is then inside its acquire.
        UniqueFd feed;
        QTRY_VERIFY_WITH_TIMEOUT(
            (feed = UniqueFd(::open(QFile::encodeName(pipe).constData(), O_WRONLY | O_NONBLOCK | O_CLOEXEC))),
            60000);
        if (heldAfterWriting)
            QCOMPARE(test::contents(app.filePath(QStringLiteral("VBScanInterface.bmp"))), firstPicture);

        QProcess* b = start(secondPicture, QString(), secondHasRuntime);
        QByteArray saidB;
        QTRY_VERIFY_WITH_TIMEOUT(
            (saidB += b->readAllStandardOutput()).count("tick") >= 10 || b->state() == QProcess::NotRunning,
            60000);
        QVERIFY2(b->state() == QProcess::Running && !saidB.contains("picture"), saidB.constData());

        // The first scanner delivers, or returns.
        if (!heldAfterWriting) {
            QVERIFY(::fcntl(feed.get(), F_SETFL, 0) == 0);
            QCOMPARE(writeAll(feed.get(), firstPicture.constData(), std::size_t(firstPicture.size())), 0);
        }
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
