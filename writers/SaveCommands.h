#pragma once
// The save dialog flow that the four save commands of the viewer share, and
// the two commands that write in the process: "Save As JPG" and
// "Save As BMP". The TIFF and PNG commands use the same host.
#include <QImage>
#include <QString>

class QWidget;

namespace orvane {

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

void SaveAsJpg(SaveHost& host); // PushButton1_Click
void SaveAsBmp(SaveHost& host); // PushButton3_Click

// "Done.", with the application title and no icon, owned by the viewer.
void showDone(SaveHost& host);

} // namespace orvane
