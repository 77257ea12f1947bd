#pragma once
// The program's message box: a QMessageBox that keeps the lines of its
// text. It is as wide as its longest line (within the screen), so no line
// wraps in the middle; only a line longer than the screen allows is broken,
// at spaces where it has them. It is also wide enough for the window
// manager to show the whole title, and its text can be selected with the
// mouse for copying (no link is ever opened).
#include "shell/Desktop.h"

#include <QMessageBox>

class QFontMetrics;

namespace orvane {

class MessageBox : public QMessageBox {
    Q_OBJECT
public:
    MessageBox(MessageIcon icon, const QString& title, const QString& text, QWidget* owner);

    // Sized before it is shown, so that it is placed for its real size.
    void setVisible(bool visible) override;

protected:
    void showEvent(QShowEvent* event) override;
    bool event(QEvent* event) override;

private:
    void fitToLines();
    // Puts the box centred over its window (or the screen), within the
    // screen's available area, for its size and its frame: the frame the
    // window manager gave it, or before that one like its window's.
    void place();
    // The box where it was placed, at the size it was fitted to.
    void putBack();
    // After a move or resize the window system reported: the box is put
    // back when the report is an earlier request answered late, placed anew
    // for its frame once that is known, and left where the user moved it.
    void followPlacement();
    // The window manager's frame around the client area; none until known.
    QMargins frameAround() const;

    QString given_;
    bool fitting_ = false;
    QSize fitted_; // the size that keeps the lines
    bool placing_ = false; // until the user moves the box
    bool seen_ = false; // painted on the screen
    QPoint placed_; // the client area's top left, as placed
    QMargins placedFrame_; // the frame it was placed for
    QList<QPoint> asked_; // every top left the box has had since it was shown
};

// Breaks each line of `text` that is wider than `maxWidth` pixels: at runs
// of spaces where possible, inside a word only when the word alone is wider.
// Lines that fit are left exactly as they are.
QString breakOverlongLines(const QString& text, const QFontMetrics& metrics, int maxWidth);

} // namespace orvane
