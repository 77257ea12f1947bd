#pragma once
// A main window for the tests of the scan commands, in the scan layer: the
// picture buffer, a picture box in place of the viewer's, and the scanner
// library loaded from the test's program folder as the program loads it at
// its start.
#include "scan/ScanCommands.h"
#include "scan/Scanner.h"
#include "shell/AppError.h"
#include "shell/Form.h"
#include "shell/Globals.h"
#include "shell/Main.h"
#include "shell/PictureBox.h"

#include <memory>

namespace orvane::test {

class ScanWindow : public Form, public ScanHost {
public:
    explicit ScanWindow(const QString& programFolder)
        : Form("Form1", 8040, 1650)
        , picBuffer(new PictureBox(this))
    {
        setProgramFolder(programFolder);
    }

    // The library from the program folder, and whether it answers that a
    // scanner service is there.
    void loadLibrary()
    {
        Globals& G = globals();
        G.AppFolder = programFolder() + QLatin1Char('/');
        G.ScannerLibraryHandle = LoadLibraryA(G.AppFolder + QStringLiteral("EZTW32.dll"));
        try {
            G.ScannerAvailable = TWAIN_IsAvailable() != 0;
        } catch (const AppError&) {
            G.ScannerAvailable = false;
        }
    }

    // The viewer's picture once a scan handed it over; nullptr before.
    PictureBox* loadedViewer() { return viewer_.get(); }
    bool viewerShown = false;

    PictureBox* picBuffer;

private:
    QWidget* scanWindow() override { return this; }
    PictureBox& pictureBuffer() override { return *picBuffer; }
    PictureBox& viewerPicture() override
    {
        if (!viewer_)
            viewer_ = std::make_unique<PictureBox>();
        return *viewer_;
    }
    void showViewer() override { viewerShown = true; }
    void hideMainWindow() override { hide(); }
    void setScanPointer(int pointer) override { setMousePointer(pointer); }

    std::unique_ptr<PictureBox> viewer_;
};

} // namespace orvane::test
