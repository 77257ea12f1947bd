#include "shell/Form.h"

#include "shell/PushButton.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QEvent>
#include <QGuiApplication>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPointer>
#include <QScreen>
#include <QTimer>

namespace orvane {

namespace {

const char* const unseenProperty = "orvaneUnseen";
const char* const standInProperty = "orvaneFocusStandIn";

bool isUnseen(const QObject* object)
{
    return object && object->property(unseenProperty).toBool();
}

// The stand-in of a window's focus (see Form::setFocusStandIn) while the
// unseen text box holds the focus.
QWidget* standInOf(const QWidget* window)
{
    return window ? window->property(standInProperty).value<QWidget*>() : nullptr;
}

// A window as screen readers see it: a frame named by its caption, whose
// children are the controls the user can see. An unseen control is no
// child of it, and the window never reports it as its focus.
class FormAccessible : public QAccessibleWidget {
public:
    explicit FormAccessible(QWidget* form)
        : QAccessibleWidget(form, QAccessible::Window)
    { }

    int childCount() const override { return int(seenChildren().size()); }

    QAccessibleInterface* child(int index) const override
    {
        const QWidgetList children = seenChildren();
        if (index < 0 || index >= children.size())
            return nullptr;
        return QAccessible::queryAccessibleInterface(children.at(index));
    }

    int indexOfChild(const QAccessibleInterface* child) const override
    {
        return child ? int(seenChildren().indexOf(qobject_cast<QWidget*>(child->object()))) : -1;
    }

    QAccessibleInterface* focusChild() const override
    {
        QWidget* focus = widget()->focusWidget();
        if (focus && isUnseen(focus))
            focus = standInOf(widget());
        if (!focus || !widget()->isAncestorOf(focus))
            return nullptr;
        return QAccessible::queryAccessibleInterface(focus);
    }

private:
    QWidgetList seenChildren() const
    {
        QWidgetList children;
        for (QObject* o : widget()->children()) {
            auto* w = qobject_cast<QWidget*>(o);
            if (w && !w->isWindow() && !isUnseen(w))
                children.append(w);
        }
        return children;
    }
};

bool standsInForFocus(const QWidget* control)
{
    const QWidget* window = control->window();
    const QWidget* focus = window->focusWidget();
    return standInOf(window) == control && focus && isUnseen(focus);
}

// A picture box is an image; its window names it for what it shows. As the
// stand-in of the focus it is focusable, and focused while it stands in.
class PictureAccessible : public QAccessibleWidget {
public:
    explicit PictureAccessible(QWidget* picture)
        : QAccessibleWidget(picture, QAccessible::Graphic)
    { }

    QAccessible::State state() const override
    {
        QAccessible::State s = QAccessibleWidget::state();
        if (standInOf(widget()->window()) == widget()) {
            s.focusable = true;
            s.focused = widget()->window()->isActiveWindow() && standsInForFocus(widget());
        }
        return s;
    }
};

// An unseen control has no accessible object a screen reader could reach:
// it is invalid, so its focus and text events carry no object either.
class UnseenAccessible : public QAccessibleWidget {
public:
    using QAccessibleWidget::QAccessibleWidget;
    bool isValid() const override { return false; }
};

QAccessibleInterface* formAccessibleFactory(const QString& className, QObject* object)
{
    if (!object || !object->isWidgetType())
        return nullptr;
    if (isUnseen(object))
        return new UnseenAccessible(static_cast<QWidget*>(object));
    if (className == QLatin1String("orvane::Form"))
        return new FormAccessible(static_cast<QWidget*>(object));
    if (className == QLatin1String("orvane::PictureBox"))
        return new PictureAccessible(static_cast<QWidget*>(object));
    return nullptr;
}

void installFormAccessibility()
{
    static const bool installed = [] {
        QAccessible::installFactory(formAccessibleFactory);
        return true;
    }();
    Q_UNUSED(installed);
}

} // namespace

void Form::hideFromScreenReaders(QWidget* control)
{
    control->setProperty(unseenProperty, true);
}

Form::Form(const char* name, int widthTwips, int heightTwips)
    : QWidget(nullptr,
        Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint
            | Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint)
{
    installFormAccessibility();
    setObjectName(QString::fromLatin1(name));
    setWindowTitle(QString::fromLatin1(name));
    setFixedSize(twips(widthTwips), twips(heightTwips));
    setMouseTracking(true);
    QFont formFont(QStringLiteral("Arial"));
    formFont.setPointSizeF(9);
    formFont.setBold(true);
    setFont(formFont);
    // Created first, so that it comes first in the tab order. It lies
    // beyond the window's edge and only holds the focus off the buttons, so
    // a screen reader announces the window when it opens, not a text field
    // the user cannot see; Tab then reaches the first button. Tab never
    // comes back to it: the focus would vanish from sight there.
    Text1 = new QLineEdit(this);
    Text1->setObjectName(QStringLiteral("Text1"));
    Text1->setFocusPolicy(Qt::ClickFocus);
    hideFromScreenReaders(Text1);
    Text1->setText(QStringLiteral("Text1"));
    placeTwips(Text1, 8160, 150, 1095, 465);
    Text1->setFocus();
}

void Form::setMousePointer(int pointer)
{
    mousePointer_ = pointer;
    switch (pointer) {
    case vbHourglass:
        setCursor(Qt::WaitCursor);
        break;
    case vbCustom:
        if (mouseIcon_)
            setCursor(*mouseIcon_);
        else
            setCursor(Qt::ArrowCursor);
        break;
    default:
        setCursor(Qt::ArrowCursor);
        break;
    }
}

void Form::setMouseIcon(const QCursor& cursor)
{
    mouseIcon_ = cursor;
    if (mousePointer_ == vbCustom)
        setMousePointer(vbCustom);
}

void Form::Form_MouseMove()
{
    if (mousePointer_ != vbHourglass)
        setMousePointer(vbDefault);
}

void Form::PushButton_MouseMove()
{
    if (mousePointer_ != vbHourglass)
        setMousePointer(vbCustom);
}

void Form::placeTwips(QWidget* control, int left, int top, int width, int height)
{
    control->setGeometry(twips(left), twips(top), twips(width), twips(height));
}

void Form::setFocusStandIn(QWidget* control)
{
    setProperty(standInProperty, QVariant::fromValue(control));
    Text1->installEventFilter(this);
}

PushButton* Form::addButton(
    const char* name, const char* caption, int left, int top, int width, char accessKey)
{
    QString text = QString::fromLatin1(caption);
    // The caption as designed; the access key only underlines its letter.
    if (const qsizetype at = accessKey ? text.indexOf(QLatin1Char(accessKey)) : -1; at >= 0)
        text.insert(at, QLatin1Char('&'));
    auto* button = new PushButton(text, this);
    button->setObjectName(QString::fromLatin1(name));
    QFont buttonFont(QStringLiteral("Arial"));
    buttonFont.setPointSizeF(11.25);
    buttonFont.setBold(true);
    button->setFont(buttonFont);
    button->setAutoDefault(false);
    placeTwips(button, left, top, width, 405);
    connect(button, &PushButton::mouseMoved, this, &Form::PushButton_MouseMove);
    return button;
}

void Form::addSurface(QWidget* control)
{
    // Without mouse tracking a control swallows the moves of a pointer
    // without pressed buttons, and the hand of the last button would stay.
    control->setMouseTracking(true);
    control->installEventFilter(this);
}

bool Form::eventFilter(QObject* watched, QEvent* event)
{
    // After Qt has told of the text box's focus (which screen readers never
    // see), the stand-in is told as the focus.
    if (QWidget* standIn = event->type() == QEvent::FocusIn && watched == Text1 ? standInOf(this) : nullptr)
        QTimer::singleShot(0, standIn, [this, standIn] {
            if (QAccessible::isActive() && isActiveWindow() && standsInForFocus(standIn)) {
                QAccessibleEvent focus(standIn, QAccessible::Focus);
                QAccessible::updateAccessibility(&focus);
            }
        });
    if (event->type() == QEvent::MouseMove && watched != this && watched->isWidgetType())
        Form_MouseMove();
    return QWidget::eventFilter(watched, event);
}

void Form::centreOnScreen()
{
    placed_ = true;
    if (QScreen* screen = QGuiApplication::primaryScreen()) {
        const QRect area = screen->availableGeometry();
        QRect frame = frameGeometry();
        frameUnknown_ = frame.size() == size();
        frame.moveCenter(area.center());
        // A window larger than the screen (the viewer at a large scale)
        // starts at its top left, so that its title bar and the buttons
        // at its top stay within reach.
        if (frame.height() > area.height())
            frame.moveTop(area.top());
        if (frame.width() > area.width())
            frame.moveLeft(area.left());
        move(frame.topLeft());
    }
}

void Form::moveEvent(QMoveEvent* event)
{
    QWidget::moveEvent(event);
    recentreOnceFramed();
}

void Form::recentreOnceFramed()
{
    // The window manager has framed the window: centre it with its frame.
    if (frameUnknown_ && frameGeometry().size() != size()) {
        centreOnScreen();
        frameUnknown_ = false;
    }
}

namespace {
QPointer<Form> lastActiveForm;
}

void Form::noteActivated()
{
    if (lastActiveForm == this)
        return;
    lastActiveForm = this;
    activated();
}

void Form::showActive()
{
    if (isMinimized())
        showNormal();
    if (!placed_)
        centreOnScreen();
    show();
    // Stacking is the window manager's; the offscreen platform has none.
    if (QGuiApplication::platformName() != QLatin1String("offscreen"))
        raise();
    activateWindow();
    noteActivated();
}

void Form::changeEvent(QEvent* event)
{
    QWidget::changeEvent(event);
    if (event->type() == QEvent::ActivationChange && isActiveWindow()) {
        recentreOnceFramed();
        noteActivated();
    }
}

void Form::mouseMoveEvent(QMouseEvent* event)
{
    QWidget::mouseMoveEvent(event);
    Form_MouseMove();
}

} // namespace orvane
