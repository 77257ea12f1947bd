// Every message the program can show, in the real message box: each line of
// the text stays one line on the screen (nothing wraps in the middle of the
// error report's label line, an address or a file name), the box is wide
// enough for its title, and the text can be selected but opens nothing.
// Run at the default scale and, as separate tests, at QT_SCALE_FACTOR 1.5
// and 2, on a 1920x1080 offscreen screen.
#include "app/Form1.h"
#include "common/RecordingDesktop.h"
#include "scan/ScanCommands.h"
#include "shell/ErrorReport.h"
#include "shell/Main.h"
#include "shell/MessageBox.h"
#include "viewer/Form2.h"

#include "BuildConfig.h"

#include <QApplication>
#include <QDialogButtonBox>
#include <QLabel>
#include <QRegularExpression>
#include <QScreen>
#include <QTemporaryDir>
#include <QTest>

using namespace orvane;

namespace {

const QStringList Labels{QStringLiteral("Form1.Form_Load"), QStringLiteral("Form1.PushButton7_Click"),
    QStringLiteral("Form1.PushButton5_Click"), QStringLiteral("Form1.PushButton3_Click"),
    QStringLiteral("Form2.Form_Load"), QStringLiteral("Form2.Form_Activate"),
    QStringLiteral("Form2.PushButton2_Click"), QStringLiteral("Form2.PushButton1_Click"),
    QStringLiteral("Form2.PushButton3_Click"), QStringLiteral("Form2.PushButton4_Click"),
    QStringLiteral("Form2.PushButton5_Click")};

// Rows of the label that carry ink, grouped into runs: one run a line of
// text. Empty lines carry none.
int inkedLines(QLabel* label)
{
    const QImage shot = label->grab().toImage().convertToFormat(QImage::Format_RGB32);
    const QRgb background = shot.pixel(0, 0);
    int runs = 0;
    bool inRun = false;
    for (int y = 0; y < shot.height(); ++y) {
        bool ink = false;
        for (int x = 0; x < shot.width() && !ink; ++x)
            ink = qGray(shot.pixel(x, y)) < qGray(background) - 60;
        if (ink && !inRun)
            ++runs;
        inRun = ink;
    }
    return runs;
}

int nonEmptyLines(const QString& text)
{
    int n = 0;
    for (const QString& line : text.split(QLatin1Char('\n')))
        n += line.trimmed().isEmpty() ? 0 : 1;
    return n;
}

} // namespace

class TestMessageBoxes : public QObject {
    Q_OBJECT
    QList<test::Message> all_;

private Q_SLOTS:
    // The messages, taken from the program as it shows them.
    void initTestCase()
    {
        QTemporaryDir dir; // no scanner library: the start-up messages
        test::RecordingDesktop d;
        Form1 form(dir.path());
        form.Form_Load(); // the report for line 134, then the library message
        form.PushButton5_Click(); // "Select Scanner" without the library
        form.PushButton7_Click(); // "Help"
        d.saveAnswers = {QStringLiteral("/proc/version/scan.bmp")};
        form.viewer().PushButton3_Click(); // a save that fails, then "Done."
        all_ = d.messages;
        QVERIFY(all_.size() >= 4);
        for (const QString& label : Labels) {
            const auto dot = label.indexOf(QLatin1Char('.'));
            all_.append({errorReportText(QStringLiteral("/proc/version/scan.bmp: Not a directory"),
                             locationLabel(label.left(dot), label.mid(dot + 1)), 122),
                QStringLiteral("Application Error"), MessageIcon::Warning});
        }
        for (int code : {-5, -4, -3, -2, -1, 7})
            all_.append(
                {acquireResultMessage(code), QStringLiteral("Scanner Interface Error"), MessageIcon::None});
        all_.append({QStringLiteral("Done."), applicationTitle(), MessageIcon::None});
        QVERIFY(QGuiApplication::primaryScreen()->geometry().width() >= 1920 / 2);
    }

    void everyLineStaysOneLine()
    {
        const int screenWidth = QGuiApplication::primaryScreen()->availableGeometry().width();
        for (const test::Message& m : std::as_const(all_)) {
            MessageBox box(m.icon, m.title, m.text, nullptr);
            box.show();
            QVERIFY(QTest::qWaitForWindowExposed(&box, 60000));
            QCoreApplication::processEvents();
            auto* label = box.findChild<QLabel*>(QStringLiteral("qt_msgbox_label"));
            QVERIFY(label);
            const QString shown = label->text();
            const QString what = QStringLiteral("%1 [%2] at width %3 of %4")
                                     .arg(m.text, m.title)
                                     .arg(box.width())
                                     .arg(screenWidth);
            // The box never wraps on its own: each line shown is one line.
            QVERIFY2(!label->wordWrap(), qPrintable(what));
            QCOMPARE(inkedLines(label), nonEmptyLines(shown));
            const int lines = int(shown.count(QLatin1Char('\n'))) + 1;
            QVERIFY2(label->height() >= lines * label->fontMetrics().lineSpacing(), qPrintable(what));
            QVERIFY2(
                label->height() < (lines + 1) * label->fontMetrics().lineSpacing() + 8, qPrintable(what));
            // Only a line longer than the screen allows is broken, and only
            // between words: no address or file name is cut.
            if (shown != m.text) {
                QCOMPARE(shown.split(QRegularExpression(QStringLiteral("\\s+")), Qt::SkipEmptyParts),
                    m.text.split(QRegularExpression(QStringLiteral("\\s+")), Qt::SkipEmptyParts));
                for (const QString& line : m.text.split(QLatin1Char('\n')))
                    QVERIFY2(line.isEmpty() || shown.contains(line)
                            || label->fontMetrics().horizontalAdvance(line) > label->width(),
                        qPrintable(line));
            }
            // The error report's lines, and "Help", fit every screen.
            if (m.title == QStringLiteral("Application Error")
                || m.text.startsWith(QStringLiteral("Questions?")) || m.text == QStringLiteral("Done."))
                QVERIFY2(shown == m.text, qPrintable(what + QStringLiteral("\nshown as\n") + shown));
            QVERIFY2(box.width() <= screenWidth, qPrintable(what));
            // On the screen, centred on it (the box has no window of its own).
            const QRect area = QGuiApplication::primaryScreen()->availableGeometry();
            QVERIFY2(area.contains(box.frameGeometry()), qPrintable(what));
            QVERIFY2((box.frameGeometry().center() - area.center()).manhattanLength() <= 2, qPrintable(what));
            // The whole title with room for the frame's icon and buttons.
            QFont titleFont = QApplication::font("QMdiSubWindowTitleBar");
            titleFont.setBold(true);
            const QFontMetrics titleMetrics(titleFont);
            QVERIFY2(box.width() >= titleMetrics.horizontalAdvance(m.title) + 4 * titleMetrics.height(),
                qPrintable(what));
            QCOMPARE(box.textInteractionFlags(), Qt::TextInteractionFlags(Qt::TextSelectableByMouse));
            QCOMPARE(box.findChild<QDialogButtonBox*>()->buttons().size(), 1);
            QCOMPARE(box.windowTitle(), m.title);
            box.close();
        }
    }

    // The contact form's address is whole on one line and can be selected.
    void helpAddressIsWholeAndSelectable()
    {
        const test::Message* help = nullptr;
        for (const test::Message& m : std::as_const(all_))
            if (m.text.startsWith(QStringLiteral("Questions?")))
                help = &m;
        QVERIFY(help);
        MessageBox box(help->icon, help->title, help->text, nullptr);
        box.show();
        QVERIFY(QTest::qWaitForWindowExposed(&box, 60000));
        auto* label = box.findChild<QLabel*>(QStringLiteral("qt_msgbox_label"));
        QCOMPARE(inkedLines(label), 1);
        QVERIFY(label->width() >= label->fontMetrics().horizontalAdvance(help->text));
        QVERIFY(!(label->textInteractionFlags() & Qt::LinksAccessibleByMouse));
        QTest::mouseDClick(label, Qt::LeftButton, {}, QPoint(label->width() - 10, label->height() / 2));
        QVERIFY(label->hasSelectedText());
        label->setSelection(0, int(help->text.size()));
        QCOMPARE(label->selectedText(), help->text);
        QVERIFY(label->selectedText().endsWith(QStringLiteral(ORVANE_CONTACT_FORM_URL)));
    }

    // A line longer than the screen is broken at its spaces; a word that
    // alone is too long only where it must be. Lines that fit stay as they
    // are.
    void overlongLinesBreakAtSpaces_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("widest"); // the widest line that fits
        QTest::addColumn<QString>("expected");
        QTest::newRow("fits") << "one two\nthree"
                              << "one two"
                              << "one two\nthree";
        QTest::newRow("at spaces") << "aaa bbb ccc"
                                   << "aaa bbb"
                                   << "aaa bbb\nccc";
        QTest::newRow("spaces dropped at the break") << "aaa.  bbb"
                                                     << "aaa.  "
                                                     << "aaa.\nbbb";
        QTest::newRow("a long word on its own line") << "x /very/long/name y"
                                                     << "/very/long/name"
                                                     << "x\n/very/long/name\ny";
        QTest::newRow("a word longer than the line") << "x abcdefgh"
                                                     << "abcd"
                                                     << "x\nabcd\nefgh";
        QTest::newRow("empty lines kept") << "a\n\n\nb"
                                          << "a"
                                          << "a\n\n\nb";
    }
    void overlongLinesBreakAtSpaces()
    {
        QFETCH(QString, text);
        QFETCH(QString, widest);
        QFETCH(QString, expected);
        const QFontMetrics metrics(QApplication::font());
        QCOMPARE(breakOverlongLines(text, metrics, metrics.horizontalAdvance(widest)), expected);
    }

    // On a narrow screen the box stays within it, and the broken lines are
    // the only extra lines shown.
    void narrowScreenKeepsTheBoxOnIt()
    {
        const QString address = QStringLiteral(ORVANE_CONTACT_FORM_URL);
        const QString text = QStringLiteral("word ").repeated(200) + address;
        MessageBox box(MessageIcon::None, applicationTitle(), text, nullptr);
        box.show();
        QVERIFY(QTest::qWaitForWindowExposed(&box, 60000));
        auto* label = box.findChild<QLabel*>(QStringLiteral("qt_msgbox_label"));
        const int screenWidth = QGuiApplication::primaryScreen()->availableGeometry().width();
        QVERIFY(box.width() <= screenWidth);
        const QString shown = label->text();
        QVERIFY(shown.count(QLatin1Char('\n')) >= 1);
        QCOMPARE(QString(shown).replace(QLatin1Char('\n'), QLatin1Char(' ')), text);
        QVERIFY(shown.endsWith(QLatin1Char('\n') + address)
            || shown.split(QLatin1Char('\n')).last().endsWith(address));
        QCOMPARE(inkedLines(label), nonEmptyLines(shown));
    }
};

QTEST_MAIN(TestMessageBoxes)
#include "test_message_boxes.moc"
