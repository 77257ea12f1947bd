// The viewer window: scroll-bar layout and scrolling, when the layout is
// redone, "< Back", and the in-process save commands (dialog, writer,
// "Done.").
#include "app/Form1.h"
#include "common/RecordingDesktop.h"
#include "common/ScannerStub.h"
#include "scan/ScanCommands.h"
#include "scan/Scanner.h"
#include "shell/Globals.h"
#include "shell/PictureBox.h"
#include "shell/PushButton.h"
#include "viewer/Form2.h"
#include "writers/BmpExport.h"

#include <QAccessible>
#include <QApplication>
#include <QFile>
#include <QImageReader>
#include <QLineEdit>
#include <QMouseEvent>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QTest>
#include <QWheelEvent>

using namespace orvane;

namespace {

QImage picture(int width, int height, QImage::Format format = QImage::Format_RGB32)
{
    QImage image(width, height, format);
    if (format == QImage::Format_Indexed8) {
        QList<QRgb> gray;
        for (int i = 0; i < 256; ++i)
            gray << qRgb(i, i, i);
        image.setColorTable(gray);
    }
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            image.setPixel(
                x, y, format == QImage::Format_Indexed8 ? (x + y) % 256 : qRgb(x % 256, y % 256, 128));
    return image;
}

// The main window with a scanner that delivers the picture a test chooses:
// the picture reaches the viewer through the real "Scan Image".
struct Viewer {
    QTemporaryDir scans;
    Form1 main;
    Form2& view;
    explicit Viewer(const QString& folder)
        : main(installScanner(folder))
        , view(main.viewer())
    {
        main.Form_Load();
    }

    static QString installScanner(const QString& folder)
    {
        test::installStub(folder, QStringLiteral("stub_copies"));
        return folder;
    }

    void show(const QImage& image)
    {
        const QString file = scans.filePath(QStringLiteral("delivered.bmp"));
        SavePicture(image, file);
        qputenv("ORVANE_STUB_PICTURE", QFile::encodeName(file));
        ScanImage(main);
        QVERIFY(view.isVisible());
        QVERIFY(!main.isVisible());
        // The window system's own activation news arrives before the
        // user's next click does.
        QCoreApplication::processEvents();
    }

    ~Viewer() { test::resetScanner(); }
};

void wheel(QWidget* over, QPoint delta, Qt::KeyboardModifiers modifiers = Qt::NoModifier)
{
    const QPointF at(over->width() / 2.0, over->height() / 2.0);
    QWheelEvent event(
        at, over->mapToGlobal(at), QPoint(), delta, Qt::NoButton, modifiers, Qt::NoScrollPhase, false);
    QApplication::sendEvent(over, &event);
}

// Press, move in three steps, release; as the window system delivers a
// drag, to the widget pressed on.
void drag(QWidget* on, QPoint from, QPoint by, Qt::MouseButton button = Qt::LeftButton)
{
    const QPointF global = on->mapToGlobal(QPointF(from));
    auto send = [&](QEvent::Type type, QPointF offset, Qt::MouseButtons buttons) {
        const QPointF local = on->mapFromGlobal(global + offset);
        QMouseEvent event(type, local, local, global + offset,
            type == QEvent::MouseMove ? Qt::NoButton : button, buttons, Qt::NoModifier);
        QApplication::sendEvent(on, &event);
    };
    send(QEvent::MouseButtonPress, {}, button);
    for (int i = 1; i <= 3; ++i)
        send(QEvent::MouseMove, QPointF(by) * i / 3.0, button);
    send(QEvent::MouseButtonRelease, QPointF(by), Qt::NoButton);
}

} // namespace

class TestViewer : public QObject {
    Q_OBJECT
    QTemporaryDir folder_;

private Q_SLOTS:
    void layout()
    {
        test::RecordingDesktop d;
        Viewer v(folder_.path());
        QCOMPARE(v.view.size(), QSize(536, 639));
        QCOMPARE(v.view.Picture2->geometry(), QRect(8, 112, 504, 502));
        QCOMPARE(v.view.VScroll1->geometry(), QRect(512, 112, 17, 519));
        QCOMPARE(v.view.HScroll1->geometry(), QRect(8, 614, 504, 17));
        // The captions as designed, each with an access key of its own,
        // which only underlines its letter.
        QStringList shown, keys;
        for (QPushButton* b : {v.view.PushButton1, v.view.PushButton2, v.view.PushButton3, v.view.PushButton4,
                 v.view.PushButton5}) {
            shown << QString(b->text()).remove(QLatin1Char('&'));
            keys << b->text().mid(b->text().indexOf(QLatin1Char('&')) + 1, 1).toUpper();
        }
        QCOMPARE(shown, QStringList({"Save As JPG", "< Back", "Save As BMP", "Save As TIFF", "Save As PNG"}));
        QCOMPARE(QSet<QString>(keys.begin(), keys.end()).size(), 5);
        QCOMPARE(v.view.PushButton2->text(), QStringLiteral("< &Back"));
        QCOMPARE(v.view.PushButton4->geometry(), QRect(8, 76, 256, 27));
        QCOMPARE(v.view.windowTitle(), QStringLiteral("Orvane Capture Desk"));
        // The first layout is made with the box at its design size: both
        // bars off.
        QVERIFY(!v.view.HScroll1->isEnabled());
        QVERIFY(!v.view.VScroll1->isEnabled());
        QVERIFY(d.messages.isEmpty());
    }

    // Horizontal overflow against the 504-pixel viewport: whether the bar
    // works, its maximum and step, how far the picture moves at the last
    // position, and the last picture column then visible (a column past the
    // picture's edge means background shows).
    void scrollBars_data()
    {
        QTest::addColumn<int>("overflow");
        QTest::addColumn<bool>("enabled");
        QTest::addColumn<int>("maximum");
        QTest::addColumn<int>("step");
        QTest::addColumn<int>("farthest");
        QTest::newRow("smaller") << -20 << false << 0 << 0 << 0;
        QTest::newRow("exactly equal") << 0 << false << 0 << 0 << 0;
        QTest::newRow("1") << 1 << true << 1 << 1 << 1;
        QTest::newRow("100") << 100 << true << 100 << 1 << 100;
        QTest::newRow("101") << 101 << true << 10 << 10 << 100;
        QTest::newRow("105 rounds down to even") << 105 << true << 10 << 10 << 100;
        QTest::newRow("115 rounds up to even") << 115 << true << 12 << 10 << 120;
        QTest::newRow("beyond 16 bits") << 400000 << true << 40000 << 10 << 400000;
    }
    void scrollBars()
    {
        QFETCH(int, overflow);
        QFETCH(bool, enabled);
        QFETCH(int, maximum);
        QFETCH(int, step);
        QFETCH(int, farthest);
        test::RecordingDesktop d;
        Viewer v(folder_.path());
        const int width = 504 + overflow;
        v.show(picture(width, 20, QImage::Format_Indexed8));
        QScrollBar* bar = v.view.HScroll1;
        QCOMPARE(bar->isEnabled(), enabled);
        QCOMPARE(int(v.view.scrollStepX()), step);
        QCOMPARE(v.view.picScan->pos(), QPoint(0, 0));
        if (!enabled)
            return;
        QCOMPARE(bar->maximum(), maximum);
        QCOMPARE(bar->value(), 0);
        bar->setValue(bar->maximum());
        QCOMPARE(v.view.picScan->x(), -farthest);
        // What the viewport's last column shows at the farthest position:
        // that picture column, or the background beyond the picture's edge.
        if (width < 4096) {
            const QImage shot = v.view.Picture2->grab().toImage();
            const int column = farthest + 504 - 1;
            const QRgb expected = column < width ? qRgb(column % 256, column % 256, column % 256)
                                                 : v.view.Picture2->palette().color(QPalette::Base).rgb();
            QCOMPARE(QColor(shot.pixel(503, 0)), QColor(expected));
        }
        bar->setValue(1);
        QCOMPARE(v.view.picScan->x(), -step);
        QVERIFY(d.messages.isEmpty());
    }

    void verticalBarFollowsTheSameRules()
    {
        test::RecordingDesktop d;
        Viewer v(folder_.path());
        v.show(picture(30, 502 + 115));
        QVERIFY(!v.view.HScroll1->isEnabled());
        QCOMPARE(v.view.VScroll1->maximum(), 12);
        QCOMPARE(int(v.view.scrollStepY()), 10);
        v.view.VScroll1->setValue(12);
        QCOMPARE(v.view.picScan->y(), -120);
    }

    // A disabled bar keeps the maximum and thumb it had for the previous
    // picture, and the picture does not move.
    void disabledBarKeepsItsState()
    {
        test::RecordingDesktop d;
        Viewer v(folder_.path());
        v.show(picture(504 + 50, 10));
        v.view.HScroll1->setValue(30);
        v.view.PushButton2_Click();
        v.show(picture(100, 10));
        QVERIFY(!v.view.HScroll1->isEnabled());
        QCOMPARE(v.view.HScroll1->maximum(), 50);
        QCOMPARE(v.view.HScroll1->value(), 30);
        QCOMPARE(v.view.picScan->pos(), QPoint(0, 0));
        QCOMPARE(v.view.picScan->size(), QSize(100, 10));
    }

    // The layout is redone when the viewer takes over from the main window,
    // not when the user comes back from another application or from a
    // message box of the viewer.
    void activationResetsOnlyWhenTakingOver()
    {
        test::RecordingDesktop d;
        Viewer v(folder_.path());
        v.show(picture(2000, 2000));
        v.view.HScroll1->setValue(40);
        v.view.VScroll1->setValue(20);
        QCOMPARE(v.view.picScan->pos(), QPoint(-400, -200));

        v.view.noteActivated(); // back from another application
        QCOMPARE(v.view.picScan->pos(), QPoint(-400, -200));
        d.showMessage(&v.view, QStringLiteral("x"), QStringLiteral("t"), MessageIcon::None);
        v.view.noteActivated();
        QCOMPARE(v.view.HScroll1->value(), 40);

        v.view.PushButton2_Click();
        QVERIFY(v.main.isVisible());
        QVERIFY(!v.view.isVisible());
        v.show(picture(3000, 600));
        QCOMPARE(v.view.picScan->pos(), QPoint(0, 0));
        QCOMPARE(v.view.HScroll1->value(), 0);
        QCOMPARE(v.view.picScan->size(), QSize(3000, 600));
    }

    void saveCommands_data()
    {
        QTest::addColumn<int>("button");
        QTest::addColumn<QString>("filter");
        QTest::addColumn<QByteArray>("readerFormat");
        QTest::newRow("JPG") << 1 << "JPG Files (*.jpg)" << QByteArray("jpeg");
        QTest::newRow("BMP") << 3 << "BMP Files (*.bmp)" << QByteArray("bmp");
    }
    // The dialog opens empty each time with one filter; the path is used as
    // chosen (no extension added); "Done." follows the written file.
    void saveCommands()
    {
        QFETCH(int, button);
        QFETCH(QString, filter);
        QFETCH(QByteArray, readerFormat);
        test::RecordingDesktop d;
        Viewer v(folder_.path());
        const QImage image = picture(700, 650);
        v.show(image);
        v.view.HScroll1->setValue(10); // the scroll position does not matter
        const QString path = folder_.filePath(QStringLiteral("scan ") + QString::number(button));
        auto click = [&] { button == 1 ? v.view.PushButton1_Click() : v.view.PushButton3_Click(); };

        click(); // cancelled
        QVERIFY(d.messages.isEmpty());
        QVERIFY(!QFile::exists(path));

        d.saveAnswers = {path};
        v.view.CommonDialog1.FileName = QStringLiteral("left over from before");
        bool openedEmpty = false;
        d.duringModal = [&] { openedEmpty = v.view.CommonDialog1.FileName.isEmpty(); };
        click();
        QVERIFY(openedEmpty);
        QCOMPARE(d.saveDialogTitles, (QStringList{"Save Image", "Save Image"}));
        QCOMPARE(d.saveDialogFilters, (QStringList{filter, filter}));
        QCOMPARE(d.texts(), QStringList{QStringLiteral("Done.")});
        QCOMPARE(d.messages[0].title, QStringLiteral("Orvane Capture"));
        QImageReader reader(path);
        QCOMPARE(reader.format(), readerFormat);
        QCOMPARE(reader.size(), image.size());
        QVERIFY(v.view.CommonDialog1.FileName == path);
    }

    void failedSaveIsReportedWithoutDone()
    {
        test::RecordingDesktop d;
        Viewer v(folder_.path());
        v.show(picture(50, 50));
        d.saveAnswers = {folder_.filePath(QStringLiteral("missing/folder/x.bmp"))};
        v.view.PushButton3_Click();
        QCOMPARE(d.messages.size(), 1);
        QCOMPARE(d.messages[0].title, QStringLiteral("Application Error"));
        QVERIFY2(d.messages[0].text.contains(QStringLiteral(
                     "\nin Orvane_Capture_Desk2021/08/31.Form2.PushButton3_Click at line 122\n")),
            qPrintable(d.messages[0].text));
        d.messages.clear();
        d.saveAnswers = {folder_.filePath(QStringLiteral("missing/folder/x.jpg"))};
        v.view.PushButton1_Click();
        QCOMPARE(d.messages.size(), 1);
        QVERIFY(d.messages[0].text.startsWith(QStringLiteral("Cannot save the image. GDI+ Error:")));
        QVERIFY(d.messages[0].text.contains(QStringLiteral("PushButton1_Click at line 122\n")));
    }

    // The viewport shows exactly the part of the picture the bars point at,
    // for colour, gray and line-art pictures.
    void paintsTheVisiblePart_data()
    {
        QTest::addColumn<int>("format");
        QTest::newRow("colour") << int(QImage::Format_RGB32);
        QTest::newRow("gray") << int(QImage::Format_Indexed8);
        QTest::newRow("line art") << int(QImage::Format_Mono);
    }
    void paintsTheVisiblePart()
    {
        QFETCH(int, format);
        test::RecordingDesktop d;
        Viewer v(folder_.path());
        QImage image = picture(
            1200, 900, format == QImage::Format_RGB32 ? QImage::Format_RGB32 : QImage::Format_Indexed8);
        if (format == QImage::Format_Mono)
            image = image.convertToFormat(QImage::Format_Mono, Qt::ThresholdDither);
        v.show(image);
        v.view.HScroll1->setValue(30);
        v.view.VScroll1->setValue(20);
        const QImage shot = v.view.Picture2->grab().toImage().convertToFormat(QImage::Format_RGB32);
        QCOMPARE(shot.size(), QSize(504, 502));
        QCOMPARE(shot, image.copy(300, 200, 504, 502).convertToFormat(QImage::Format_RGB32));
    }

    // The bars take the keyboard focus in tab order (8, then 9) and move by
    // one unit a key: arrows, Page Up/Down, Home/End.
    void keyboardMovesTheBars_data()
    {
        QTest::addColumn<bool>("vertical");
        QTest::addColumn<int>("key");
        QTest::addColumn<int>("from");
        QTest::addColumn<int>("to");
        QTest::newRow("Down") << true << int(Qt::Key_Down) << 5 << 6;
        QTest::newRow("Up") << true << int(Qt::Key_Up) << 5 << 4;
        QTest::newRow("Page Down") << true << int(Qt::Key_PageDown) << 5 << 6;
        QTest::newRow("Page Up") << true << int(Qt::Key_PageUp) << 5 << 4;
        QTest::newRow("End") << true << int(Qt::Key_End) << 5 << 40;
        QTest::newRow("Home") << true << int(Qt::Key_Home) << 5 << 0;
        QTest::newRow("Up at the top") << true << int(Qt::Key_Up) << 0 << 0;
        QTest::newRow("Right") << false << int(Qt::Key_Right) << 5 << 6;
        QTest::newRow("Left") << false << int(Qt::Key_Left) << 5 << 4;
        QTest::newRow("Page Down, across") << false << int(Qt::Key_PageDown) << 5 << 6;
        QTest::newRow("End, across") << false << int(Qt::Key_End) << 5 << 60;
        QTest::newRow("Right at the end") << false << int(Qt::Key_Right) << 60 << 60;
    }
    void keyboardMovesTheBars()
    {
        QFETCH(bool, vertical);
        QFETCH(int, key);
        QFETCH(int, from);
        QFETCH(int, to);
        test::RecordingDesktop d;
        Viewer v(folder_.path());
        v.show(picture(504 + 600, 502 + 400)); // steps of 10: maxima 60 and 40
        QVERIFY(QTest::qWaitForWindowActive(&v.view, 60000));
        QCOMPARE(QApplication::focusWidget(), static_cast<QWidget*>(v.view.Text1));
        // Tab from the unseen text box: the five buttons, then the bars.
        for (int i = 0; i < 6; ++i)
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), static_cast<QWidget*>(v.view.VScroll1));
        if (!vertical)
            QTest::keyClick(v.view.VScroll1, Qt::Key_Tab);
        QScrollBar* bar = vertical ? v.view.VScroll1 : v.view.HScroll1;
        QCOMPARE(QApplication::focusWidget(), static_cast<QWidget*>(bar));
        bar->setValue(from);
        QTest::keyClick(bar, Qt::Key(key));
        QCOMPARE(bar->value(), to);
        const QPoint expected = vertical ? QPoint(0, -10 * to) : QPoint(-10 * to, 0);
        QCOMPARE(v.view.picScan->pos(), expected);
    }

    // A disabled bar takes no focus and ignores keys, the wheel and drags;
    // the other bar keeps working.
    void disabledBarIgnoresEverything()
    {
        test::RecordingDesktop d;
        Viewer v(folder_.path());
        v.show(picture(504 + 50, 300)); // across: step 1, max 50; down: off
        QVERIFY(QTest::qWaitForWindowActive(&v.view, 60000));
        for (int i = 0; i < 6; ++i)
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), static_cast<QWidget*>(v.view.HScroll1)); // tab stop 8 skipped
        QTest::keyClick(v.view.VScroll1, Qt::Key_PageDown);
        wheel(v.view.picScan, QPoint(0, -120));
        drag(v.view.picScan, QPoint(60, 60), QPoint(-10, -20));
        QCOMPARE(v.view.VScroll1->value(), 0);
        QCOMPARE(v.view.picScan->y(), 0);
        QCOMPARE(v.view.HScroll1->value(), 10); // the drag, across only
        QCOMPARE(v.view.picScan->x(), -10);
    }

    // The wheel over the picture (or the empty viewport) moves the bars by
    // the desktop's lines per notch, one unit a line: down vertically,
    // across with Shift or a sideways wheel. Finer wheels add up to notches.
    void wheelScrollsThroughTheBars_data()
    {
        QTest::addColumn<QPoint>("delta");
        QTest::addColumn<int>("modifiers");
        QTest::addColumn<int>("notches");
        QTest::addColumn<QPoint>("units");
        const int lines = QApplication::wheelScrollLines();
        QTest::newRow("down one notch") << QPoint(0, -120) << 0 << 1 << QPoint(0, lines);
        QTest::newRow("up one notch") << QPoint(0, 120) << 0 << 1 << QPoint(0, -lines);
        QTest::newRow("Shift: across") << QPoint(0, -120) << int(Qt::ShiftModifier) << 1 << QPoint(lines, 0);
        QTest::newRow("sideways wheel") << QPoint(-120, 0) << 0 << 1 << QPoint(lines, 0);
        QTest::newRow("fine wheel, 4 x 30") << QPoint(0, -30) << 0 << 4 << QPoint(0, lines);
        QTest::newRow("fine wheel, 3 x 30: not yet") << QPoint(0, -30) << 0 << 3 << QPoint(0, 0);
    }
    void wheelScrollsThroughTheBars()
    {
        QFETCH(QPoint, delta);
        QFETCH(int, modifiers);
        QFETCH(int, notches);
        QFETCH(QPoint, units);
        test::RecordingDesktop d;
        Viewer v(folder_.path());
        v.show(picture(504 + 600, 502 + 400));
        v.view.HScroll1->setValue(20);
        v.view.VScroll1->setValue(20);
        int hChanges = 0;
        connect(v.view.HScroll1, &QScrollBar::valueChanged, this, [&] { ++hChanges; });
        for (int i = 0; i < notches; ++i)
            wheel(i % 2 ? static_cast<QWidget*>(v.view.picScan) : v.view.Picture2, delta,
                Qt::KeyboardModifiers(modifiers));
        QCOMPARE(QPoint(v.view.HScroll1->value(), v.view.VScroll1->value()), QPoint(20, 20) + units);
        QCOMPARE(v.view.picScan->pos(), -10 * (QPoint(20, 20) + units));
        QCOMPARE(hChanges, units.x() != 0 ? 1 : 0);
    }

    // Dragging with the left button pans the picture a whole unit at a time
    // through the bars; other buttons do nothing.
    void dragPansThroughTheBars()
    {
        test::RecordingDesktop d;
        Viewer v(folder_.path());
        v.show(picture(504 + 600, 502 + 60)); // across: step 10; down: step 1
        v.view.HScroll1->setValue(30);
        v.view.VScroll1->setValue(30);
        drag(v.view.picScan, QPoint(200, 200), QPoint(-25, 7));
        QCOMPARE(v.view.HScroll1->value(), 32);
        QCOMPARE(v.view.VScroll1->value(), 23);
        QCOMPARE(v.view.picScan->pos(), QPoint(-320, -23));
        drag(v.view.picScan, QPoint(400, 100), QPoint(1000, 1000)); // beyond the start
        QCOMPARE(v.view.HScroll1->value(), 0);
        QCOMPARE(v.view.VScroll1->value(), 0);
        drag(v.view.picScan, QPoint(100, 100), QPoint(-50, -50), Qt::RightButton);
        QCOMPARE(v.view.picScan->pos(), QPoint(0, 0));
    }

    // A gray picture whose palette is shorter than its pixel values shows
    // the missing entries as Qt turns them into colours (black), not
    // whatever lies behind the palette.
    void shortPaletteShowsAsQtConvertsIt()
    {
        QImage image(64, 8, QImage::Format_Indexed8);
        image.setColorTable({qRgb(255, 255, 255), qRgb(200, 0, 0)});
        // Columns 0 and 1 use the two entries, the others values from 8 to
        // 252 beyond them (setPixel refuses such indices).
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x)
                image.scanLine(y)[x] = uchar(x < 2 ? x : x * 4);
        PictureBox box;
        box.setAutoSize(true);
        box.setPicture(image);
        const QImage shot = box.grab().toImage().convertToFormat(QImage::Format_RGB32);
        QCOMPARE(shot.size(), image.size());
        for (int y = 0; y < shot.height(); ++y)
            for (int x = 0; x < shot.width(); ++x) {
                const QRgb expected = x == 0 ? qRgb(255, 255, 255) : x == 1 ? qRgb(200, 0, 0) : qRgb(0, 0, 0);
                if (shot.pixel(x, y) != expected)
                    QFAIL(qPrintable(
                        QStringLiteral("pixel %1,%2 is %3").arg(x).arg(y).arg(shot.pixel(x, y), 8, 16)));
            }
    }

    // What a screen reader reads of both windows: a frame each, without the
    // unseen text box and picture buffer; the picture as an image named for
    // the picture it shows now; the bars by their direction.
    void screenReadersHearWhatIsShown()
    {
        test::RecordingDesktop d;
        Viewer v(folder_.path());
        v.show(picture(700, 600));
        QAccessibleInterface* window = QAccessible::queryAccessibleInterface(&v.view);
        QCOMPARE(window->role(), QAccessible::Window);
        QAccessibleInterface* image = QAccessible::queryAccessibleInterface(v.view.picScan);
        QCOMPARE(image->role(), QAccessible::Graphic);
        QCOMPARE(image->text(QAccessible::Name), QStringLiteral("Scanned picture, 700 × 600 pixels"));
        QCOMPARE(QAccessible::queryAccessibleInterface(v.view.HScroll1)->text(QAccessible::Name),
            QStringLiteral("Horizontal scroll"));
        QCOMPARE(QAccessible::queryAccessibleInterface(v.view.VScroll1)->text(QAccessible::Name),
            QStringLiteral("Vertical scroll"));

        QStringList names;
        for (int i = 0; i < window->childCount(); ++i) {
            QAccessibleInterface* child = window->child(i);
            QVERIFY(child && child->isValid());
            QCOMPARE(window->indexOfChild(child), i);
            if (child->role() == QAccessible::Button)
                names << child->text(QAccessible::Name);
        }
        QCOMPARE(names.size(), 5);
        QAccessibleInterface* text1 = QAccessible::queryAccessibleInterface(v.view.Text1);
        QVERIFY(!text1->isValid());
        QCOMPARE(window->indexOfChild(text1), -1);
        // Text1 holds the focus as the window opens; what a screen reader
        // is told has it is the picture, with its size. Once Tab moves on,
        // the picture is no longer focused.
        QCOMPARE(QApplication::focusWidget(), static_cast<QWidget*>(v.view.Text1));
        QCOMPARE(window->focusChild(), image);
        QVERIFY(image->state().focusable);
        QCOMPARE(image->state().focused, v.view.isActiveWindow());
        v.view.PushButton1->setFocus();
        QCOMPARE(window->focusChild(), QAccessible::queryAccessibleInterface(v.view.PushButton1));
        QVERIFY(!image->state().focused);
        v.view.Text1->setFocus();

        QAccessibleInterface* main = QAccessible::queryAccessibleInterface(&v.main);
        QCOMPARE(main->role(), QAccessible::Window);
        QCOMPARE(main->childCount(), 3); // the three buttons, no picture buffer
        QVERIFY(!QAccessible::queryAccessibleInterface(v.main.picBuffer)->isValid());

        // The next picture renames the image.
        v.view.PushButton2_Click();
        v.show(picture(30, 40));
        QCOMPARE(image->text(QAccessible::Name), QStringLiteral("Scanned picture, 30 × 40 pixels"));
    }

    // Tab goes round the buttons and the bars and never back to the unseen
    // text box, where the focus would vanish from sight.
    void tabNeverReturnsToTheUnseenTextBox()
    {
        test::RecordingDesktop d;
        Viewer v(folder_.path());
        v.show(picture(504 + 600, 502 + 400));
        QVERIFY(QTest::qWaitForWindowActive(&v.view));
        QSet<QWidget*> reached;
        for (int i = 0; i < 16; ++i) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            reached << QApplication::focusWidget();
        }
        QCOMPARE(reached.size(), 7);
        QVERIFY(!reached.contains(v.view.Text1));
        v.view.PushButton1->setFocus();
        QTest::keyClick(v.view.PushButton1, Qt::Key_Backtab);
        QCOMPARE(QApplication::focusWidget(), static_cast<QWidget*>(v.view.HScroll1));
    }

    void closingTheViewerEndsTheProgram()
    {
        test::RecordingDesktop d;
        Viewer v(folder_.path());
        v.show(picture(10, 10));
        v.view.close();
        QCOMPARE(d.endCalls, 1);
    }
};

QTEST_MAIN(TestViewer)
#include "test_viewer.moc"
