#pragma once
// A main window for the tests of the viewer, in the viewer layer: the
// picture buffer the saves write, and the viewer it loads on first use. It
// ends the program as the main window does, through the desktop.
#include "shell/Desktop.h"
#include "shell/Main.h"
#include "shell/PictureBox.h"
#include "viewer/Form2.h"

#include <memory>

namespace orvane::test {

class ViewerMain : public ViewerHost {
public:
    explicit ViewerMain(const QString& programFolder = QString())
        : picBuffer(&buffer_)
    {
        setProgramFolder(programFolder);
    }

    Form2& viewer()
    {
        if (!viewer_) {
            viewer_ = std::make_unique<Form2>(*this);
            viewer_->Form_Load();
        }
        return *viewer_;
    }

    PictureBox* picBuffer;

private:
    QImage bufferedPicture() const override { return buffer_.picture(); }
    void showMainWindow() override { }
    void endProgram() override { desktop().endProgram(); }

    PictureBox buffer_;
    std::unique_ptr<Form2> viewer_;
};

} // namespace orvane::test
