// The main window's look at start-up (with and without a skin, and with a
// skin that cannot be loaded), the pointer rules of both windows, the hand
// cursor as shipped, the program icon and "Help".
#include "app/Form1.h"
#include "common/RecordingDesktop.h"
#include "common/TestFiles.h"
#include "shell/AppError.h"
#include "shell/Appearance.h"
#include "shell/Globals.h"
#include "shell/Main.h"
#include "shell/PushButton.h"
#include "shell/SkinFramework.h"
#include "viewer/Form2.h"

#include "BuildConfig.h"

#include <QApplication>
#include <QDialog>
#include <QDir>
#include <QFile>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QStyle>
#include <QTemporaryDir>
#include <QTest>
#include <QWindow>

#include <memory>

using namespace orvane;

using orvane::test::writeFile;

namespace {

const QString ShippedCursor = QStringLiteral(ORVANE_APP_DIR "/HAND-M.CUR");
const QString ExampleSkin = QStringLiteral(ORVANE_RESOURCES_DIR "/example-skin.cjs");
const QColor StyleFace = QColor(0x12, 0x34, 0x56);
const QColor ExampleFace = QColor(0xdf, 0xe6, 0xec);
const QString SkinError = QStringLiteral("Cannot load the skin ");

quint16 le16(const QByteArray& d, int at)
{
    return static_cast<quint16>(
        static_cast<unsigned char>(d[at]) | static_cast<unsigned char>(d[at + 1]) << 8);
}

void setLe16(QByteArray& d, int at, quint16 v)
{
    d[at] = static_cast<char>(v & 0xFF);
    d[at + 1] = static_cast<char>(v >> 8);
}

QString loadCursorError(const QString& path)
{
    try {
        loadCursorFile(path);
    } catch (const AppError& e) {
        return e.description();
    }
    return QString();
}

QPoint centreOf(QWidget* w)
{
    return w->rect().center();
}

// A mouse move as the window system delivers it: to the top-level window,
// which hands it to the widget under the pointer.
void moveMouse(QWidget* over, QPoint local)
{
    QWidget* top = over->window();
    const QPointF inWindow = over->mapTo(top, local);
    QMouseEvent move(QEvent::MouseMove, inWindow, inWindow, over->mapToGlobal(QPointF(local)), Qt::NoButton,
        Qt::NoButton, Qt::NoModifier);
    QApplication::sendEvent(top->windowHandle(), &move);
}

} // namespace

class TestAppearance : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase()
    {
        QPalette p = QApplication::palette();
        p.setColor(QPalette::Button, StyleFace);
        QApplication::setPalette(p);
        QVERIFY2(
            QFile::exists(ShippedCursor), "the build did not place HAND-M.CUR in the application folder");
    }

    void init() { SetApplicationTitle(); }

    // ---- the skin at start-up ---------------------------------------------

    void noSkinLeavesTheMainWindowWhite_data()
    {
        QTest::addColumn<bool>("folderNamedLikeSkin");
        QTest::newRow("no x folder") << false;
        QTest::newRow("x/o.cjs is a folder") << true;
    }

    void noSkinLeavesTheMainWindowWhite()
    {
        QFETCH(bool, folderNamedLikeSkin);
        QTemporaryDir dir;
        if (folderNamedLikeSkin)
            QVERIFY(QDir(dir.path()).mkpath(QStringLiteral("x/o.cjs")));
        test::RecordingDesktop d;
        Form1 form(dir.path());
        form.Form_Load();
        for (const test::Message& m : d.messages)
            QVERIFY2(!m.text.contains(QStringLiteral("at line 100")), qPrintable(m.text));
        QCOMPARE(form.palette().color(QPalette::Window), QColor(Qt::white));
        QVERIFY(form.styleSheet().isEmpty());
        QVERIFY(!form.skinFramework().isLoaded());
        QCOMPARE(faceColour(), StyleFace);
        // The viewer is face-coloured all the same.
        QCOMPARE(form.viewer().palette().color(QPalette::Window), StyleFace);
    }

    // The five steps in order: load, option bit 0 added to the flags read,
    // both switches, then the window. Each later step only shows its effect
    // when the earlier ones were made.
    void exampleSkinSkinsTheMainWindow()
    {
        QTemporaryDir dir;
        const QString skinPath = dir.filePath(QStringLiteral("x/o.cjs"));
        writeFile(skinPath, test::contents(ExampleSkin));
        test::RecordingDesktop d;
        Form1 form(dir.path());
        form.skinFramework().setOptions(0x40);
        form.Form_Load();
        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form, 60000));

        for (const test::Message& m : d.messages)
            QVERIFY2(!m.text.contains(QStringLiteral("at line 100")), qPrintable(m.text));
        SkinFramework& skin = form.skinFramework();
        QCOMPARE(skin.skinPath(), skinPath);
        QCOMPARE(skin.Options(), 0x41);
        QVERIFY(skin.ApplyColors());
        QVERIFY(skin.ApplyDialogs());
        QCOMPARE(form.styleSheet(), QString::fromUtf8(test::contents(ExampleSkin)));
        QCOMPARE(faceColour(), ExampleFace);
        QCOMPARE(form.palette().color(QPalette::Window), ExampleFace);
        // What the user sees: the window's surface beside the buttons in the
        // skin's face colour, the buttons in the skin's.
        const QImage shot = form.grab().toImage();
        QCOMPARE(QColor(shot.pixel(2, shot.height() / 2)), ExampleFace);
        const QRect help = form.PushButton7->geometry();
        QCOMPARE(QColor(shot.pixel(help.left() + 6, help.center().y())), ExampleFace);

        // The viewer follows the skin's face colour but is not skinned.
        Form2& viewer = form.viewer();
        QCOMPARE(viewer.palette().color(QPalette::Window), ExampleFace);
        QVERIFY(viewer.styleSheet().isEmpty());
        // Message boxes without an owner take the skin's rules.
        QMessageBox box(QMessageBox::NoIcon, QStringLiteral("t"), QStringLiteral("x"));
        box.show();
        QCOMPARE(box.styleSheet(), form.styleSheet());
        box.hide();
    }

    void unloadableSkinIsReportedAtLine100_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("problem");
        QTest::newRow("unclosed rule") << QByteArray("QPushButton {\n  color: red;\n")
                                       << "the rule opened at line 1 is never closed (a \"}\" is missing)";
        QTest::newRow("binary") << QByteArray("\0\1\2\3", 4)
                                << "the file is not text (byte 0x00 at offset 0)";
        QTest::newRow("empty") << QByteArray() << "the file is empty";
    }

    void unloadableSkinIsReportedAtLine100()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, problem);
        QTemporaryDir dir;
        const QString skinPath = dir.filePath(QStringLiteral("x/o.cjs"));
        writeFile(skinPath, bytes);
        test::RecordingDesktop d;
        Form1 form(dir.path());
        form.Form_Load();

        QVERIFY(!d.messages.isEmpty());
        const test::Message& report = d.messages.first();
        QCOMPARE(report.title, QStringLiteral("Application Error"));
        QCOMPARE(report.icon, MessageIcon::Warning);
        QCOMPARE(report.text.section(QLatin1Char('\n'), 0, 1),
            SkinError + skinPath + QStringLiteral(": ") + problem
                + QStringLiteral("\nin Orvane_Capture_Desk2021/08/31.Form1.Form_Load at line 100"));
        // The rest of the skinning was skipped ...
        QCOMPARE(form.skinFramework().Options(), 0);
        QVERIFY(!form.skinFramework().ApplyColors());
        QVERIFY(form.styleSheet().isEmpty());
        QCOMPARE(faceColour(), StyleFace);
        // ... and start-up went on: caption, title, folder, and the message
        // about the scanner library (none in this folder) last.
        QCOMPARE(form.windowTitle(), QStringLiteral("Orvane Capture Desk"));
        QCOMPARE(applicationTitle(), QStringLiteral("Orvane Capture"));
        QCOMPARE(globals().AppFolder, dir.path() + QLatin1Char('/'));
        QVERIFY(d.messages.last().text.startsWith(QStringLiteral("Unfortunately, this program was unable")));
        QCOMPARE(d.messages.last().title, QStringLiteral("Orvane Capture"));
    }

    // ---- pointers -----------------------------------------------------------

    void mainWindowPointerRules_data()
    {
        QTest::addColumn<bool>("withCursor");
        QTest::newRow("HAND-M.CUR present") << true;
        QTest::newRow("no HAND-M.CUR") << false;
    }

    void mainWindowPointerRules()
    {
        QFETCH(bool, withCursor);
        QTemporaryDir dir;
        if (withCursor)
            QVERIFY(QFile::copy(ShippedCursor, dir.filePath(QStringLiteral("HAND-M.CUR"))));
        test::RecordingDesktop d;
        Form1 form(dir.path());
        form.Form_Load();
        for (const test::Message& m : d.messages)
            QVERIFY2(!m.text.contains(QStringLiteral("at line 106")), qPrintable(m.text));
        QCOMPARE(form.hasMouseIcon(), withCursor);
        Form2& viewer = form.viewer();
        QCOMPARE(viewer.hasMouseIcon(), withCursor);

        const QList<std::pair<Form*, QList<PushButton*>>> windows{
            {&form, {form.PushButton7, form.PushButton5, form.PushButton3}},
            {&viewer,
                {viewer.PushButton1, viewer.PushButton2, viewer.PushButton3, viewer.PushButton4,
                    viewer.PushButton5}}};
        for (const auto& [window, buttons] : windows) {
            window->show();
            QVERIFY(QTest::qWaitForWindowExposed(window, 60000));
            for (PushButton* button : buttons) {
                moveMouse(button, centreOf(button));
                QCOMPARE(window->MousePointer(), int(vbCustom));
                if (withCursor) {
                    QCOMPARE(window->cursor().shape(), Qt::BitmapCursor);
                    QCOMPARE(window->cursor().pixmap().size(), QSize(32, 32));
                    QCOMPARE(window->cursor().hotSpot(), loadCursorFile(ShippedCursor).hotSpot());
                } else {
                    QCOMPARE(window->cursor().shape(), Qt::ArrowCursor);
                }
                // From the button onto the window's own surface: the arrow.
                const QPoint surface = button->geometry().bottomLeft() + QPoint(-3, 2);
                QCOMPARE(window->childAt(surface), nullptr);
                moveMouse(window, surface);
                QCOMPARE(window->MousePointer(), int(vbDefault));
                QCOMPARE(window->cursor().shape(), Qt::ArrowCursor);
            }
            window->hide();
        }
    }

    // From a button straight onto each part of the viewer's own surface:
    // the viewport, the picture and both bars show the arrow, with or
    // without the hand cursor; during an export the hourglass stays.
    void viewerSurfacePointerRules_data()
    {
        QTest::addColumn<QString>("control");
        QTest::addColumn<bool>("withCursor");
        QTest::addColumn<bool>("exporting");
        for (const char* control : {"Picture2", "picScan", "VScroll1", "HScroll1"})
            for (bool withCursor : {true, false})
                for (bool exporting : {false, true})
                    QTest::addRow("%s%s%s", control, withCursor ? "" : ", no HAND-M.CUR",
                        exporting ? ", exporting" : "")
                        << QString::fromLatin1(control) << withCursor << exporting;
    }
    void viewerSurfacePointerRules()
    {
        QFETCH(QString, control);
        QFETCH(bool, withCursor);
        QFETCH(bool, exporting);
        QTemporaryDir dir;
        if (withCursor)
            QVERIFY(QFile::copy(ShippedCursor, dir.filePath(QStringLiteral("HAND-M.CUR"))));
        test::RecordingDesktop d;
        Form1 main(dir.path());
        main.Form_Load();
        Form2& viewer = main.viewer();
        viewer.show();
        QVERIFY(QTest::qWaitForWindowExposed(&viewer, 60000));
        QWidget* target = viewer.findChild<QWidget*>(control);
        QVERIFY(target);
        // A point of the control itself (the viewport's own strip below
        // the picture at its design size).
        const QPoint at
            = control == QLatin1String("Picture2") ? QPoint(10, target->height() - 1) : centreOf(target);
        QCOMPARE(viewer.childAt(target->mapTo(&viewer, at)), target);
        for (PushButton* button : {viewer.PushButton1, viewer.PushButton2, viewer.PushButton5}) {
            moveMouse(button, centreOf(button));
            if (exporting)
                viewer.setMousePointer(vbHourglass);
            else
                QCOMPARE(viewer.MousePointer(), int(vbCustom));
            for (int i = 0; i < 3; ++i)
                moveMouse(target, at + QPoint(0, -i));
            QCOMPARE(viewer.MousePointer(), exporting ? int(vbHourglass) : int(vbDefault));
            QCOMPARE(target->cursor().shape(), exporting ? Qt::WaitCursor : Qt::ArrowCursor);
            viewer.setMousePointer(vbDefault);
        }
        viewer.hide();
    }

    // Both windows open centred with their frame, once the platform has
    // framed them.
    void windowsOpenCentredWithTheirFrame()
    {
        QTemporaryDir dir;
        test::RecordingDesktop d;
        Form1 main(dir.path());
        main.Form_Load();
        const QPoint centre = QGuiApplication::primaryScreen()->availableGeometry().center();
        for (Form* window : {static_cast<Form*>(&main), static_cast<Form*>(&main.viewer())}) {
            window->showActive();
            QVERIFY(QTest::qWaitForWindowExposed(window, 60000));
            QTRY_VERIFY_WITH_TIMEOUT(window->frameGeometry() != window->geometry(), 60000);
            QTRY_VERIFY2((window->frameGeometry().center() - centre).manhattanLength() <= 1,
                qPrintable(QStringLiteral("%1,%2")
                               .arg(window->frameGeometry().center().x())
                               .arg(window->frameGeometry().center().y())));
            window->hide();
        }
    }

    // While the pointer is the hourglass, no move changes it, on either
    // window; once cleared the rules apply again.
    void hourglassStaysOnBothWindows()
    {
        QTemporaryDir dir;
        QVERIFY(QFile::copy(ShippedCursor, dir.filePath(QStringLiteral("HAND-M.CUR"))));
        test::RecordingDesktop d;
        Form1 main(dir.path());
        main.Form_Load();
        Form2& viewer = main.viewer();

        const QList<std::pair<Form*, QWidget*>> windows{
            {&main, main.PushButton5}, {&viewer, viewer.PushButton4}};
        for (const auto& [window, button] : windows) {
            window->show();
            QVERIFY(QTest::qWaitForWindowExposed(window, 60000));
            window->setMousePointer(vbHourglass);
            QCOMPARE(window->cursor().shape(), Qt::WaitCursor);
            for (int i = 0; i < 3; ++i) {
                moveMouse(button, centreOf(button) + QPoint(i, 0));
                moveMouse(window, button->geometry().bottomLeft() + QPoint(-3, 2 + i));
            }
            QCoreApplication::processEvents();
            QCOMPARE(window->MousePointer(), int(vbHourglass));
            QCOMPARE(window->cursor().shape(), Qt::WaitCursor);

            window->setMousePointer(vbDefault);
            moveMouse(button, centreOf(button));
            QCOMPARE(window->MousePointer(), int(vbCustom));
            QCOMPARE(window->cursor().shape(), Qt::BitmapCursor);
            window->hide();
        }
    }

    // ---- the hand cursor as shipped ------------------------------------------

    void shippedCursorHasItsHotSpotAtTheFingertip()
    {
        const QByteArray file = test::contents(ShippedCursor);
        QVERIFY(file.size() >= 22);
        QCOMPARE(le16(file, 0), quint16(0));
        QCOMPARE(le16(file, 2), quint16(2)); // a cursor, not an icon
        QCOMPARE(le16(file, 4), quint16(1));
        QCOMPARE(int(static_cast<unsigned char>(file[6])), 32);
        QCOMPARE(int(static_cast<unsigned char>(file[7])), 32);
        const QPoint hot(le16(file, 10), le16(file, 12));

        const QCursor cursor = loadCursorFile(ShippedCursor);
        QCOMPARE(cursor.hotSpot(), hot);
        const QImage image = cursor.pixmap().toImage().convertToFormat(QImage::Format_ARGB32);
        QCOMPARE(image.size(), QSize(32, 32));
        // The hot spot is on the drawing, and nothing of it lies higher:
        // the tip of the pointing finger.
        QCOMPARE(qAlpha(image.pixel(hot)), 255);
        for (int y = 0; y < hot.y(); ++y)
            for (int x = 0; x < 32; ++x)
                QCOMPARE(qAlpha(image.pixel(x, y)), 0);
        // A hand, not a block: a good part is see-through.
        int opaque = 0;
        for (int y = 0; y < 32; ++y)
            for (int x = 0; x < 32; ++x)
                opaque += qAlpha(image.pixel(x, y)) == 255;
        QVERIFY(opaque > 150 && opaque < 700);
    }

    // The hot spot is read from the file, whatever it holds.
    void hotSpotComesFromTheFile()
    {
        QByteArray file = test::contents(ShippedCursor);
        setLe16(file, 10, 3);
        setLe16(file, 12, 20);
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("moved.cur"));
        writeFile(path, file);
        QCOMPARE(loadCursorFile(path).hotSpot(), QPoint(3, 20));
    }

    void brokenCursorFiles_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("problem");
        const QByteArray shipped = test::contents(ShippedCursor);
        QByteArray outside = shipped;
        setLe16(outside, 10, 32);
        setLe16(outside, 12, 5);
        QTest::newRow("text") << QByteArray("not a cursor at all, just text")
                              << "the file is not a cursor file";
        QTest::newRow("header only") << shipped.left(22) << QString();
        QTest::newRow("hot spot outside") << outside << "the hot spot (32, 5) lies outside the 32 x 32 image";
    }

    void brokenCursorFiles()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, problem);
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("HAND-M.CUR"));
        writeFile(path, bytes);
        const QString error = loadCursorError(path);
        QVERIFY2(error.startsWith(QStringLiteral("Cannot load the cursor ") + path + QStringLiteral(": ")),
            qPrintable(error));
        if (!problem.isEmpty())
            QCOMPARE(error.section(QStringLiteral(": "), 1), problem);

        // At start-up such a file is reported at line 106, and the window
        // keeps the default pointer.
        test::RecordingDesktop d;
        Form1 form(dir.path());
        form.Form_Load();
        QVERIFY(!d.messages.isEmpty());
        QVERIFY(d.messages.first().text.startsWith(
            error + QStringLiteral("\nin Orvane_Capture_Desk2021/08/31.Form1.Form_Load at line 106")));
        QVERIFY(!form.hasMouseIcon());
    }

    void missingCursorFile()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("HAND-M.CUR"));
        QCOMPARE(loadCursorError(path),
            QStringLiteral("Cannot load the cursor ") + path + QStringLiteral(": No such file or directory"));
    }

    // ---- identity and help ----------------------------------------------------

    void programIconHasFourImages()
    {
        const QIcon icon = applicationIcon();
        QCOMPARE(icon.availableSizes(), (QList<QSize>{{32, 32}, {48, 48}, {128, 128}, {256, 256}}));
        for (const int size : {32, 48, 128, 256}) {
            const QImage image = icon.pixmap(size, size).toImage();
            QCOMPARE(image.size(), QSize(size, size));
            // Drawn, not empty: the centre is opaque.
            QCOMPARE(qAlpha(image.pixel(size / 2, size / 2)), 255);
        }
        QTemporaryDir dir;
        test::RecordingDesktop d;
        Form1 form(dir.path());
        form.Form_Load();
        QCOMPARE(form.windowIcon().availableSizes().size(), 4);
    }

    void helpNamesTheContactForm()
    {
        QTemporaryDir dir;
        test::RecordingDesktop d;
        Form1 form(dir.path());
        form.Form_Load();
        d.messages.clear();
        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form, 60000));
        const QString title = form.windowTitle();
        QTest::mouseClick(form.PushButton7, Qt::LeftButton);
        form.PushButton7->click();
        QCOMPARE(d.messages.size(), 2);
        for (const test::Message& m : d.messages) {
            QCOMPARE(m.text,
                QStringLiteral("Questions? Please contact Team Tarnwick at " ORVANE_CONTACT_FORM_URL));
            QCOMPARE(m.title, QStringLiteral("Orvane Capture"));
            QCOMPARE(m.icon, MessageIcon::None);
        }
        QCOMPARE(form.windowTitle(), title);
        QVERIFY(form.isVisible());
    }

    void helpFailureIsReportedAtLine100()
    {
        QTemporaryDir dir;
        test::RecordingDesktop d;
        Form1 form(dir.path());
        d.duringModal
            = [] { raiseError(ErrInvalidCall, QStringLiteral("the message box could not be shown")); };
        form.PushButton7_Click();
        QCOMPARE(d.messages.size(), 2);
        QCOMPARE(d.messages[1].title, QStringLiteral("Application Error"));
        QVERIFY(d.messages[1].text.startsWith(
            QStringLiteral("the message box could not be shown\nin "
                           "Orvane_Capture_Desk2021/08/31.Form1.PushButton7_Click at line 100\n")));
    }

    // The keyboard focus is marked on the default button, which the style
    // otherwise draws just as a focused one, and on scroll bars, which it
    // otherwise does not mark; focus from the mouse is not marked.
    void keyboardFocusIsMarked()
    {
        const std::unique_ptr<QStyle> style(focusMarkingStyle());
        QDialog window;
        auto* other = new QPushButton(QStringLiteral("Other"), &window);
        auto* scan = new QPushButton(QStringLiteral("Scan"), &window);
        auto* bar = new QScrollBar(Qt::Vertical, &window);
        bar->setFocusPolicy(Qt::StrongFocus);
        other->setGeometry(0, 0, 80, 30);
        scan->setGeometry(0, 40, 80, 30);
        bar->setGeometry(100, 0, 16, 120);
        for (QWidget* w : std::initializer_list<QWidget*>{other, scan, bar})
            w->setStyle(style.get());
        scan->setDefault(true);
        window.resize(140, 130);
        window.show();
        QVERIFY(QTest::qWaitForWindowActive(&window));

        const auto shot = [](QWidget* w) { return w->grab().toImage(); };
        // (A focused button of a dialog takes over as its default button.)
        other->setFocus(Qt::MouseFocusReason);
        const QImage barPlain = shot(bar);
        bar->setFocus(Qt::MouseFocusReason);
        const QImage scanPlain = shot(scan);
        window.setAttribute(Qt::WA_KeyboardFocusChange);
        scan->setFocus(Qt::TabFocusReason);
        QVERIFY(shot(scan) != scanPlain);
        bar->setFocus(Qt::TabFocusReason);
        QVERIFY(shot(bar) != barPlain);
        QCOMPARE(shot(scan), scanPlain);

        window.setAttribute(Qt::WA_KeyboardFocusChange, false);
        bar->setFocus(Qt::MouseFocusReason);
        QCOMPARE(shot(bar), barPlain);
    }
};

QTEST_MAIN(TestAppearance)
#include "test_appearance.moc"
