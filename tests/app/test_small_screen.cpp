// The windows on a 1280x1024 screen at the scale of the test run: the
// viewer is centred where it fits and starts at the top where it is taller
// than the screen, and a message box sits centred over it either way, also
// when the viewer reaches beyond the screen's bottom.
#include "app/Form1.h"
#include "common/RecordingDesktop.h"
#include "shell/MessageBox.h"
#include "viewer/Form2.h"

#include <QApplication>
#include <QScreen>
#include <QTemporaryDir>
#include <QTest>

using namespace orvane;

namespace {

QString where(const QRect& r)
{
    return QStringLiteral("%1,%2 %3x%4").arg(r.x()).arg(r.y()).arg(r.width()).arg(r.height());
}

} // namespace

class TestSmallScreen : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void windowsStayWithinReach()
    {
        QTemporaryDir dir;
        test::RecordingDesktop d;
        Form1 main(dir.path());
        main.Form_Load();
        const QRect area = QGuiApplication::primaryScreen()->availableGeometry();
        for (Form* window : {static_cast<Form*>(&main), static_cast<Form*>(&main.viewer())}) {
            window->showActive();
            QVERIFY(QTest::qWaitForWindowExposed(window, 60000));
            QTRY_VERIFY_WITH_TIMEOUT(window->frameGeometry() != window->geometry(), 60000);
            const QRect frame = window->frameGeometry();
            const QString what = window->objectName() + QLatin1Char(' ') + where(frame);
            // Across: always centred, as both are narrower than the screen.
            QTRY_VERIFY2(
                qAbs(window->frameGeometry().center().x() - area.center().x()) <= 1, qPrintable(what));
            if (frame.height() <= area.height()) {
                QTRY_VERIFY2(
                    qAbs(window->frameGeometry().center().y() - area.center().y()) <= 1, qPrintable(what));
                QVERIFY2(area.contains(window->frameGeometry()), qPrintable(what));
            } else {
                // Title bar and the buttons at the top on the screen.
                QTRY_COMPARE(window->frameGeometry().top(), area.top());
                QVERIFY2(window->geometry().top() > area.top(), qPrintable(what));
            }
            window->hide();
        }
    }

    void messageBoxCentredOverTheViewer()
    {
        QTemporaryDir dir;
        test::RecordingDesktop d;
        Form1 main(dir.path());
        main.Form_Load();
        Form2& viewer = main.viewer();
        viewer.showActive();
        QVERIFY(QTest::qWaitForWindowExposed(&viewer, 60000));
        QTRY_VERIFY_WITH_TIMEOUT(viewer.frameGeometry() != viewer.geometry(), 60000);
        const QRect area = QGuiApplication::primaryScreen()->availableGeometry();
        for (int round = 0; round < 2; ++round) {
            MessageBox box(
                MessageIcon::None, QStringLiteral("Orvane Capture"), QStringLiteral("Done."), &viewer);
            box.show();
            QVERIFY(QTest::qWaitForWindowExposed(&box, 60000));
            QTRY_VERIFY_WITH_TIMEOUT(box.frameGeometry() != box.geometry(), 60000);
            const auto offCentre = [&] {
                return (box.frameGeometry().center() - viewer.frameGeometry().center()).manhattanLength();
            };
            QTRY_VERIFY2(offCentre() <= 2,
                qPrintable(
                    where(box.frameGeometry()) + QLatin1String(" over ") + where(viewer.frameGeometry())));
            QVERIFY(area.contains(box.frameGeometry()));
            // Moved by the user, it stays where it was put.
            const QPoint moved = box.pos() + QPoint(40, 30);
            box.move(moved);
            QTRY_COMPARE(box.pos(), moved);
            QCoreApplication::processEvents();
            QCOMPARE(box.pos(), moved);
            box.hide();
        }
        viewer.hide();
    }
};

QTEST_MAIN(TestSmallScreen)
#include "test_small_screen.moc"
