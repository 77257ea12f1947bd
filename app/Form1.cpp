#include "app/Form1.h"

#include "BuildConfig.h"
#include "convert/ExportFiles.h"
#include "scan/Scanner.h"
#include "shell/Appearance.h"
#include "shell/Desktop.h"
#include "shell/ErrorReport.h"
#include "shell/Globals.h"
#include "shell/Main.h"
#include "shell/PictureBox.h"
#include "shell/PushButton.h"
#include "shell/SaveFile.h"
#include "shell/SaveFileDialog.h"
#include "shell/SkinFramework.h"
#include "support/Help.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QIcon>
#include <QLineEdit>

namespace orvane {

namespace {

QString withSlash(QString folder)
{
    if (!folder.endsWith(QLatin1Char('/')))
        folder += QLatin1Char('/');
    return folder;
}

} // namespace

Form1::Form1(const QString& programFolder)
    : Form("Form1", 8040, 1650)
{
    setProgramFolder(programFolder);
    setAutoFillBackground(true);
    QPalette p = palette();
    p.setColor(QPalette::Window, Qt::white);
    setPalette(p);
    PushButton7 = addButton("PushButton7", "Help", 120, 120, 7800, 'H');
    PushButton5 = addButton("PushButton5", "Select Scanner", 120, 630, 7800, 'S');
    PushButton3 = addButton("PushButton3", "Scan Image", 120, 1140, 7800, 'I');
    picBuffer = new PictureBox(this);
    picBuffer->setObjectName(QStringLiteral("picBuffer"));
    hideFromScreenReaders(picBuffer); // the viewer shows its picture
    placeTwips(picBuffer, 8160, 720, 615, 615);
    SkinFramework1 = new SkinFramework(this);

    connect(PushButton7, &QPushButton::clicked, this, &Form1::PushButton7_Click);
    connect(PushButton5, &QPushButton::clicked, this, &Form1::PushButton5_Click);
    connect(PushButton3, &QPushButton::clicked, this, &Form1::PushButton3_Click);
}

Form1::~Form1() = default;

Form2& Form1::viewer()
{
    if (!viewer_) {
        viewer_ = std::make_unique<Form2>(static_cast<ViewerHost&>(*this));
        viewer_->Form_Load();
    }
    return *viewer_;
}

PictureBox& Form1::viewerPicture()
{
    return *viewer().picScan;
}

void Form1::showViewer()
{
    viewer().showViewer();
}

QImage Form1::bufferedPicture() const
{
    return picBuffer->picture();
}

void Form1::Form_Load()
{
    Guard g(QStringLiteral("Form1"), QStringLiteral("Form_Load"));
    g.step(100, [&] { ApplySkin(*this, *SkinFramework1); });
    const QString handCursor = inProgramFolder(QStringLiteral("HAND-M.CUR"));
    if (g.test(104, [&] { return FileExists(handCursor); }))
        g.step(106, [&] { setMouseIcon(loadCursorFile(handCursor)); });
    g.step(108, [&] {
        const int draw = static_cast<int>(desktop().randomFraction() * 100) + 1;
        if (draw == 7)
            desktop().startDetached(QStringLiteral("xdg-open"), {QStringLiteral(ORVANE_HOME_PAGE_URL)});
    });
    g.step(126, [&] {
        setWindowTitle(QStringLiteral("Orvane Capture Desk"));
        setWindowIcon(applicationIcon());
        SetApplicationTitle();
    });
    Globals& G = globals();
    g.step(128, [&] { G.AppFolder = programFolder(); });
    g.step(130, [&] { G.AppFolder = withSlash(G.AppFolder); });
    g.step(132, [&] { G.ScannerLibraryHandle = LoadLibraryA(G.AppFolder + QStringLiteral("EZTW32.dll")); });
    if (g.test(134, [&] { return TWAIN_IsAvailable() == 0; })) {
        g.step(136, [&] { G.ScannerAvailable = false; });
        g.step(138, [&] {
            desktop().showMessage(nullptr,
                QStringLiteral("Unfortunately, this program was unable to locate the DLL file "
                               "necessary for scanner support.  Please ensure that a file called "
                               "EZTW32.dll is located in the same directory as this project file, "
                               "then restart the project.  Thanks!"),
                applicationTitle(), MessageIcon::None);
        });
    } else {
        g.step(140, [&] { G.ScannerAvailable = true; });
    }
    // What exports killed in an earlier run left in a shared temporary
    // folder goes; never another user's files, nor a running export's. So
    // do the hidden files of killed saves in the temporary folder and in
    // the folder the save dialog opens in.
    removeExportLeftovers();
    for (const QString& folder : {temporaryFolder(), saveDialogFolder(QString())})
        removeAbandonedSavesIn(folder);
}

void Form1::Form_Unload()
{
    FreeLibrary(globals().ScannerLibraryHandle);
    globals().ScannerLibraryHandle = nullptr;
    desktop().endProgram();
}

void Form1::closeEvent(QCloseEvent* event)
{
    event->accept();
    Form_Unload();
}

void Form1::PushButton7_Click()
{
    Help(this);
}

void Form1::PushButton5_Click()
{
    SelectScanner(*this);
}

void Form1::PushButton3_Click()
{
    ScanImage(*this);
}

} // namespace orvane
