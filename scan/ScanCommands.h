#pragma once
// "Select Scanner" and "Scan Image" of the main window.
#include <QString>
#include <cstdint>

class QWidget;

namespace orvane {

class PictureBox;

// What the scan commands need of the windows.
class ScanHost {
public:
    virtual ~ScanHost() = default;
    // The main window: owner of the library's dialogs and of the messages.
    virtual QWidget* scanWindow() = 0;
    // The main window's picture buffer, which keeps the last scanned picture.
    virtual PictureBox& pictureBuffer() = 0;
    // The viewer's picture box; the viewer is loaded on first use.
    virtual PictureBox& viewerPicture() = 0;
    // Shows the viewer modeless; it becomes the program's active window.
    virtual void showViewer() = 0;
    virtual void hideMainWindow() = 0;
    // The main window's mouse pointer (0 arrow, 11 hourglass).
    virtual void setScanPointer(int pointer) = 0;
};

void SelectScanner(ScanHost& host);
void ScanImage(ScanHost& host);

// The message "Scan Image" shows for a scanner library result.
QString acquireResultMessage(std::int32_t result);

} // namespace orvane
