#pragma once
// The push button of both windows: a QPushButton that reports every mouse
// move over it, pressed or not.
#include <QMouseEvent>
#include <QPushButton>

namespace orvane {

class PushButton : public QPushButton {
    Q_OBJECT
public:
    explicit PushButton(const QString& caption, QWidget* parent = nullptr)
        : QPushButton(caption, parent)
    {
        setMouseTracking(true);
    }

Q_SIGNALS:
    void mouseMoved();

protected:
    void mouseMoveEvent(QMouseEvent* event) override
    {
        QPushButton::mouseMoveEvent(event);
        Q_EMIT mouseMoved();
        // A move over the button is the button's: passed on (the base class
        // ignores moves without a pressed button) it would reach the window
        // and turn the hand back into the arrow.
        event->accept();
    }
};

} // namespace orvane
