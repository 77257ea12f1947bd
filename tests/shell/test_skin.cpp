// The skin component: which files it loads and how it refuses the others,
// what the option flag and the two switches put in force, and the
// button-face colour with and without a skin.
#include "shell/AppError.h"
#include "shell/Appearance.h"
#include "shell/SkinFramework.h"
#include "shell/SkinImages.h"

#include <QApplication>
#include <QBuffer>
#include <QCheckBox>
#include <QDialog>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QImageReader>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <memory>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace orvane;

namespace {

QString writeFile(const QTemporaryDir& dir, const QString& name, const QByteArray& bytes)
{
    const QString path = dir.filePath(name);
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly) || f.write(bytes) != bytes.size())
        qFatal("cannot write %s", qPrintable(path));
    return path;
}

// The description LoadSkin raised, or an empty text when it loaded.
QString loadError(SkinFramework& skin, const QString& path, const QString& section = QString())
{
    try {
        skin.LoadSkin(path, section);
    } catch (const AppError& e) {
        return e.description();
    }
    return QString();
}

// Runs the rest of a scope with the effective user "nobody", for whom
// permissions hold (root passes every check).
class AsNobody {
public:
    AsNobody()
    {
        const passwd* pw = ::getpwnam("nobody");
        if (::geteuid() != 0 || !pw)
            return;
        active_ = ::seteuid(pw->pw_uid) == 0;
    }
    ~AsNobody()
    {
        if (active_ && ::seteuid(0) != 0)
            qFatal("cannot become root again");
    }
    bool active() const { return active_ || ::geteuid() != 0; }

private:
    bool active_ = false;
};

const QColor StyleFace = QColor(0x12, 0x34, 0x56);

// The paths the url()s of a sheet name, in order.
QStringList urlsOf(const QString& sheet)
{
    static const QRegularExpression url(QStringLiteral("url\\(\"?([^\")]*)\"?\\)"));
    QStringList paths;
    for (auto it = url.globalMatch(sheet); it.hasNext();)
        paths << it.next().captured(1);
    return paths;
}

// This process's resident memory.
qint64 residentBytes()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong() * 1024;
    return -1;
}

} // namespace

class TestSkin : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase()
    {
        // A known style colour, so that the skin's is told apart from it.
        QPalette p = QApplication::palette();
        p.setColor(QPalette::Button, StyleFace);
        QApplication::setPalette(p);
    }

    void refusedFiles_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("problem");
        QTest::newRow("empty") << QByteArray() << "the file is empty";
        QTest::newRow("blank") << QByteArray(" \n\t\r\n") << "the file is empty";
        QTest::newRow("png") << QByteArray("\x89PNG\r\n\x1a\n\0\0\0\rIHDR", 16)
                             << "the file is not text (byte 0x1a at offset 6)";
        QTest::newRow("zero byte") << QByteArray("QPushButton { }\0", 16)
                                   << "the file is not text (byte 0x00 at offset 15)";
        QTest::newRow("latin-1") << QByteArray("QLabel { qproperty-text: \"caf\xe9\"; }")
                                 << "the file is not UTF-8 text";
        QTest::newRow("unclosed rule") << QByteArray("/* a */\nQPushButton {\n  color: red;\n")
                                       << "the rule opened at line 2 is never closed (a \"}\" is missing)";
        QTest::newRow("stray brace") << QByteArray("QPushButton { color: red; }\n}\n")
                                     << "the \"}\" at line 2 closes no rule";
        QTest::newRow("nested") << QByteArray("QWidget {\n QPushButton { color: red; }\n}")
                                << "the \"{\" at line 2 lies inside the rule opened at line 1";
        QTest::newRow("no selector") << QByteArray("{ color: red; }")
                                     << "the \"{\" at line 1 has no selector before it";
        QTest::newRow("unclosed comment") << QByteArray("QLabel { }\n/* face-colour: #fff")
                                          << "the comment opened at line 2 is never closed";
        QTest::newRow("unclosed string") << QByteArray("QLabel { qproperty-text: \"a\n}")
                                         << "the string opened at line 1 is not closed on its line";
        QTest::newRow("text after rules")
            << QByteArray("QLabel { }\n\nthe end") << "the text at line 3 is not followed by a rule in { }";
        QTest::newRow("prose") << QByteArray("This is my skin.\nIt is blue.")
                               << "\"This is my skin.\" at line 1 is neither a rule nor a declaration";
        QTest::newRow("only comments")
            << QByteArray("/* nothing here */\n") << "the file holds no style rules";
        QTest::newRow("bad face colour") << QByteArray("QLabel { }\n/* face-colour: #12345z */")
                                         << "the face-colour \"#12345z\" at line 2 is not a colour";
        QTest::newRow("too large") << (QByteArray("QLabel { }") + QByteArray(MaxSkinFileSize, ' '))
                                   << "the file is larger than 1024 KiB";
    }

    void refusedFiles()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, problem);
        QTemporaryDir dir;
        const QString path = writeFile(dir, QStringLiteral("o.cjs"), bytes);
        SkinFramework skin;
        QCOMPARE(loadError(skin, path),
            QStringLiteral("Cannot load the skin ") + path + QStringLiteral(": ") + problem);
        QVERIFY(!skin.isLoaded());
    }

    void unreadableFiles()
    {
        QTemporaryDir dir;
        SkinFramework skin;
        const QString missing = dir.filePath(QStringLiteral("missing.cjs"));
        QCOMPARE(loadError(skin, missing),
            QStringLiteral("Cannot load the skin ") + missing
                + QStringLiteral(": No such file or directory"));
        QVERIFY(loadError(skin, dir.path())
                    .startsWith(QStringLiteral("Cannot load the skin ") + dir.path() + QStringLiteral(": ")));

        const QString locked = writeFile(dir, QStringLiteral("o.cjs"), "QLabel { }");
        QFile::setPermissions(
            dir.path(), QFile::permissions(dir.path()) | QFile::ExeOther | QFile::ReadOther);
        QFile::setPermissions(locked, QFileDevice::Permissions());
        AsNobody nobody;
        if (!nobody.active())
            QSKIP("running as root without the user nobody: a locked file stays readable");
        QCOMPARE(loadError(skin, locked),
            QStringLiteral("Cannot load the skin ") + locked + QStringLiteral(": Permission denied"));
    }

    void sectionsAreRefused()
    {
        QTemporaryDir dir;
        const QString path = writeFile(dir, QStringLiteral("o.cjs"), "QLabel { }");
        SkinFramework skin;
        QVERIFY(loadError(skin, path, QStringLiteral("NormalBlue.ini"))
                    .contains(QStringLiteral("the second argument must be empty")));
        QVERIFY(!skin.isLoaded());
    }

    void acceptedFiles_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QColor>("face");
        QTest::newRow("rules") << QByteArray("QPushButton { color: red; }\n#Form1 { background: white }")
                               << QColor();
        QTest::newRow("braces in strings and comments") << QByteArray(
            "QLabel { qproperty-text: \"a { b\"; } /* } { */\nQCheckBox { qproperty-text: 'x}'; }")
                                                        << QColor();
        QTest::newRow("declarations only")
            << QByteArray("background-color: #eeeeee;\ncolor: black") << QColor();
        QTest::newRow("face colour only")
            << QByteArray("/* face-colour: #c0ffee */\n") << QColor(0xc0, 0xff, 0xee);
        QTest::newRow("face color, named")
            << QByteArray("/*Face-Color:steelblue;*/ QLabel{}") << QColor(QStringLiteral("steelblue"));
        QTest::newRow("later face colour wins")
            << QByteArray("/* face-colour: red */ QLabel{}\n/* face-colour: #00f */") << QColor(Qt::blue);
        QTest::newRow("bom and crlf")
            << QByteArray("\xEF\xBB\xBFQLabel {\r\n color: red;\r\n}\r\n") << QColor();
    }

    void acceptedFiles()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QColor, face);
        QTemporaryDir dir;
        const QString path = writeFile(dir, QStringLiteral("o.cjs"), bytes);
        SkinFramework skin;
        QCOMPARE(loadError(skin, path), QString());
        QVERIFY(skin.isLoaded());
        QCOMPARE(skin.skinPath(), path);
        QCOMPARE(skin.faceColour().value_or(QColor()), face);
        QVERIFY(!skin.styleSheet().startsWith(QChar(0xFEFF)));
    }

    void exampleSkinLoads()
    {
        SkinFramework skin;
        const QString path = QStringLiteral(ORVANE_RESOURCES_DIR "/example-skin.cjs");
        QCOMPARE(loadError(skin, path), QString());
        QCOMPARE(skin.faceColour().value_or(QColor()), QColor(0xdf, 0xe6, 0xec));
    }

    // A failed load keeps the skin loaded before it.
    void failedLoadKeepsPreviousSkin()
    {
        QTemporaryDir dir;
        const QString good = writeFile(dir, QStringLiteral("good.cjs"), "/* face-colour: red */ QLabel { }");
        const QString bad = writeFile(dir, QStringLiteral("bad.cjs"), "QLabel {");
        SkinFramework skin;
        QCOMPARE(loadError(skin, good), QString());
        QVERIFY(!loadError(skin, bad).isEmpty());
        QCOMPARE(skin.skinPath(), good);
        QCOMPARE(skin.faceColour().value_or(QColor()), QColor(Qt::red));
    }

    // What bit 0 and the two switches put in force when the skin is applied.
    void flagsAndSwitches_data()
    {
        QTest::addColumn<int>("options");
        QTest::addColumn<bool>("colours");
        QTest::addColumn<bool>("dialogs");
        QTest::newRow("nothing") << 0 << false << false;
        QTest::newRow("rules") << 1 << false << false;
        QTest::newRow("colours") << 0 << true << false;
        QTest::newRow("dialogs") << 0 << false << true;
        QTest::newRow("all, other bits kept") << 0x41 << true << true;
    }

    void flagsAndSwitches()
    {
        QFETCH(int, options);
        QFETCH(bool, colours);
        QFETCH(bool, dialogs);
        QTemporaryDir dir;
        const QByteArray sheet = "/* face-colour: #abcdef */\nQPushButton { color: #ff0000; }\n";
        const QString path = writeFile(dir, QStringLiteral("o.cjs"), sheet);

        QWidget window;
        QWidget faceColoured;
        ApplyFaceColour(&faceColoured);
        QCOMPARE(faceColoured.palette().color(QPalette::Window), StyleFace);
        {
            SkinFramework skin;
            skin.LoadSkin(path, QString());
            skin.setOptions(options);
            skin.setApplyColors(colours);
            skin.setApplyDialogs(dialogs);
            skin.ApplyWindow(windowHandleOf(&window));

            QCOMPARE(window.styleSheet(), (options & 1) ? QString::fromUtf8(sheet) : QString());
            const QColor expected = colours ? QColor(0xab, 0xcd, 0xef) : StyleFace;
            QCOMPARE(faceColour(), expected);
            // Windows already face-coloured follow the skin's colour.
            QCOMPARE(faceColoured.palette().color(QPalette::Window), expected);

            QDialog dialog;
            dialog.show();
            QCOMPARE(dialog.styleSheet(), dialogs ? QString::fromUtf8(sheet) : QString());
            dialog.hide();
        }
        // Without the component the style's colour is back.
        QCOMPARE(faceColour(), StyleFace);
        QCOMPARE(faceColoured.palette().color(QPalette::Window), StyleFace);
        QDialog later;
        later.show();
        QVERIFY(later.styleSheet().isEmpty());
    }

    // A dialog owned by a skinned window takes the rules from its owner; a
    // dialog with a sheet of its own keeps it.
    void dialogsKeepWhatTheyHave()
    {
        QTemporaryDir dir;
        const QString path = writeFile(dir, QStringLiteral("o.cjs"), "QLabel { color: red; }");
        QWidget window;
        SkinFramework skin;
        skin.LoadSkin(path, QString());
        skin.setOptions(1);
        skin.setApplyDialogs(true);
        skin.ApplyWindow(windowHandleOf(&window));
        QDialog owned(&window);
        owned.show();
        QVERIFY(owned.styleSheet().isEmpty());
        QDialog own;
        own.setStyleSheet(QStringLiteral("QLabel { color: blue; }"));
        own.show();
        QCOMPARE(own.styleSheet(), QStringLiteral("QLabel { color: blue; }"));
    }

    void applyingNeedsALivingWindow()
    {
        SkinFramework skin;
        qint32 handle = 0;
        {
            QWidget window;
            handle = windowHandleOf(&window);
            QVERIFY(handle != 0);
            QCOMPARE(windowHandleOf(&window), handle);
            QCOMPARE(windowFromHandle(handle), &window);
            QWidget other;
            QVERIFY(windowHandleOf(&other) != handle);
            skin.ApplyWindow(handle); // no skin loaded: nothing happens
            QVERIFY(window.styleSheet().isEmpty());
        }
        QCOMPARE(windowFromHandle(handle), nullptr);
        try {
            skin.ApplyWindow(handle);
            QFAIL("a closed window's handle was taken");
        } catch (const AppError& e) {
            QCOMPARE(e.description(),
                QStringLiteral("The skin cannot be applied: no window has the handle %1").arg(handle));
        }
    }

    // The face colour reaches option buttons, check boxes, frames and
    // labels, and no other control.
    void faceColourReachesTheDesignedControls()
    {
        QWidget window;
        auto* label = new QLabel(&window);
        auto* check = new QCheckBox(&window);
        auto* button = new QPushButton(&window);
        auto* edit = new QLineEdit(&window);
        ApplyFaceColour(&window);
        QCOMPARE(window.palette().color(QPalette::Window), StyleFace);
        QVERIFY(window.autoFillBackground());
        QCOMPARE(label->palette().color(QPalette::Window), StyleFace);
        QVERIFY(label->autoFillBackground());
        QVERIFY(check->autoFillBackground());
        QVERIFY(!button->autoFillBackground());
        QVERIFY(!edit->autoFillBackground());
    }

    // A skin's images are read only from regular files, never waiting on
    // a pipe or a device, and the window comes up with the others; names
    // in comments and of the program's resources stay as they are.
    void imagesOnlyFromRegularFiles()
    {
        QTemporaryDir dir;
        QImage red(40, 30, QImage::Format_RGB32);
        red.fill(Qt::red);
        const QString small = dir.filePath(QStringLiteral("small.png"));
        QVERIFY(red.save(small));
        const QString pipe = dir.filePath(QStringLiteral("pipe.png"));
        QVERIFY(::mkfifo(QFile::encodeName(pipe).constData(), 0600) == 0);
        const QString folder = dir.filePath(QStringLiteral("folder.png"));
        QVERIFY(QDir().mkpath(folder));
        const QString sheet = QStringLiteral("#a { background-image: url(%1); }\n"
                                             "#b { border-image: url(\"%2\") 0 0 0 0 stretch stretch; }\n"
                                             "#c { image: url('/dev/zero'); }\n"
                                             "#d { background-image: url(%3); }\n"
                                             "/* url(%2) */ #e { image: url(:/no/such/resource.png); }\n")
                                  .arg(small, pipe, folder);
        SkinFramework skin;
        QCOMPARE(loadError(skin, writeFile(dir, QStringLiteral("o.cjs"), sheet.toUtf8())), QString());
        skin.setOptions(SkinFramework::ApplyRules);
        QWidget window;
        for (const char* name : {"a", "b", "c", "d", "e"}) {
            auto* label = new QLabel(&window);
            label->setObjectName(QLatin1String(name));
            label->setGeometry(0, 0, 50, 50);
        }
        skin.ApplyWindow(windowHandleOf(&window));
        window.show();
        QVERIFY(!window.grab().isNull());
        const QStringList urls = urlsOf(window.styleSheet());
        QCOMPARE(urls.size(), 6);
        QVERIFY2(urls[0].startsWith(QLatin1String("/proc/self/fd/")), qPrintable(urls[0]));
        QCOMPARE(QImage(urls[0]).convertToFormat(QImage::Format_RGB32), red);
        for (const QString& leftOut : urls.mid(1, 3))
            QCOMPARE(QImage(leftOut).size(), QSize(1, 1));
        QCOMPARE(urls.mid(4), (QStringList{pipe, QStringLiteral(":/no/such/resource.png")}));
    }

    // Eleven small files of 5600 x 5600 pixels each: every image is
    // decoded within the screen, all within the skin's budget, and the
    // window that draws them takes no more than that.
    void imagesWithinTheBudget()
    {
        QTemporaryDir dir;
        QByteArray jpeg;
        {
            QImage huge(5600, 5600, QImage::Format_Grayscale8);
            huge.fill(128);
            QBuffer buffer(&jpeg);
            buffer.open(QIODevice::WriteOnly);
            QVERIFY(huge.save(&buffer, "JPEG", 1));
        }
        QString sheet;
        QWidget window;
        for (int i = 0; i < 11; ++i) {
            const QString name = QStringLiteral("w%1").arg(i);
            sheet += QStringLiteral("#%1 { border-image: url(%2) 0 0 0 0 stretch stretch; }\n")
                         .arg(name, writeFile(dir, name + QStringLiteral(".jpg"), jpeg));
            auto* label = new QLabel(&window);
            label->setObjectName(name);
            label->setGeometry(i * 20, 0, 20, 20);
        }
        const qint64 before = residentBytes();
        SkinFramework skin;
        QCOMPARE(loadError(skin, writeFile(dir, QStringLiteral("o.cjs"), sheet.toUtf8())), QString());
        skin.setOptions(SkinFramework::ApplyRules);
        skin.ApplyWindow(windowHandleOf(&window));
        window.show();
        QVERIFY(!window.grab().isNull());
        const qint64 grown = residentBytes() - before;
#ifndef __SANITIZE_ADDRESS__
        // (AddressSanitizer keeps what is freed in quarantine, and its
        // shadow memory grows with every decode: resident memory says
        // nothing of the skin there.)
        QVERIFY2(grown < 2 * SkinImageBudget, qPrintable(QString::number(grown)));
#else
        Q_UNUSED(grown);
#endif
        const QSize screen = largestScreenSize();
        for (const QString& copy : urlsOf(window.styleSheet())) {
            const QSize size = QImageReader(copy).size();
            QVERIFY2(size.width() <= screen.width() && size.height() <= screen.height() && !size.isEmpty(),
                qPrintable(copy));
        }
        // On a screen on which each could be drawn at 4000 x 4000, all are
        // reduced alike to stay within the budget.
        qint64 pixels = 0;
        const QStringList copies = urlsOf(withSkinImages(sheet, QSize(4000, 4000)));
        for (const QString& copy : copies) {
            const QSize size = QImageReader(copy).size();
            QCOMPARE(size, QImageReader(copies.first()).size());
            pixels += qint64(size.width()) * size.height();
        }
        QVERIFY(pixels * 4 <= SkinImageBudget && pixels * 4 > SkinImageBudget / 2);
    }
};

QTEST_MAIN(TestSkin)
#include "test_skin.moc"
