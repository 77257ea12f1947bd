#pragma once
// The viewer: the scanned picture at its pixel size in a fixed viewport with
// two scroll bars, "< Back" and the four save commands.
#include "app/Form.h"
#include "viewer/CommonDialog.h"

#include <QImage>

class QScrollBar;

namespace orvane {

class Form1;
class PictureBox;
class PushButton;

class Form2 : public Form {
    Q_OBJECT
public:
    explicit Form2(Form1& main);
    ~Form2() override;

    void Form_Load();
    void Form_Activate();
    void Form_Unload();
    void HScroll1_Change();
    void VScroll1_Change();

    void PushButton2_Click(); // < Back
    void PushButton1_Click(); // Save As JPG
    void PushButton3_Click(); // Save As BMP
    void PushButton4_Click(); // Save As TIFF
    void PushButton5_Click(); // Save As PNG

    // Shows the window modeless, as the scan command does; the viewer then
    // becomes the program's active window.
    void showViewer();

    Form1& main() { return main_; }
    // The picture every save writes: the main window's picture buffer.
    QImage sourcePicture() const;

    // Busy flag of the TIFF and PNG exports.
    bool ConvertInProgress = false;
    qint16 ScrollStepX = 0;
    qint16 ScrollStepY = 0;

    PushButton* PushButton1;
    PushButton* PushButton2;
    PushButton* PushButton3;
    PushButton* PushButton4;
    PushButton* PushButton5;
    QWidget* Picture2;
    PictureBox* picScan;
    QScrollBar* VScroll1;
    QScrollBar* HScroll1;
    CommonDialog CommonDialog1;

protected:
    void closeEvent(QCloseEvent* event) override;
    void activated() override;

private:
    void SetupScrollBars();

    Form1& main_;
};

// The viewer of the main window, created and loaded on first use.
Form2& viewerOf(Form1& main);
// The viewer when it has been loaded, else nullptr.
Form2* loadedViewer();

// Scroll-bar layout for one direction: the bar's maximum and the step in
// pixels per unit for a picture of `image` pixels in a viewport of
// `viewport` pixels; step 0 means the bar is disabled.
struct ScrollLayout {
    int maximum;
    qint16 step;
};
ScrollLayout scrollLayout(int image, int viewport);

} // namespace orvane
