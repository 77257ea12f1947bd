#pragma once
// The look of the two windows: the optional skin of the main window, the
// button-face background, and the hand cursor.
#include <QColor>
#include <QCursor>
#include <QIcon>
#include <QString>

#include <optional>

class QStyle;
class QWidget;

namespace orvane {

class SkinFramework;

// Skins the main window `form` through its skin component when "x/o.cjs"
// is an ordinary file in the program folder; does nothing otherwise. Raises
// AppError when the skin cannot be loaded; the rest of the skinning is then
// skipped.
void ApplySkin(QWidget& form, SkinFramework& skin);

// The program's application icon, the four images it carries.
QIcon applicationIcon();

// The button-face colour: the skin's while a skin with a face colour is in
// force, otherwise the button colour of the current style's palette.
QColor faceColour();

// Puts a skin's face colour in force (std::nullopt: the style's again).
// Every window and control with the button-face background follows at once.
void setSkinFaceColour(const std::optional<QColor>& colour);

// Gives the window, and its option buttons, check boxes, frames and labels,
// the button-face background.
void ApplyFaceColour(QWidget* window);

// The program's style: the desktop's, with a focus mark wherever the
// keyboard has moved the focus, also on the default button (which the
// common styles draw just as a focused one) and on scroll bars (which they
// do not mark at all). Install it once, before the first window.
QStyle* focusMarkingStyle();

// Loads a Windows cursor file (.cur; an .ico gets its centre as hot spot)
// with the hot spot stored in the file. Raises AppError naming the file
// and the problem when it cannot be loaded.
QCursor loadCursorFile(const QString& path);

} // namespace orvane
