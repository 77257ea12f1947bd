#include "app/Form.h"

#include "app/PushButton.h"

#include <QEvent>
#include <QGuiApplication>
#include <QPointer>
#include <QScreen>

namespace orvane {

Form::Form(QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint
                          | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint
                          | Qt::WindowCloseButtonHint)
{
    setMouseTracking(true);
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

void Form::setClientSizeTwips(int width, int height)
{
    setFixedSize(twips(width), twips(height));
}

void Form::placeTwips(QWidget* control, int left, int top, int width, int height)
{
    control->setGeometry(twips(left), twips(top), twips(width), twips(height));
}

void Form::connectPointer(PushButton* button)
{
    connect(button, &PushButton::mouseMoved, this, &Form::PushButton_MouseMove);
}

void Form::centreOnScreen()
{
    if (QScreen* screen = QGuiApplication::primaryScreen()) {
        QRect frame = frameGeometry();
        frame.moveCenter(screen->availableGeometry().center());
        move(frame.topLeft());
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
    if (event->type() == QEvent::ActivationChange && isActiveWindow())
        noteActivated();
}

void Form::mouseMoveEvent(QMouseEvent* event)
{
    QWidget::mouseMoveEvent(event);
    Form_MouseMove();
}

} // namespace orvane
