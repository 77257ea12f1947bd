// Replacing a file beside it, on real files: what lands at the target, with
// which mode and owner, and what is left when something goes wrong.
#include "common/TestFiles.h"
#include "common/TmpfsMount.h"
#include "replace/Replace.h"

#include <QDir>
#include <QTemporaryDir>
#include <QTest>

#include <QFileInfo>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using namespace orvane::test;

namespace {

std::string native(const QString& path)
{
    return QFile::encodeName(path).toStdString();
}

struct stat statOf(const QString& path)
{
    struct stat st { };
    if (::lstat(native(path).c_str(), &st) != 0)
        st.st_mode = 0;
    return st;
}

QStringList entries(const QString& folder)
{
    return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
}

// Writes `bytes` to `path` through the helper and commits.
int replaceWith(const QString& path, const QByteArray& bytes, unsigned newMode = 0666)
{
    replace::Beside file;
    if (const int status = file.open(native(path).c_str(), ".test-", newMode))
        return status;
    if (const int status = file.write(bytes.constData(), std::size_t(bytes.size())))
        return status;
    return file.commit();
}

// Sets the umask for the life of the object; the test is the only thread
// that creates files meanwhile.
struct Umask {
    explicit Umask(mode_t mask)
        : old(::umask(mask))
    { }
    ~Umask() { ::umask(old); }
    mode_t old;
};

} // namespace

class TestReplace : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // A new file gets the mode the system gives any new file, or the
    // private mode asked for; a replaced one keeps its mode, its group and
    // its content goes whole.
    void modes()
    {
        QTemporaryDir dir;
        const Umask mask(027);
        const QString fresh = dir.filePath(QStringLiteral("fresh.bin"));
        QCOMPARE(replaceWith(fresh, "one"), 0);
        QCOMPARE(statOf(fresh).st_mode & 07777, mode_t(0640));
        QCOMPARE(contents(fresh), QByteArray("one"));

        const QString secret = dir.filePath(QStringLiteral("secret.bin"));
        QCOMPARE(replaceWith(secret, "two", 0600), 0);
        QCOMPARE(statOf(secret).st_mode & 07777, mode_t(0600));

        // An odd mode that no umask would give survives the replacement.
        QVERIFY(::chmod(native(fresh).c_str(), 0751) == 0);
        const ino_t before = statOf(fresh).st_ino;
        QCOMPARE(replaceWith(fresh, "three, longer"), 0);
        QCOMPARE(statOf(fresh).st_mode & 07777, mode_t(0751));
        QVERIFY(statOf(fresh).st_ino != before);
        QCOMPARE(contents(fresh), QByteArray("three, longer"));
        QCOMPARE(
            entries(dir.path()), (QStringList{QStringLiteral("fresh.bin"), QStringLiteral("secret.bin")}));
    }

    // While it is written the hidden file already has the mode it keeps:
    // a private target is never readable by others, not even for a moment.
    void hiddenFileHasItsModeFromTheStart()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("private.bmp"));
        writeFile(path, "old");
        QVERIFY(::chmod(native(path).c_str(), 0600) == 0);
        const Umask mask(0);
        replace::Beside file;
        QCOMPARE(file.open(native(path).c_str(), ".test-"), 0);
        const QString hidden = QFile::decodeName(file.hiddenPath().c_str());
        QCOMPARE(QFileInfo(hidden).absolutePath(), QFileInfo(path).absolutePath());
        QVERIFY(QFileInfo(hidden).fileName().startsWith(QStringLiteral(".private.bmp.test-")));
        QCOMPARE(statOf(hidden).st_mode & 07777, mode_t(0600));

        replace::Beside fresh;
        QCOMPARE(fresh.open(native(dir.filePath(QStringLiteral("new.bmp"))).c_str(), ".test-", 0600), 0);
        QCOMPARE(statOf(QFile::decodeName(fresh.hiddenPath().c_str())).st_mode & 07777, mode_t(0600));
    }

    // Abandoned (or dropped) before the commit: the target as it was and
    // nothing beside it.
    void abandonLeavesTheTarget()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("keep.txt"));
        writeFile(path, "precious");
        {
            replace::Beside file;
            QCOMPARE(file.open(native(path).c_str(), ".test-"), 0);
            QCOMPARE(file.write("junk", 4), 0);
        }
        replace::Beside file;
        QCOMPARE(file.open(native(path).c_str(), ".test-"), 0);
        QCOMPARE(file.write("junk", 4), 0);
        file.abandon();
        QCOMPARE(file.commit(), int(replace::NotOpen));
        QCOMPARE(contents(path), QByteArray("precious"));
        QCOMPARE(entries(dir.path()), QStringList{QStringLiteral("keep.txt")});
    }

    // Links are followed to the file they name, which is replaced in its
    // own folder; the link stays a link. A dangling link names the file to
    // create.
    void linksFollowed()
    {
        QTemporaryDir dir;
        QVERIFY(QDir(dir.path()).mkpath(QStringLiteral("real")));
        const QString real = dir.filePath(QStringLiteral("real/file.txt"));
        writeFile(real, "old");
        const QString link = dir.filePath(QStringLiteral("link.txt"));
        QVERIFY(::symlink("real/file.txt", native(link).c_str()) == 0);

        replace::Target target;
        QCOMPARE(replace::resolve(native(link).c_str(), target), 0);
        QVERIFY(target.linked);
        QVERIFY(target.exists);
        QCOMPARE(QFile::decodeName(target.path.c_str()), QFileInfo(real).canonicalFilePath());

        QCOMPARE(replaceWith(link, "new"), 0);
        QVERIFY(S_ISLNK(statOf(link).st_mode));
        QCOMPARE(contents(real), QByteArray("new"));
        QCOMPARE(entries(dir.filePath(QStringLiteral("real"))), QStringList{QStringLiteral("file.txt")});

        const QString dangling = dir.filePath(QStringLiteral("dangling"));
        QVERIFY(::symlink("real/created.txt", native(dangling).c_str()) == 0);
        QCOMPARE(replaceWith(dangling, "made"), 0);
        QCOMPARE(contents(dir.filePath(QStringLiteral("real/created.txt"))), QByteArray("made"));

        const QString loop = dir.filePath(QStringLiteral("loop"));
        QVERIFY(::symlink("loop", native(loop).c_str()) == 0);
        QCOMPARE(replaceWith(loop, "x"), ELOOP);
    }

    // What is not a regular file is refused without being opened (a FIFO
    // would block an open for writing), and says what it is.
    void refusals()
    {
        QTemporaryDir dir;
        const QString fifo = dir.filePath(QStringLiteral("pipe"));
        QVERIFY(::mkfifo(native(fifo).c_str(), 0600) == 0);
        replace::Target target;
        QCOMPARE(replace::resolve(native(fifo).c_str(), target), int(replace::NotRegular));
        QCOMPARE(target.kind, unsigned(S_IFIFO));
        QCOMPARE(QString::fromUtf8(replace::statusText(replace::NotRegular)),
            QStringLiteral("not a regular file"));

        QCOMPARE(replaceWith(dir.path(), "x"), EISDIR);
        QCOMPARE(replaceWith(dir.path() + QStringLiteral("/sub/"), "x"), EISDIR);
        QCOMPARE(replaceWith(dir.filePath(QStringLiteral("missing/file")), "x"), ENOENT);
        QCOMPARE(replace::resolve("", target), int(replace::NoPath));
        QCOMPARE(QString::fromLocal8Bit(replace::statusText(ENOENT)),
            QString::fromLocal8Bit(std::strerror(ENOENT)));
        QCOMPARE(entries(dir.path()), QStringList{QStringLiteral("pipe")});
    }

    // Another user's link in a sticky folder anyone may write to is not
    // followed, as the kernel refuses it; the user's own is.
    void foreignLinkInStickyFolder()
    {
        if (::geteuid() != 0)
            QSKIP("needs root to give a link to another user");
        QTemporaryDir dir;
        const QString shared = dir.filePath(QStringLiteral("shared"));
        QVERIFY(QDir().mkpath(shared));
        QVERIFY(::chmod(native(shared).c_str(), 01777) == 0);
        const QString mine = dir.filePath(QStringLiteral("mine.txt"));
        writeFile(mine, "mine");
        const QString link = shared + QStringLiteral("/planted");
        QVERIFY(::symlink(native(mine).c_str(), native(link).c_str()) == 0);
        QCOMPARE(replaceWith(link, "own link"), 0);
        QVERIFY(::lchown(native(link).c_str(), 65534, 65534) == 0);
        QCOMPARE(replaceWith(link, "foreign link"), EACCES);
        QCOMPARE(contents(mine), QByteArray("own link"));
    }

    // A write that fails is remembered: every later write and the commit
    // give it, and the target stays.
    void failedWriteRemembered()
    {
        TmpfsMount disk(QStringLiteral("size=64k"));
        if (!disk.ok())
            QSKIP(qPrintable(disk.whyNot));
        const QString path = disk.filePath(QStringLiteral("big.bin"));
        writeFile(path, "small");
        replace::Beside file;
        QCOMPARE(file.open(native(path).c_str(), ".test-"), 0);
        const QByteArray block(32 * 1024, 'x');
        int status = 0;
        for (int i = 0; i < 8 && status == 0; ++i)
            status = file.write(block.constData(), std::size_t(block.size()));
        QCOMPARE(status, ENOSPC);
        QCOMPARE(file.write("y", 1), ENOSPC);
        QCOMPARE(file.commit(), ENOSPC);
        QCOMPARE(contents(path), QByteArray("small"));
        QCOMPARE(entries(disk.path), QStringList{QStringLiteral("big.bin")});
    }

    // The hidden name stays within the file system's limit for the
    // longest name a target may have.
    void longestName()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QString(255, QLatin1Char('n')));
        QCOMPARE(replaceWith(path, "long"), 0);
        QCOMPARE(contents(path), QByteArray("long"));
    }

    // What a killed writer left beside a target goes, and with the
    // folder-wide clean-up what killed writers left beside any target; a
    // hidden file still being written, links, other tags and names of
    // other lengths stay.
    void abandonedFilesRemoved()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("page.png"));
        QTemporaryDir elsewhere;
        const QString bystander = elsewhere.filePath(QStringLiteral("bystander"));
        writeFile(bystander, "keep");
        const QStringList stale{
            QStringLiteral(".page.png.test-AbC123"), QStringLiteral(".page.png.test-XXXXXX")};
        const QStringList others{QStringLiteral(".page.png.test-AbC12"),
            QStringLiteral(".page.png.test-AbC1234"), QStringLiteral(".page.png.other-AbC123"),
            QStringLiteral(".page.jpg.test-AbC123")};
        for (const QString& n : stale + others)
            writeFile(dir.filePath(n), "left");
        QVERIFY(QFile::link(bystander, dir.filePath(QStringLiteral(".page.png.test-Link01"))));
        replace::Beside writing;
        QCOMPARE(writing.open(native(path).c_str(), ".test-"), 0);
        QCOMPARE(writing.write("new", 3), 0);

        QCOMPARE(replace::removeAbandoned(native(path), ".test-"), int(stale.size()));
        for (const QString& n : stale)
            QVERIFY2(!QFile::exists(dir.filePath(n)), qPrintable(n));
        for (const QString& n : others)
            QCOMPARE(contents(dir.filePath(n)), QByteArray("left"));
        const QString otherTarget = others.last();
        QCOMPARE(replace::removeAbandonedIn(native(dir.path()), ".test-"), 1);
        QVERIFY(!QFile::exists(dir.filePath(otherTarget)));
        for (const QString& n : others)
            QVERIFY2(n == otherTarget || contents(dir.filePath(n)) == "left", qPrintable(n));
        QVERIFY(QFile::exists(QString::fromStdString(writing.hiddenPath())));
        QVERIFY(QFileInfo(dir.filePath(QStringLiteral(".page.png.test-Link01"))).isSymLink());
        QCOMPARE(contents(bystander), QByteArray("keep"));
        QCOMPARE(writing.commit(), 0);
        QCOMPARE(contents(path), QByteArray("new"));
    }

    // A clean-up that runs all the while never takes a file from a writer,
    // from its creation to its rename.
    void cleanUpNeverTakesAFileInUse()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("busy.bin"));
        std::atomic<bool> done = false;
        std::thread cleaner([&] {
            while (!done)
                replace::removeAbandoned(native(path), ".test-");
        });
        int failures = 0;
        for (int i = 0; i < 300; ++i)
            failures += replaceWith(path, QByteArray::number(i)) != 0;
        done = true;
        cleaner.join();
        QCOMPARE(failures, 0);
        QCOMPARE(contents(path), QByteArray("299"));
        QCOMPARE(entries(dir.path()), QStringList{QStringLiteral("busy.bin")});
    }
};

QTEST_GUILESS_MAIN(TestReplace)
#include "test_replace.moc"
