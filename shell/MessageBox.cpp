#include "shell/MessageBox.h"

#include <QApplication>
#include <QFontMetrics>
#include <QLabel>
#include <QLayout>
#include <QScreen>
#include <QShowEvent>
#include <QStringList>
#include <QTimer>

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
        // Placed before the window is made, so that the window system
        // learns the box's place before it maps it.
        seen_ = false;
        asked_.clear();
        place();
    }
    QMessageBox::setVisible(visible);
    if (!visible)
        placing_ = false;
}

void MessageBox::showEvent(QShowEvent* event)
{
    QMessageBox::showEvent(event);
    fitToLines();
    // QMessageBox has sized itself again for wrapped lines.
    place();
}

void MessageBox::place()
{
    QScreen* where = screen() ? screen() : QGuiApplication::primaryScreen();
    if (!where)
        return;
    const QRect area = where->availableGeometry();
    const QWidget* over = parentWidget() ? parentWidget()->window() : nullptr;
    const bool overWindow = over && over->isVisible();
    const QPoint centre = overWindow ? over->frameGeometry().center() : area.center();
    // The frame around the client area: the box's own once the window
    // manager has framed it, else its window's, which the same window
    // manager draws alike.
    QMargins frame = frameAround();
    if (frame.isNull() && overWindow)
        frame = QMargins(over->geometry().left() - over->frameGeometry().left(),
            over->geometry().top() - over->frameGeometry().top(),
            over->frameGeometry().right() - over->geometry().right(),
            over->frameGeometry().bottom() - over->geometry().bottom());
    QRect outer(QPoint(), (fitted_.isValid() ? fitted_ : size()).grownBy(frame));
    outer.moveCenter(centre);
    outer.moveRight(qMin(outer.right(), area.right()));
    outer.moveBottom(qMin(outer.bottom(), area.bottom()));
    outer.moveLeft(qMax(outer.left(), area.left()));
    outer.moveTop(qMax(outer.top(), area.top()));
    placed_ = outer.topLeft() + QPoint(frame.left(), frame.top());
    placedFrame_ = frame;
    placing_ = true;
    putBack();
}

void MessageBox::putBack()
{
    for (const QPoint& p : {geometry().topLeft(), placed_})
        if (!asked_.contains(p))
            asked_.append(p);
    if (fitted_.isValid() && size() != fitted_)
        resize(fitted_);
    if (geometry().topLeft() != placed_)
        move(placed_ - (geometry().topLeft() - pos()));
}

QMargins MessageBox::frameAround() const
{
    const QRect outer = frameGeometry();
    const QRect inner = geometry();
    // While the window is being framed, and while a late answer to an
    // earlier request has just come, Qt may report a frame that does not
    // fit the window: no frame has a title bar but no top.
    if (inner.size() != fitted_ || !outer.contains(inner) || outer.top() >= inner.top())
        return {};
    return QMargins(inner.left() - outer.left(), inner.top() - outer.top(), outer.right() - inner.right(),
        outer.bottom() - inner.bottom());
}

void MessageBox::followPlacement()
{
    if (!placing_ || !isVisible())
        return;
    const QMargins frame = frameAround();
    if (!frame.isNull() && frame != placedFrame_) {
        place();
        return;
    }
    const QPoint now = geometry().topLeft();
    const bool sized = !fitted_.isValid() || size() == fitted_;
    if (now == placed_ && sized)
        return;
    // Before the box is on the screen no one but the program moved it; a
    // size other than its own, or a place it was once put at, is an
    // earlier request answered late (the window system answers each in
    // turn, and may do so after the box was mapped). The box goes back
    // where it belongs, asked for after whatever Qt asks for in answer.
    if (!seen_ || !sized || asked_.contains(now)) {
        if (!asked_.contains(now))
            asked_.append(now);
        QTimer::singleShot(0, this, [this] {
            if (placing_ && isVisible())
                putBack();
        });
        return;
    }
    // Anywhere else the user moved it.
    placing_ = false;
}

bool MessageBox::event(QEvent* event)
{
    const bool result = QMessageBox::event(event);
    // QMessageBox sizes itself again on every layout request, wrapping long
    // lines at a width of its own choosing; the lines are put back after it.
    if (event->type() == QEvent::LayoutRequest && isVisible())
        fitToLines();
    switch (event->type()) {
    case QEvent::Paint:
        seen_ = true;
        followPlacement();
        break;
    case QEvent::Move:
    case QEvent::Resize:
    case QEvent::WindowActivate:
        followPlacement();
        break;
    default:
        break;
    }
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
    fitted_ = QSize(width, height);
    setFixedSize(fitted_);
    QCoreApplication::removePostedEvents(this, QEvent::LayoutRequest);
    fitting_ = false;
}

} // namespace orvane
