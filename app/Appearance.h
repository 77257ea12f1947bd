#pragma once
// The look of the two windows: the optional skin of the main window, the
// button-face background, and the hand cursor.
#include <QColor>
#include <QCursor>
#include <QString>

class QWidget;

namespace orvane {

class Form1;

// Skins the main window when "x/o.cjs" lies in the program folder; does
// nothing otherwise. Raises AppError when the skin cannot be loaded.
void ApplySkin(Form1& form);

// The system button-face colour: the button colour of the current style's
// palette, or the skin's when one is applied.
QColor faceColour();

// Gives the window the button-face background.
void ApplyFaceColour(QWidget* window);

// Loads a Windows cursor file with the hot spot stored in it. Raises
// AppError when the file cannot be read.
QCursor loadCursorFile(const QString& path);

} // namespace orvane
