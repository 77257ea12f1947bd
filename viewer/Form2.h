#pragma once
// The viewer: the scanned picture at its pixel size in a fixed viewport with
// two scroll bars, "< Back" and the four save commands.
#include "shell/CommonDialog.h"
#include "shell/Form.h"
#include "writers/SaveCommands.h"

#include <QImage>
#include <QPointF>
#include <optional>

class QMouseEvent;
class QScrollBar;
class QWheelEvent;

namespace orvane {

class PictureBox;
class PushButton;

// What the viewer needs of the main window.
class ViewerHost {
public:
    virtual ~ViewerHost() = default;
    // The picture every save writes: the main window's picture buffer.
    virtual QImage bufferedPicture() const = 0;
    // "< Back": the main window shown and active again.
    virtual void showMainWindow() = 0;
    // Releases the scanner library and ends the program.
    virtual void endProgram() = 0;
};

class Form2 : public Form, private SaveHost {
    Q_OBJECT
public:
    explicit Form2(ViewerHost& main);
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

    // The busy flag of the TIFF and PNG exports, and the pixels one unit of
    // each scroll bar moves the picture (0: the bar is off).
    bool isConverting() const { return ConvertInProgress; }
    qint16 scrollStepX() const { return ScrollStepX; }
    qint16 scrollStepY() const { return ScrollStepY; }

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
    void resizeEvent(QResizeEvent* event) override;
    void activated() override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void SetupScrollBars();
    // The designed size where the screen holds it; else no larger than the
    // screen's available area, the picture's viewport and bars shorter or
    // narrower, the buttons above them as designed.
    void fitToScreen();
    void placePicture();
    // The wheel and a drag with the left button over the picture move it
    // through the scroll bars, so that the change handlers stay the only
    // way the picture moves.
    void wheelOverPicture(QWheelEvent* event);
    void dragPicture(QMouseEvent* event);

    // What the save commands see of the viewer.
    QWidget* saveWindow() override { return this; }
    QImage sourcePicture() const override { return main_.bufferedPicture(); }
    CommonDialog& saveDialog() override { return CommonDialog1; }
    bool& convertInProgress() override { return ConvertInProgress; }
    void setSavePointer(int pointer) override { setMousePointer(pointer); }

    ViewerHost& main_;
    bool ConvertInProgress = false;
    qint16 ScrollStepX = 0;
    qint16 ScrollStepY = 0;

    QPoint wheelRest_; // eighths of a degree not yet turned into units
    std::optional<QPointF> dragFrom_; // where the left button went down
    int dragFromH_ = 0;
    int dragFromV_ = 0;
};

// Scroll-bar layout for one direction: the bar's maximum and the step in
// pixels per unit for a picture of `image` pixels in a viewport of
// `viewport` pixels; step 0 means the bar is disabled.
struct ScrollLayout {
    int maximum;
    qint16 step;
};
ScrollLayout scrollLayout(int image, int viewport);

} // namespace orvane
