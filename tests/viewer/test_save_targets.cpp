// Every save command against odd targets, each rule checked for all four
// formats alike: files the user may not change (as nobody), symbolic links
// to files and dangling ones, pipes, sockets and devices, the mode and owner
// of a replaced file, names of up to 255 bytes, the export's own temporary
// files, and a picture whose palette is shorter than its pixel indices.
#include "common/ChildMain.h"
#include "common/Pictures.h"
#include "common/RecordingDesktop.h"
#include "common/TestFiles.h"
#include "common/Unprivileged.h"
#include "common/ViewerMain.h"
#include "shell/PictureBox.h"
#include "viewer/Form2.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImageReader>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

using namespace orvane;

namespace {

struct Format {
    int button;
    const char* extension;
    const char* reader; // what Qt's reader calls the written file
};

const Format formats[] = {{1, "jpg", "jpeg"}, {3, "bmp", "bmp"}, {4, "tiff", "tiff"}, {5, "png", "png"}};

QStringList listing(const QString& folder)
{
    return QDir(folder).entryList(
        QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System, QDir::Name);
}

struct stat statOf(const QString& path, bool follow = true)
{
    struct stat st { };
    const QByteArray native = QFile::encodeName(path);
    if ((follow ? ::stat(native.constData(), &st) : ::lstat(native.constData(), &st)) != 0)
        st.st_mode = 0;
    return st;
}

// One main window with its viewer, saving through the given command.
class Session {
public:
    explicit Session(const QString& folder)
        : main_(folder)
    { }
    QStringList save(int button, const QImage& picture, const QString& path)
    {
        main_.picBuffer->setPicture(picture);
        Form2& view = main_.viewer();
        desktop_.messages.clear();
        desktop_.saveAnswers = {path};
        switch (button) {
        case 1:
            view.PushButton1_Click();
            break;
        case 3:
            view.PushButton3_Click();
            break;
        case 4:
            view.PushButton4_Click();
            break;
        default:
            view.PushButton5_Click();
            break;
        }
        return desktop_.texts();
    }

private:
    test::RecordingDesktop desktop_;
    test::ViewerMain main_;
};

const char* const Separator = "\n----\n";

// A picture that JPEG keeps closely: flat 16 x 16 blocks (chroma is
// subsampled).
QImage blockyIndexed(int width, int height, int colours)
{
    QImage img(width, height, QImage::Format_Indexed8);
    QList<QRgb> table;
    for (int i = 0; i < colours; ++i)
        table << qRgb(40 + 90 * i, 200 - 70 * i, 30 + 100 * (i % 2));
    img.setColorTable(table);
    QRandomGenerator rng(99);
    for (int by = 0; by < height; by += 16)
        for (int bx = 0; bx < width; bx += 16) {
            const uchar index = uchar(rng.bounded(256));
            for (int y = by; y < qMin(height, by + 16); ++y)
                for (int x = bx; x < qMin(width, bx + 16); ++x)
                    img.scanLine(y)[x] = index;
        }
    return img;
}

} // namespace

class TestSaveTargets : public QObject {
    Q_OBJECT
    QTemporaryDir work_;
    QString temp_;
    QString out_;
    std::unique_ptr<Session> session_;

    QStringList save(
        const Format& f, const QString& path, const QImage& picture = test::noisyPicture(120, 80))
    {
        return session_->save(f.button, picture, path);
    }
    QString target(const Format& f, const QString& stem = QStringLiteral("page")) const
    {
        return out_ + QLatin1Char('/') + stem + QLatin1Char('.') + QLatin1String(f.extension);
    }
    static void addFormats() { QTest::addColumn<int>("format"); }
    static void expectWritten(const Format& f, const QString& path)
    {
        QCOMPARE(QImageReader::imageFormat(path), QByteArray(f.reader));
        QCOMPARE(QImage(path).size(), QSize(120, 80));
    }
    static void expectRefused(const QStringList& texts, const QString& cause)
    {
        QVERIFY2(!texts.contains(QStringLiteral("Done.")), qPrintable(texts.join('|')));
        QCOMPARE(texts.size(), 1);
        QVERIFY2(texts.first().contains(cause, Qt::CaseInsensitive), qPrintable(texts.first()));
    }

private Q_SLOTS:
    void init()
    {
        temp_ = work_.filePath(QStringLiteral("temp"));
        out_ = work_.filePath(QStringLiteral("out"));
        QDir(out_).removeRecursively();
        QDir().mkpath(temp_);
        QDir().mkpath(out_);
        qputenv("TEMP", temp_.toUtf8());
        session_ = std::make_unique<Session>(work_.path());
    }
    void cleanup()
    {
        session_.reset();
        QCOMPARE(listing(temp_), QStringList()); // nothing of an export left
    }

    void unchangeableFileIsRefused_data()
    {
        addFormats();
        QTest::addColumn<bool>("foreign");
        for (int i = 0; i < 4; ++i) {
            QTest::newRow(qPrintable(QStringLiteral("%1, read-only file").arg(formats[i].extension)))
                << i << false;
            QTest::newRow(qPrintable(QStringLiteral("%1, another user's file").arg(formats[i].extension)))
                << i << true;
        }
    }
    // As nobody, in nobody's own folder: a file of nobody's that is
    // read-only, or a file of root's. All four formats refuse it with the
    // system's reason and leave it as it was.
    void unchangeableFileIsRefused()
    {
        QFETCH(int, format);
        QFETCH(bool, foreign);
        const QString unavailable = test::unprivilegedUnavailable();
        if (!unavailable.isEmpty())
            QSKIP(qPrintable(unavailable));
        const Format& f = formats[format];
        QTemporaryDir dir;
        const QString folder = dir.filePath(QStringLiteral("home"));
        const QString temp = dir.filePath(QStringLiteral("temp"));
        QVERIFY(QDir().mkpath(folder) && QDir().mkpath(temp));
        const QString source = dir.filePath(QStringLiteral("scan.bmp"));
        QVERIFY(test::noisyPicture(120, 80).save(source, "BMP"));
        const QString path = folder + QStringLiteral("/picture.") + QLatin1String(f.extension);
        const QByteArray old("the earlier picture, which must survive");
        test::writeFile(path, old);
        QVERIFY(::chown(QFile::encodeName(folder).constData(), 65534, 65534) == 0);
        QVERIFY(::chown(QFile::encodeName(temp).constData(), 65534, 65534) == 0);
        if (!foreign)
            QVERIFY(::chown(QFile::encodeName(path).constData(), 65534, 65534) == 0);
        QVERIFY(::chmod(QFile::encodeName(path).constData(), foreign ? 0644 : 0444) == 0);
        QFile::setPermissions(source, QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther);
        test::openPathFor(folder);
        const QStringList before = listing(folder);
        const struct stat was = statOf(path);

        const test::ChildResult r = test::runAsNobody(
            {QString::number(format), source, path, dir.path()}, {QStringLiteral("TEMP=") + temp});
        if (!r.ran)
            QSKIP(qPrintable(r.whyNot));
        QCOMPARE(r.exitCode, 0);
        expectRefused(QString::fromUtf8(r.output).split(QLatin1String(Separator), Qt::SkipEmptyParts),
            QStringLiteral("Permission denied"));
        QCOMPARE(test::contents(path), old);
        const struct stat now = statOf(path);
        QCOMPARE(now.st_uid, was.st_uid);
        QCOMPARE(now.st_mode, was.st_mode);
        QCOMPARE(listing(folder), before);
        QCOMPARE(listing(temp), QStringList());
    }

    void linkIsWrittenThrough_data()
    {
        addFormats();
        QTest::addColumn<QString>("kind");
        for (int i = 0; i < 4; ++i)
            for (const char* kind : {"to a file", "dangling", "chain of two", "absolute, to another folder"})
                QTest::newRow(qPrintable(QStringLiteral("%1, %2").arg(formats[i].extension, kind)))
                    << i << kind;
    }
    // The file the link names gets the picture; the link stays a link.
    void linkIsWrittenThrough()
    {
        QFETCH(int, format);
        QFETCH(QString, kind);
        const Format& f = formats[format];
        const QString link = target(f, QStringLiteral("link"));
        QString real = target(f, QStringLiteral("real"));
        QString text = QFileInfo(real).fileName();
        if (kind == QLatin1String("absolute, to another folder")) {
            QVERIFY(QDir().mkpath(out_ + QStringLiteral("/elsewhere")));
            real = out_ + QStringLiteral("/elsewhere/real.") + QLatin1String(f.extension);
            text = real;
        }
        if (kind != QLatin1String("dangling")) {
            test::writeFile(real, "old");
            QVERIFY(::chmod(QFile::encodeName(real).constData(), 0640) == 0);
        }
        if (kind == QLatin1String("chain of two")) {
            QVERIFY(QFile::link(text, out_ + QStringLiteral("/middle")));
            text = QStringLiteral("middle");
        }
        QVERIFY(::symlink(QFile::encodeName(text).constData(), QFile::encodeName(link).constData()) == 0);
        const QString linkText = QFile::symLinkTarget(link);
        const QStringList before = listing(out_);
        const mode_t mask = ::umask(0);
        ::umask(mask);

        QCOMPARE(save(f, link), QStringList{QStringLiteral("Done.")});

        QVERIFY(QFileInfo(link).isSymLink());
        QCOMPARE(QFile::symLinkTarget(link), linkText);
        expectWritten(f, real);
        QCOMPARE(
            statOf(real).st_mode & 07777, kind == QLatin1String("dangling") ? 0666 & ~mask : mode_t(0640));
        QStringList expected = before;
        if (kind == QLatin1String("dangling")) {
            expected << QFileInfo(real).fileName();
            expected.sort();
        }
        QCOMPARE(listing(out_), expected);
    }

    void plantedLinkInSharedFolderIsRefused_data()
    {
        addFormats();
        for (int i = 0; i < 4; ++i)
            QTest::newRow(formats[i].extension) << i;
    }
    // Another user's link in a sticky folder anyone may write to (like
    // /tmp) is not followed into the user's files, as the kernel refuses
    // to open through it.
    void plantedLinkInSharedFolderIsRefused()
    {
        QFETCH(int, format);
        if (::geteuid() != 0)
            QSKIP("not running as root, so no link can be given to another user");
        const Format& f = formats[format];
        const QString shared = out_ + QStringLiteral("/shared");
        QVERIFY(QDir().mkpath(shared));
        QVERIFY(::chmod(QFile::encodeName(shared).constData(), 01777) == 0);
        const QString precious = target(f, QStringLiteral("precious"));
        test::writeFile(precious, "precious");
        const QString link = shared + QStringLiteral("/planted.") + QLatin1String(f.extension);
        QVERIFY(QFile::link(precious, link));
        QVERIFY(::lchown(QFile::encodeName(link).constData(), 65534, 65534) == 0);

        expectRefused(save(f, link), QStringLiteral("Permission denied"));

        QCOMPARE(test::contents(precious), QByteArray("precious"));
        QVERIFY(QFileInfo(link).isSymLink());
    }

    void specialFileIsRefused_data()
    {
        addFormats();
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("cause");
        for (int i = 0; i < 4; ++i) {
            QTest::newRow(qPrintable(QStringLiteral("%1, FIFO").arg(formats[i].extension))) << i << "fifo"
                                                                                            << "FIFO";
            QTest::newRow(qPrintable(QStringLiteral("%1, socket").arg(formats[i].extension))) << i << "socket"
                                                                                              << "socket";
            QTest::newRow(qPrintable(QStringLiteral("%1, link to /dev/null").arg(formats[i].extension)))
                << i << "device"
                << "character device";
        }
    }
    // Never opened for writing (a FIFO without a reader would hang the
    // program), never replaced.
    void specialFileIsRefused()
    {
        QFETCH(int, format);
        QFETCH(QString, kind);
        QFETCH(QString, cause);
        const Format& f = formats[format];
        const QString path = target(f);
        const QByteArray native = QFile::encodeName(path);
        if (kind == QLatin1String("fifo")) {
            QVERIFY(::mkfifo(native.constData(), 0644) == 0);
        } else if (kind == QLatin1String("socket")) {
            const int s = ::socket(AF_UNIX, SOCK_STREAM, 0);
            QVERIFY(s >= 0);
            sockaddr_un address{};
            address.sun_family = AF_UNIX;
            QVERIFY(std::size_t(native.size()) < sizeof address.sun_path);
            std::memcpy(address.sun_path, native.constData(), std::size_t(native.size()));
            QVERIFY(::bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0);
            ::close(s);
        } else {
            QVERIFY(QFile::link(QStringLiteral("/dev/null"), path));
        }
        const mode_t type = statOf(path).st_mode & S_IFMT;
        const QStringList before = listing(out_);

        expectRefused(save(f, path), cause);

        QCOMPARE(statOf(path).st_mode & S_IFMT, type);
        QCOMPARE(listing(out_), before);
        QCOMPARE(save(f, target(f, QStringLiteral("next"))), QStringList{QStringLiteral("Done.")});
    }

    void modeAndOwnerKept_data()
    {
        addFormats();
        QTest::addColumn<int>("mode");
        QTest::addColumn<bool>("nobodys");
        for (int i = 0; i < 4; ++i) {
            QTest::newRow(qPrintable(QStringLiteral("%1, 0640").arg(formats[i].extension)))
                << i << 0640 << false;
            QTest::newRow(qPrintable(QStringLiteral("%1, 0600").arg(formats[i].extension)))
                << i << 0600 << false;
            QTest::newRow(qPrintable(QStringLiteral("%1, 0664 of nobody's").arg(formats[i].extension)))
                << i << 0664 << true;
        }
    }
    // The replaced file keeps its permissions, and its owner where the
    // user may give it (root may).
    void modeAndOwnerKept()
    {
        QFETCH(int, format);
        QFETCH(int, mode);
        QFETCH(bool, nobodys);
        if (nobodys && ::geteuid() != 0)
            QSKIP("not running as root, so no file can be given to another user");
        const Format& f = formats[format];
        const QString path = target(f);
        test::writeFile(path, "old");
        const QByteArray native = QFile::encodeName(path);
        QVERIFY(::chmod(native.constData(), mode_t(mode)) == 0);
        if (nobodys)
            QVERIFY(::chown(native.constData(), 65534, 65534) == 0);
        const struct stat was = statOf(path);

        QCOMPARE(save(f, path), QStringList{QStringLiteral("Done.")});

        expectWritten(f, path);
        const struct stat now = statOf(path);
        QVERIFY(now.st_ino != was.st_ino); // replaced, not written into
        QCOMPARE(now.st_mode & 07777, mode_t(mode));
        QCOMPARE(now.st_uid, was.st_uid);
        QCOMPARE(now.st_gid, was.st_gid);
        QCOMPARE(listing(out_), QStringList{QFileInfo(path).fileName()});
    }

    void longNameReplaced_data()
    {
        addFormats();
        QTest::addColumn<int>("bytes");
        QTest::addColumn<bool>("multibyte");
        for (int i = 0; i < 4; ++i)
            for (int bytes : {249, 255}) {
                QTest::newRow(qPrintable(QStringLiteral("%1, %2 bytes").arg(formats[i].extension).arg(bytes)))
                    << i << bytes << false;
                QTest::newRow(qPrintable(
                    QStringLiteral("%1, %2 bytes, two-byte letters").arg(formats[i].extension).arg(bytes)))
                    << i << bytes << true;
            }
    }
    // The hidden file the new one is written to must fit the name limit
    // too; the cut may fall inside a letter.
    void longNameReplaced()
    {
        QFETCH(int, format);
        QFETCH(int, bytes);
        QFETCH(bool, multibyte);
        const Format& f = formats[format];
        const QByteArray suffix = QByteArray(".") + f.extension;
        QByteArray stem;
        while (stem.size() + suffix.size() < bytes)
            stem += multibyte && stem.size() + suffix.size() + 2 <= bytes ? QByteArray("\xc3\xa9")
                                                                          : QByteArray("n");
        const QByteArray name = stem + suffix;
        QCOMPARE(name.size(), qsizetype(bytes));
        const QString path = out_ + QLatin1Char('/') + QFile::decodeName(name);
        test::writeFile(path, "old");

        QCOMPARE(save(f, path), QStringList{QStringLiteral("Done.")});

        expectWritten(f, path);
        QCOMPARE(listing(out_), QStringList{QFileInfo(path).fileName()});
    }

    void nameThatIsNotUtf8IsRefused_data()
    {
        addFormats();
        QTest::addColumn<bool>("inFolderName");
        for (int i = 0; i < 4; ++i) {
            QTest::newRow(qPrintable(QStringLiteral("%1, file").arg(formats[i].extension))) << i << false;
            QTest::newRow(qPrintable(QStringLiteral("%1, link to it").arg(formats[i].extension)))
                << i << true;
        }
    }
    // A file whose name holds bytes that are not UTF-8 reaches the program
    // as text with U+FFFD in their place. Saving over it, or through a link
    // to it, must not write a file of that other name: it is refused, and
    // the folder stays as it was.
    void nameThatIsNotUtf8IsRefused()
    {
        QFETCH(int, format);
        QFETCH(bool, inFolderName);
        const Format& f = formats[format];
        const QByteArray raw = QFile::encodeName(out_) + "/scan\xff" + QByteArray(".") + f.extension;
        // Qt cannot name such a file, nor remove it from the folder later.
        struct Unlink {
            QByteArray path;
            ~Unlink() { ::unlink(path.constData()); }
        } gone{raw};
        const int fd = ::open(raw.constData(), O_WRONLY | O_CREAT | O_EXCL, 0644);
        QVERIFY(fd >= 0);
        QVERIFY(::write(fd, "old", 3) == 3);
        ::close(fd);
        QString chosen = QFile::decodeName(raw);
        if (inFolderName) {
            chosen = out_ + QStringLiteral("/link.") + QLatin1String(f.extension);
            QVERIFY(::symlink(raw.constData(), QFile::encodeName(chosen).constData()) == 0);
        }
        const QStringList before = listing(out_);

        expectRefused(save(f, chosen), QStringLiteral("not UTF-8"));

        QCOMPARE(listing(out_), before);
        struct stat st { };
        QVERIFY(::stat(raw.constData(), &st) == 0);
        QCOMPARE(qint64(st.st_size), qint64(3));
    }

    void ownTemporaryFileIsRefused_data()
    {
        addFormats();
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("throughLink");
        for (int i : {2, 3})
            for (const char* name : {"tempscan.bmp", "nconvert.exe"})
                for (bool link : {false, true})
                    QTest::newRow(
                        qPrintable(QStringLiteral("%1, %2%3")
                                       .arg(formats[i].extension, name, link ? ", through a link" : "")))
                        << i << name << link;
    }
    // The export deletes these again: "Done." would leave no file.
    void ownTemporaryFileIsRefused()
    {
        QFETCH(int, format);
        QFETCH(QString, name);
        QFETCH(bool, throughLink);
        const Format& f = formats[format];
        QString path = temp_ + QLatin1Char('/') + name;
        if (throughLink) {
            const QString link = out_ + QStringLiteral("/to-temp");
            QVERIFY(QFile::link(path, link));
            path = link;
        }
        // The same folder by another spelling.
        if (!throughLink)
            path = out_ + QStringLiteral("/../temp/") + name;

        expectRefused(save(f, path), QStringLiteral("temporary file"));

        QCOMPARE(listing(temp_), QStringList());
        QCOMPARE(save(f, target(f)), QStringList{QStringLiteral("Done.")});
    }

    void neighboursStay_data()
    {
        addFormats();
        for (int i = 0; i < 4; ++i)
            QTest::newRow(formats[i].extension) << i;
    }
    // Hidden files beside the target that look like the names a save writes
    // to first are never used; the save picks a free name. Those of the
    // very names a killed save or conversion to this target leaves are the
    // user's own leftovers and go; the others stay.
    void neighboursStay()
    {
        QFETCH(int, format);
        const Format& f = formats[format];
        const QString path = target(f);
        test::writeFile(path, "old");
        const QString name = QFileInfo(path).fileName();
        QStringList neighbours, leftovers;
        for (const char* tail : {".orvane-", ".nconvert-", ".orvane-AbC1234", ".eztw32-AbC123", "~"})
            neighbours << QLatin1Char('.') + name + QLatin1String(tail);
        for (const char* tail : {".orvane-XXXXXX", ".orvane-AbC123", ".nconvert-AbC123"})
            leftovers << QLatin1Char('.') + name + QLatin1String(tail);
        for (const QString& n : neighbours + leftovers)
            test::writeFile(out_ + QLatin1Char('/') + n, n.toUtf8());
        QStringList after = listing(out_);
        for (const QString& n : leftovers)
            after.removeAll(n);

        QCOMPARE(save(f, path), QStringList{QStringLiteral("Done.")});

        expectWritten(f, path);
        for (const QString& n : neighbours)
            QCOMPARE(test::contents(out_ + QLatin1Char('/') + n), n.toUtf8());
        QCOMPARE(listing(out_), after);
    }

    void shortPaletteIsOnePicture_data()
    {
        QTest::addColumn<QImage>("picture");
        QTest::newRow("8-bit, 3 of 256 entries") << blockyIndexed(64, 48, 3);
        QTest::newRow("8-bit, 20 of 256 entries") << blockyIndexed(64, 48, 20);
        QImage mono(64, 48, QImage::Format_Mono);
        mono.fill(0);
        for (int y = 0; y < 48; ++y)
            for (int x = 0; x < 64; ++x)
                mono.setPixel(x, y, ((x / 8) + (y / 8)) % 2);
        mono.setColorTable({qRgb(200, 30, 30)});
        QTest::newRow("1-bit, 1 of 2 entries") << mono;
    }
    // A scan whose palette is shorter than its indices (Qt's reader takes
    // it): every format gets the picture as Qt turns it into colours
    // (missing 8-bit entries black, a missing second 1-bit colour white).
    void shortPaletteIsOnePicture()
    {
        QFETCH(QImage, picture);
        const QImage expected = picture.convertToFormat(QImage::Format_RGB32);
        for (const Format& f : formats) {
            const QString path = target(f);
            QCOMPARE(save(f, path, picture), QStringList{QStringLiteral("Done.")});
            const QImage written(path);
            QVERIFY2(!written.isNull(), f.extension);
            const int difference = test::maxDifference(written, expected);
            QVERIFY2(difference <= (f.button == 1 ? 12 : 0),
                qPrintable(QStringLiteral("%1 differs by %2").arg(f.extension).arg(difference)));
        }
    }
};

// The child part of unchangeableFileIsRefused, run as nobody: saves the
// picture with the given format's command and prints the messages.
static int child(const QStringList& args)
{
    if (args.size() != 4)
        return 2;
    QImageReader reader(args.at(1));
    const QImage picture = reader.read();
    if (picture.isNull())
        return 2;
    Session session(args.at(3));
    const QStringList texts = session.save(formats[args.at(0).toInt()].button, picture, args.at(2));
    const QByteArray out = texts.join(QLatin1String(Separator)).toUtf8();
    std::fwrite(out.constData(), 1, std::size_t(out.size()), stdout);
    return 0;
}

ORVANE_TEST_MAIN_WITH_CHILD(QApplication, TestSaveTargets, child)
#include "test_save_targets.moc"
