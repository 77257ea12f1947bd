#pragma once
// The main window: "Help", "Select Scanner" and "Scan Image", the unseen
// text box that takes the focus and the unseen picture buffer that holds the
// last scanned picture for the whole run. It owns the viewer and wires the
// commands to both windows.
#include "scan/ScanCommands.h"
#include "shell/Form.h"
#include "viewer/Form2.h"

#include <memory>

namespace orvane {

class PictureBox;
class PushButton;
class SkinFramework;

class Form1 : public Form, public ScanHost, private ViewerHost {
    Q_OBJECT
public:
    // `programFolder` names the folder of the program file for a test;
    // empty means the running executable's folder.
    explicit Form1(const QString& programFolder = QString());
    ~Form1() override;

    // The start-up sequence; runs once, before the window is shown.
    void Form_Load();
    // Releases the scanner library and ends the program.
    void Form_Unload();

    void PushButton7_Click(); // Help
    void PushButton5_Click(); // Select Scanner
    void PushButton3_Click(); // Scan Image

    SkinFramework& skinFramework() { return *SkinFramework1; }
    // The viewer, created and loaded on first use; nullptr before that.
    Form2& viewer();
    Form2* loadedViewer() { return viewer_.get(); }

    PushButton* PushButton7;
    PushButton* PushButton5;
    PushButton* PushButton3;
    PictureBox* picBuffer;

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    // ScanHost
    QWidget* scanWindow() override { return this; }
    PictureBox& pictureBuffer() override { return *picBuffer; }
    PictureBox& viewerPicture() override;
    void showViewer() override;
    void hideMainWindow() override { hide(); }
    void setScanPointer(int pointer) override { setMousePointer(pointer); }
    // ViewerHost
    QImage bufferedPicture() const override;
    void showMainWindow() override { showActive(); }
    void endProgram() override { Form_Unload(); }

    SkinFramework* SkinFramework1;
    std::unique_ptr<Form2> viewer_;
};

} // namespace orvane
