#pragma once
// The save dialog flow that the four save commands of the viewer share, and
// the two commands that write in the process: "Save As JPG" and
// "Save As BMP". The TIFF and PNG commands use the same host.
#include <QImage>
#include <QString>

class QWidget;

namespace orvane {

class Guard;
struct CommonDialog;

// What a save command needs of the viewer window.
class SaveHost {
public:
    virtual ~SaveHost() = default;
    // The viewer: owner of the dialog and of the messages.
    virtual QWidget* saveWindow() = 0;
    // The picture every save writes: the main window's picture buffer.
    virtual QImage sourcePicture() const = 0;
    // The viewer's one file dialog component.
    virtual CommonDialog& saveDialog() = 0;
    // The busy flag of the TIFF and PNG exports.
    virtual bool& convertInProgress() = 0;
    // The viewer's mouse pointer (0 arrow, 11 hourglass).
    virtual void setSavePointer(int pointer) = 0;
};

// The steps every save command opens with, on the lines from `firstLine`
// on by twos: the file name cleared, the title "Save Image", `filter`, the
// dialog shown, owned by the viewer. True when the user chose a file (the
// test on the fifth line).
bool chooseSaveFile(Guard& g, SaveHost& host, int firstLine, const QString& filter);

void SaveAsJpg(SaveHost& host); // PushButton1_Click
void SaveAsBmp(SaveHost& host); // PushButton3_Click

// "Done.", with the application title and no icon, owned by the viewer.
void showDone(SaveHost& host);

} // namespace orvane
