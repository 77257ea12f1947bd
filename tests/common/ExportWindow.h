#pragma once
// A viewer for the tests of the TIFF and PNG exports, in the convert layer:
// its file dialog, its busy flag and pointer, and the picture buffer the
// exports write.
#include "convert/Export.h"
#include "shell/CommonDialog.h"
#include "shell/Form.h"
#include "shell/Main.h"
#include "shell/PictureBox.h"
#include "writers/SaveCommands.h"

namespace orvane::test {

class ExportWindow : public Form, public SaveHost {
public:
    explicit ExportWindow(const QString& programFolder)
        : Form("Form2", 9600, 7200)
    {
        setProgramFolder(programFolder);
    }

    void PushButton4_Click() { ConvertAndSave(*this, ConvertFormat::Tiff); }
    void PushButton5_Click() { ConvertAndSave(*this, ConvertFormat::Png); }
    bool isConverting() const { return ConvertInProgress; }

    PictureBox picBuffer; // the main window's

private:
    QWidget* saveWindow() override { return this; }
    QImage sourcePicture() const override { return picBuffer.picture(); }
    CommonDialog& saveDialog() override { return dialog_; }
    bool& convertInProgress() override { return ConvertInProgress; }
    void setSavePointer(int pointer) override { setMousePointer(pointer); }

    CommonDialog dialog_;
    bool ConvertInProgress = false;
};

} // namespace orvane::test
