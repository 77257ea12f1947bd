#include "viewer/Form2.h"

#include "convert/Export.h"
#include "shell/Appearance.h"
#include "shell/Desktop.h"
#include "shell/ErrorReport.h"
#include "shell/Main.h"
#include "shell/PictureBox.h"
#include "shell/PushButton.h"

#include <QApplication>
#include <QCloseEvent>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMouseEvent>
#include <QScreen>
#include <QScrollBar>
#include <QWheelEvent>
#include <algorithm>
#include <cmath>

namespace orvane {

ScrollLayout scrollLayout(int image, int viewport)
{
    // The overflow is computed and compared in single precision; maxima are
    // rounded to the nearest integer, halves to even (the default rounding
    // mode of nearbyint).
    const float overflow = static_cast<float>(image) - static_cast<float>(viewport);
    if (!(overflow > 0.0f))
        return {0, 0};
    if (overflow <= 100.0f)
        return {static_cast<int>(std::nearbyint(overflow)), 1};
    return {static_cast<int>(std::nearbyint(overflow / 10.0f)), 10};
}

Form2::Form2(ViewerHost& main)
    : Form("Form2", 8040, 9585)
    , main_(main)
{
    PushButton1 = addButton("PushButton1", "Save As JPG", 120, 630, 3840, 'J');
    PushButton2 = addButton("PushButton2", "< Back", 120, 120, 7800, 'B');
    PushButton3 = addButton("PushButton3", "Save As BMP", 4080, 630, 3840, 'M');
    PushButton4 = addButton("PushButton4", "Save As TIFF", 120, 1140, 3840, 'T');
    PushButton5 = addButton("PushButton5", "Save As PNG", 4080, 1140, 3840, 'P');

    Picture2 = new QWidget(this);
    Picture2->setObjectName(QStringLiteral("Picture2"));
    Picture2->setAutoFillBackground(true);
    Picture2->setBackgroundRole(QPalette::Base);
    placeTwips(Picture2, 120, 1680, 7560, 7530);
    picScan = new PictureBox(Picture2);
    picScan->setObjectName(QStringLiteral("picScan"));
    // Screen readers hear what the picture shows, renewed with each picture.
    const auto namePicture = [this] {
        const QImage& picture = picScan->picture();
        picScan->setAccessibleName(picture.isNull()
                ? tr("No picture")
                : tr("Scanned picture, %1 × %2 pixels").arg(picture.width()).arg(picture.height()));
    };
    namePicture();
    connect(picScan, &PictureBox::pictureChanged, this, namePicture);
    // Opening, the window is heard with its picture and the picture's size.
    setFocusStandIn(picScan);
    placeTwips(picScan, 0, 0, 7560, 7500);
    VScroll1 = new QScrollBar(Qt::Vertical, this);
    VScroll1->setObjectName(QStringLiteral("VScroll1"));
    placeTwips(VScroll1, 7680, 1680, 255, 7785);
    HScroll1 = new QScrollBar(Qt::Horizontal, this);
    HScroll1->setObjectName(QStringLiteral("HScroll1"));
    VScroll1->setAccessibleName(tr("Vertical scroll"));
    HScroll1->setAccessibleName(tr("Horizontal scroll"));
    placeTwips(HScroll1, 120, 9210, 7560, 255);
    for (QScrollBar* bar : {VScroll1, HScroll1}) {
        bar->setRange(0, 32767);
        bar->setSingleStep(1);
        bar->setPageStep(1);
        // Tab stops 8 and 9: arrows, Page Up/Down, Home/End move the bar.
        bar->setFocusPolicy(Qt::StrongFocus);
    }
    // Over the viewport, the picture and the bars the pointer follows the
    // window's own surface.
    for (QWidget* surface : {Picture2, static_cast<QWidget*>(picScan), static_cast<QWidget*>(VScroll1),
             static_cast<QWidget*>(HScroll1)})
        addSurface(surface);
    // Tab order: Text1, PushButton1 .. PushButton5, the viewport, the bars.
    QWidget::setTabOrder(Text1, PushButton1);
    QWidget::setTabOrder(PushButton1, PushButton2);
    QWidget::setTabOrder(PushButton2, PushButton3);
    QWidget::setTabOrder(PushButton3, PushButton4);
    QWidget::setTabOrder(PushButton4, PushButton5);
    QWidget::setTabOrder(PushButton5, VScroll1);
    QWidget::setTabOrder(VScroll1, HScroll1);

    connect(HScroll1, &QScrollBar::valueChanged, this, &Form2::HScroll1_Change);
    connect(VScroll1, &QScrollBar::valueChanged, this, &Form2::VScroll1_Change);
    connect(PushButton1, &QPushButton::clicked, this, &Form2::PushButton1_Click);
    connect(PushButton2, &QPushButton::clicked, this, &Form2::PushButton2_Click);
    connect(PushButton3, &QPushButton::clicked, this, &Form2::PushButton3_Click);
    connect(PushButton4, &QPushButton::clicked, this, &Form2::PushButton4_Click);
    connect(PushButton5, &QPushButton::clicked, this, &Form2::PushButton5_Click);
}

Form2::~Form2() = default;

namespace {

// The window as designed, and the room the window manager's frame takes
// until it is known: a title bar and thin borders, in pixels of the screen.
const QSize designed(twips(8040), twips(9585));
const QSize frameAllowance(10, 34);
// What stays of the viewport at the least: the buttons above it and a few
// lines of the picture.
constexpr int leastViewportTwips = 1500;

} // namespace

void Form2::fitToScreen()
{
    const QScreen* screen = this->screen() ? this->screen() : QGuiApplication::primaryScreen();
    if (!screen)
        return;
    const double ratio = screen->devicePixelRatio();
    const QSize frame = isVisible() && frameGeometry().size() != size()
        ? frameGeometry().size() - size()
        : QSize(
            int(std::ceil(frameAllowance.width() / ratio)), int(std::ceil(frameAllowance.height() / ratio)));
    const QSize room = screen->availableGeometry().size() - frame;
    if (designed.width() <= room.width() && designed.height() <= room.height()) {
        setFixedSize(designed);
        return;
    }
    const QSize least(std::min(designed.width(), twips(4080 + 3840 + 120)),
        std::min(designed.height(), twips(1680 + leastViewportTwips + 375)));
    setMinimumSize(least);
    setMaximumSize(designed);
    resize(designed.boundedTo(room).expandedTo(least));
}

void Form2::resizeEvent(QResizeEvent* event)
{
    Form::resizeEvent(event);
    placePicture();
}

void Form2::placePicture()
{
    // The viewport, its bars and the picture's place in it follow the
    // window's size; as designed at the designed size.
    const int shortBy = designed.height() - height(), narrowBy = designed.width() - width();
    Picture2->resize(twips(7560) - narrowBy, twips(7530) - shortBy);
    VScroll1->setGeometry(twips(7680) - narrowBy, twips(1680), twips(255), twips(7785) - shortBy);
    HScroll1->setGeometry(twips(120), twips(9210) - shortBy, twips(7560) - narrowBy, twips(255));
    SetupScrollBars();
}

void Form2::Form_Load()
{
    Guard g(QStringLiteral("Form2"), QStringLiteral("Form_Load"));
    g.step(100, [&] { ApplyFaceColour(this); });
    const QString handCursor = inProgramFolder(QStringLiteral("HAND-M.CUR"));
    if (g.test(102, [&] { return FileExists(handCursor); }))
        g.step(104, [&] { setMouseIcon(loadCursorFile(handCursor)); });
    g.step(106, [&] {
        setWindowTitle(QStringLiteral("Orvane Capture Desk"));
        setWindowIcon(applicationIcon());
        SetApplicationTitle();
    });
    // Both boxes work in pixels throughout (lines 108 and 110).
    g.step(112, [&] { SetupScrollBars(); });
}

void Form2::SetupScrollBars()
{
    picScan->move(picScan->x(), 0);
    picScan->move(0, picScan->y());
    const auto layOut = [](QScrollBar* bar, qint16& step, const ScrollLayout& l) {
        if (l.step == 0) {
            // The bar keeps its maximum and thumb; the step 0 keeps the
            // picture still.
            bar->setEnabled(false);
            step = 0;
            return;
        }
        bar->setEnabled(true);
        bar->setMaximum(l.maximum);
        step = l.step;
        bar->setValue(0);
    };
    layOut(HScroll1, ScrollStepX, scrollLayout(picScan->width(), Picture2->width()));
    layOut(VScroll1, ScrollStepY, scrollLayout(picScan->height(), Picture2->height()));
}

void Form2::Form_Activate()
{
    Guard g(QStringLiteral("Form2"), QStringLiteral("Form_Activate"));
    g.step(100, [&] { SetupScrollBars(); });
}

void Form2::activated()
{
    Form_Activate();
}

void Form2::HScroll1_Change()
{
    // Offsets are worked out in 32 bits, so pictures wider than 32767
    // pixels of overflow still scroll to the right place.
    picScan->move(-(static_cast<int>(ScrollStepX) * HScroll1->value()), picScan->y());
}

void Form2::VScroll1_Change()
{
    picScan->move(picScan->x(), -(static_cast<int>(ScrollStepY) * VScroll1->value()));
}

bool Form2::eventFilter(QObject* watched, QEvent* event)
{
    Form::eventFilter(watched, event);
    if (watched == HScroll1 && event->type() == QEvent::KeyPress) {
        // Left and Right move the horizontal bar the way they point (Qt's
        // scroll bar turns them round).
        const auto* key = static_cast<QKeyEvent*>(event);
        if (key->key() == Qt::Key_Left || key->key() == Qt::Key_Right) {
            HScroll1->triggerAction(key->key() == Qt::Key_Right ? QAbstractSlider::SliderSingleStepAdd
                                                                : QAbstractSlider::SliderSingleStepSub);
            return true;
        }
    }
    if (watched != Picture2 && watched != picScan)
        return false;
    switch (event->type()) {
    case QEvent::Wheel:
        wheelOverPicture(static_cast<QWheelEvent*>(event));
        return true;
    case QEvent::MouseButtonPress:
    case QEvent::MouseMove:
    case QEvent::MouseButtonRelease:
        dragPicture(static_cast<QMouseEvent*>(event));
        return false;
    default:
        return false;
    }
}

void Form2::wheelOverPicture(QWheelEvent* event)
{
    // One notch (120 eighths of a degree) moves a bar by as many units as
    // the desktop scrolls lines per notch; finer wheels add up to notches.
    QPoint delta = event->angleDelta();
    if (event->modifiers() & Qt::ShiftModifier)
        delta = QPoint(delta.x() + delta.y(), 0);
    wheelRest_ += delta;
    const int notchesX = wheelRest_.x() / 120;
    const int notchesY = wheelRest_.y() / 120;
    wheelRest_ -= QPoint(notchesX * 120, notchesY * 120);
    const int lines = QApplication::wheelScrollLines();
    // Turning the wheel towards the user, or to the right, moves on through
    // the picture.
    if (notchesY != 0 && VScroll1->isEnabled())
        VScroll1->setValue(VScroll1->value() - notchesY * lines * VScroll1->singleStep());
    if (notchesX != 0 && HScroll1->isEnabled())
        HScroll1->setValue(HScroll1->value() - notchesX * lines * HScroll1->singleStep());
    event->accept();
}

void Form2::dragPicture(QMouseEvent* event)
{
    switch (event->type()) {
    case QEvent::MouseButtonPress:
        if (event->button() == Qt::LeftButton) {
            dragFrom_ = event->globalPosition();
            dragFromH_ = HScroll1->value();
            dragFromV_ = VScroll1->value();
        }
        break;
    case QEvent::MouseMove:
        if (dragFrom_ && (event->buttons() & Qt::LeftButton)) {
            // The picture follows the pointer, a whole unit at a time.
            const QPointF moved = event->globalPosition() - *dragFrom_;
            if (HScroll1->isEnabled() && ScrollStepX > 0)
                HScroll1->setValue(dragFromH_ - static_cast<int>(moved.x() / ScrollStepX));
            if (VScroll1->isEnabled() && ScrollStepY > 0)
                VScroll1->setValue(dragFromV_ - static_cast<int>(moved.y() / ScrollStepY));
        }
        break;
    case QEvent::MouseButtonRelease:
        if (event->button() == Qt::LeftButton)
            dragFrom_.reset();
        break;
    default:
        break;
    }
}

void Form2::showViewer()
{
    fitToScreen();
    showActive();
}

void Form2::PushButton2_Click()
{
    Guard g(QStringLiteral("Form2"), QStringLiteral("PushButton2_Click"));
    g.step(100, [&] { main_.showMainWindow(); });
    g.step(102, [&] { hide(); });
}

void Form2::PushButton1_Click()
{
    SaveAsJpg(*this);
}

void Form2::PushButton3_Click()
{
    SaveAsBmp(*this);
}

void Form2::PushButton4_Click()
{
    ConvertAndSave(*this, ConvertFormat::Tiff);
}

void Form2::PushButton5_Click()
{
    ConvertAndSave(*this, ConvertFormat::Png);
}

void Form2::Form_Unload()
{
    main_.endProgram();
}

void Form2::closeEvent(QCloseEvent* event)
{
    event->accept();
    Form_Unload();
}

} // namespace orvane
