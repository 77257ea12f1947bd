#pragma once
// What both windows share: a fixed-size top-level window with a mouse
// pointer setting (default arrow, hourglass, or the custom hand cursor)
// switched by mouse moves over the window and over its push buttons.
#include <QCursor>
#include <QWidget>
#include <optional>

class QLineEdit;

namespace orvane {

class PushButton;

enum MousePointer { vbDefault = 0, vbHourglass = 11, vbCustom = 99 };

class Form : public QWidget {
    Q_OBJECT
public:
    // A window of the given client size in twips, named and captioned
    // `name` until it loads, in Arial 9 pt bold, with the unseen text box
    // `Text1` beyond its right edge that takes the keyboard focus.
    Form(const char* name, int widthTwips, int heightTwips);

    QLineEdit* Text1;

    int MousePointer() const { return mousePointer_; }
    void setMousePointer(int pointer);
    // The custom pointer; without one the custom setting shows the arrow.
    void setMouseIcon(const QCursor& cursor);
    bool hasMouseIcon() const { return mouseIcon_.has_value(); }

    // Pointer switching: the custom pointer over a push button, the arrow
    // over the window's own surface, nothing while it is the hourglass.
    void Form_MouseMove();
    void PushButton_MouseMove();

    // Called when this window becomes the program's active window: when it
    // takes over from the other window of the program, or when it is shown.
    // Coming back from another application, or from a message box or dialog
    // of this window, does not count.
    void noteActivated();
    // Shows the window, brings it to the front and makes it the active one.
    // The first time, the window is centred on the screen.
    void showActive();
    // Centres the window with its frame on the screen's available area; in
    // a direction where it does not fit, it starts at the area's edge
    // (top or left). Before the first
    // show the window manager's frame is not known yet; the window is
    // centred again once it is.
    void centreOnScreen();

protected:
    // Takes an unseen control out of what screen readers see: it keeps its
    // job (holding the focus, or a picture) without being announced as a
    // control the user could look for. Call it right after creating the
    // control, before it is given any text or picture.
    static void hideFromScreenReaders(QWidget* control);
    // What screen readers are told has the focus while the unseen text box
    // holds it (from when the window opens until Tab moves on): `control`,
    // which so is heard as the window opens. The keys still go to the text
    // box, as before.
    void setFocusStandIn(QWidget* control);
    // Fixed size in twips (15 twips = 1 pixel).
    void placeTwips(QWidget* control, int left, int top, int width, int height);
    // A push button 405 twips high, captioned in Arial 11.25 pt bold, that
    // switches the pointer as the mouse moves over it.
    // `accessKey`, a letter of the caption, is underlined and Alt with it
    // presses the button.
    PushButton* addButton(
        const char* name, const char* caption, int left, int top, int width, char accessKey = 0);
    // A control that counts as the window's own surface for the pointer: a
    // mouse move over it is the window's mouse move.
    void addSurface(QWidget* control);
    bool eventFilter(QObject* watched, QEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void changeEvent(QEvent* event) override;
    void moveEvent(QMoveEvent* event) override;
    virtual void activated() { }

private:
    void recentreOnceFramed();

    int mousePointer_ = vbDefault;
    bool placed_ = false;
    bool frameUnknown_ = false; // centred before the frame was known
    std::optional<QCursor> mouseIcon_;
};

constexpr int twips(int t)
{
    return t / 15;
}

} // namespace orvane
