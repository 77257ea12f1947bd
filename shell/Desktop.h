#pragma once
// Everything the handlers ask of the desktop that a test must not meet for
// real: modal message boxes, the save dialog, starting another program, the
// random draw and the end of the program. The program uses QtDesktop; the
// tests install a recording one.
#include <QString>
#include <QStringList>

class QWidget;

namespace orvane {

enum class MessageIcon { None, Warning };

class Desktop {
public:
    virtual ~Desktop() = default;

    // A modal message box with one OK button; returns when it is closed.
    virtual void showMessage(QWidget* owner, const QString& text, const QString& title, MessageIcon icon) = 0;

    // The modal save-file dialog. `filter` is one Qt filter such as
    // "JPG Files (*.jpg)". Returns the chosen path, or an empty text when the
    // user cancelled.
    virtual QString getSaveFileName(QWidget* owner, const QString& title, const QString& filter) = 0;

    // Starts a program that is not watched. Raises AppError when it cannot
    // be started.
    virtual void startDetached(const QString& program, const QStringList& arguments) = 0;

    // A random fraction, at least 0 and below 1, from a generator seeded so
    // that it differs from one start-up to the next.
    virtual double randomFraction() = 0;

    // Ends the program at once: no further handler runs.
    virtual void endProgram() = 0;
};

Desktop& desktop();
// Installs the desktop that desktop() returns; nullptr restores the real one.
void setDesktop(Desktop* d);

} // namespace orvane
