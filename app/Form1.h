#pragma once
// The main window: "Help", "Select Scanner" and "Scan Image", the unseen
// text box that takes the focus and the unseen picture buffer that holds the
// last scanned picture for the whole run.
#include "app/Form.h"


namespace orvane {

class PictureBox;
class PushButton;
class SkinFramework;

class Form1 : public Form {
    Q_OBJECT
public:
    // `programFolder` is the folder of the program file; empty means the
    // running executable's folder.
    explicit Form1(const QString& programFolder = QString());
    ~Form1() override;

    // The start-up sequence; runs once, before the window is shown.
    void Form_Load();
    // Releases the scanner library and ends the program.
    void Form_Unload();

    void PushButton7_Click(); // Help
    void PushButton5_Click(); // Select Scanner
    void PushButton3_Click(); // Scan Image

    QString programFolder() const { return programFolder_; }
    SkinFramework& skinFramework() { return *SkinFramework1; }

    PushButton* PushButton7;
    PushButton* PushButton5;
    PushButton* PushButton3;
    PictureBox* picBuffer;

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    QString programFolder_;
    SkinFramework* SkinFramework1;
};

// Releases the scanner library and ends the program at once; closing
// either window does this.
void releaseLibraryAndEnd();

// The program's application icon.
QIcon applicationIcon();

} // namespace orvane
