#include "shell/MessageBox.h"

#include <QApplication>
#include <QFontMetrics>
#include <QLabel>
#include <QLayout>
#include <QScreen>
#include <QShowEvent>
#include <QStringList>

namespace orvane {

namespace {

// Room for the window manager's frame on both sides of the box.
constexpr int frameAllowance = 16;

// One line broken at spaces into pieces no wider than `maxWidth`.
QStringList breakLine(const QString& line, const QFontMetrics& metrics, int maxWidth)
{
    QStringList pieces;
    QString current;
    qsizetype i = 0;
    const qsizetype n = line.size();
    while (i < n) {
        // The next word with the spaces in front of it.
        qsizetype start = i;
        while (i < n && line[i] == QLatin1Char(' '))
            ++i;
        const QString gap = line.mid(start, i - start);
        start = i;
        while (i < n && line[i] != QLatin1Char(' '))
            ++i;
        QString word = line.mid(start, i - start);
        if (current.isEmpty() && pieces.isEmpty()) {
            current = gap; // leading spaces stay
        } else if (metrics.horizontalAdvance(current + gap + word) <= maxWidth) {
            current += gap;
        } else {
            // The break falls on the spaces, which are dropped there.
            if (!current.isEmpty())
                pieces << current;
            current.clear();
        }
        // A word wider than the line on its own is broken where it must be.
        while (metrics.horizontalAdvance(current + word) > maxWidth && word.size() > 1) {
            qsizetype fit = 0;
            while (fit < word.size() && metrics.horizontalAdvance(current + word.left(fit + 1)) <= maxWidth)
                ++fit;
            if (fit == 0 && !current.isEmpty()) {
                pieces << current;
                current.clear();
                continue;
            }
            fit = qMax<qsizetype>(fit, 1);
            pieces << current + word.left(fit);
            current.clear();
            word = word.mid(fit);
        }
        current += word;
    }
    pieces << current;
    return pieces;
}

QFont titleFont()
{
    QFont font = QApplication::font("QMdiSubWindowTitleBar");
    font.setBold(true);
    return font;
}

} // namespace

QString breakOverlongLines(const QString& text, const QFontMetrics& metrics, int maxWidth)
{
    QStringList out;
    for (const QString& line : text.split(QLatin1Char('\n'))) {
        if (metrics.horizontalAdvance(line) <= maxWidth)
            out << line;
        else
            out << breakLine(line, metrics, qMax(maxWidth, 1));
    }
    return out.join(QLatin1Char('\n'));
}

MessageBox::MessageBox(MessageIcon icon, const QString& title, const QString& text, QWidget* owner)
    : QMessageBox(icon == MessageIcon::Warning ? QMessageBox::Warning : QMessageBox::NoIcon, title, QString(),
        QMessageBox::Ok, owner)
    , given_(text)
{
    setTextFormat(Qt::PlainText);
    setText(text);
    // Selectable for copying an address or a report; plain text, so there
    // is no link to follow.
    setTextInteractionFlags(Qt::TextSelectableByMouse);
}

void MessageBox::setVisible(bool visible)
{
    if (visible && !isVisible()) {
        ensurePolished();
        fitToLines();
    }
    QMessageBox::setVisible(visible);
}

void MessageBox::showEvent(QShowEvent* event)
{
    QMessageBox::showEvent(event);
    fitToLines();
    // Placed as a dialog is, over its window or the screen, for the size
    // it has now (the dialog placed itself for the size it would have had
    // with wrapped lines).
    QScreen* where = screen() ? screen() : QGuiApplication::primaryScreen();
    if (!where)
        return;
    const QRect area = where->availableGeometry();
    const QWidget* over = parentWidget() ? parentWidget()->window() : nullptr;
    const QPoint centre = over && over->isVisible() ? over->frameGeometry().center() : area.center();
    QRect frame(QPoint(), frameGeometry().size());
    frame.moveCenter(centre);
    frame.moveRight(qMin(frame.right(), area.right()));
    frame.moveBottom(qMin(frame.bottom(), area.bottom()));
    frame.moveLeft(qMax(frame.left(), area.left()));
    frame.moveTop(qMax(frame.top(), area.top()));
    move(frame.topLeft());
}

bool MessageBox::event(QEvent* event)
{
    const bool result = QMessageBox::event(event);
    // QMessageBox sizes itself again on every layout request, wrapping long
    // lines at a width of its own choosing; the lines are put back after it.
    if (event->type() == QEvent::LayoutRequest && isVisible())
        fitToLines();
    return result;
}

void MessageBox::fitToLines()
{
    auto* label = findChild<QLabel*>(QStringLiteral("qt_msgbox_label"));
    if (fitting_ || !label || !layout())
        return;
    fitting_ = true;
    QScreen* where = screen() ? screen() : QGuiApplication::primaryScreen();
    const int available = (where ? where->availableGeometry().width() : 1024) - frameAllowance;

    label->setWordWrap(false);
    layout()->invalidate();
    // What the box needs beside its text: icon, margins, spacing.
    const int besideText = qMax(0, layout()->totalMinimumSize().width() - label->minimumSizeHint().width());
    const QString lines = breakOverlongLines(given_, label->fontMetrics(), available - besideText);
    if (lines != text()) {
        setText(lines);
        label->setWordWrap(false);
        layout()->invalidate();
    }

    const QFontMetrics titleMetrics(titleFont());
    // The title with room for the window manager's icon and buttons.
    const int forTitle = titleMetrics.horizontalAdvance(windowTitle()) + 6 * titleMetrics.height();
    const int width = qMin(qMax(layout()->totalMinimumSize().width(), forTitle), available);
    layout()->activate();
    const int height = layout()->hasHeightForWidth() ? layout()->totalHeightForWidth(width)
                                                     : layout()->totalMinimumSize().height();
    setFixedSize(width, height);
    QCoreApplication::removePostedEvents(this, QEvent::LayoutRequest);
    fitting_ = false;
}

} // namespace orvane
