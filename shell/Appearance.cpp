#include "shell/Appearance.h"

#include "shell/AppError.h"
#include "shell/Main.h"
#include "shell/SkinFramework.h"

#include <QApplication>
#include <QBuffer>
#include <QCheckBox>
#include <QFile>
#include <QFileInfo>
#include <QGroupBox>
#include <QIcon>
#include <QImageReader>
#include <QLabel>
#include <QPainter>
#include <QPalette>
#include <QPixmap>
#include <QProxyStyle>
#include <QRadioButton>
#include <QStyleOption>
#include <QWidget>

namespace orvane {

namespace {

// Marks a widget whose background is the button-face colour, so that it
// follows when a skin changes that colour.
// "Invalid picture".
constexpr int ErrInvalidPicture = 481;

const char* const FaceColourProperty = "orvaneFaceColourBackground";

std::optional<QColor>& skinFace()
{
    static std::optional<QColor> colour;
    return colour;
}

void setFaceBackground(QWidget* widget, const QColor& colour)
{
    widget->setProperty(FaceColourProperty, true);
    widget->setAutoFillBackground(true);
    QPalette p = widget->palette();
    p.setColor(QPalette::Window, colour);
    widget->setPalette(p);
}

// The controls whose background a window's face colour reaches: option
// buttons, check boxes, frames and labels.
bool takesFaceColour(QWidget* control)
{
    return qobject_cast<QRadioButton*>(control) || qobject_cast<QCheckBox*>(control)
        || qobject_cast<QGroupBox*>(control) || qobject_cast<QLabel*>(control);
}

quint16 le16(const QByteArray& data, qsizetype at)
{
    return static_cast<quint16>(
        static_cast<unsigned char>(data[at]) | static_cast<unsigned char>(data[at + 1]) << 8);
}

[[noreturn]] void cursorError(int number, const QString& path, const QString& problem)
{
    raiseError(number, QStringLiteral("Cannot load the cursor ") + path + QStringLiteral(": ") + problem);
}

} // namespace

namespace {

// Draws a dotted frame in the highlight colour inside a control that has
// the focus from the keyboard.
class FocusMarkingStyle : public QProxyStyle {
public:
    void drawControl(ControlElement element, const QStyleOption* option, QPainter* painter,
        const QWidget* widget) const override
    {
        QProxyStyle::drawControl(element, option, painter, widget);
        if (element == CE_PushButton && keyboardFocus(option))
            mark(painter, option, subElementRect(SE_PushButtonFocusRect, option, widget));
    }

    void drawComplexControl(ComplexControl control, const QStyleOptionComplex* option, QPainter* painter,
        const QWidget* widget) const override
    {
        QProxyStyle::drawComplexControl(control, option, painter, widget);
        if (control == CC_ScrollBar && keyboardFocus(option))
            mark(painter, option, option->rect.adjusted(1, 1, -1, -1));
    }

private:
    static bool keyboardFocus(const QStyleOption* option)
    {
        return (option->state & State_HasFocus) && (option->state & State_KeyboardFocusChange)
            && (option->state & State_Enabled);
    }

    static void mark(QPainter* painter, const QStyleOption* option, const QRect& rect)
    {
        painter->save();
        painter->setRenderHint(QPainter::Antialiasing, false);
        painter->setBrush(Qt::NoBrush);
        painter->setPen(QPen(option->palette.color(QPalette::Highlight), 1, Qt::DotLine));
        painter->drawRect(rect.adjusted(0, 0, -1, -1));
        painter->restore();
    }
};

} // namespace

QStyle* focusMarkingStyle()
{
    return new FocusMarkingStyle;
}

QIcon applicationIcon()
{
    // The four images the program carries, rendered from one drawing.
    static const QIcon icon = [] {
        QIcon i;
        for (const int size : {32, 48, 128, 256})
            i.addFile(QStringLiteral(":/icons/%1/orvane-capture-desk.png").arg(size), QSize(size, size));
        return i;
    }();
    return icon;
}

void ApplySkin(QWidget& form, SkinFramework& skin)
{
    const QString path = inProgramFolder(QStringLiteral("x/o.cjs"));
    // Only an ordinary file counts (a folder of that name does not).
    if (!QFileInfo(path).isFile())
        return;
    ApplyFaceColour(&form);
    skin.LoadSkin(path, QString());
    skin.setOptions(skin.Options() | SkinFramework::ApplyRules);
    skin.setApplyColors(true);
    skin.setApplyDialogs(true);
    skin.ApplyWindow(windowHandleOf(&form));
}

QColor faceColour()
{
    if (const std::optional<QColor>& skin = skinFace())
        return *skin;
    return QApplication::palette().color(QPalette::Button);
}

void setSkinFaceColour(const std::optional<QColor>& colour)
{
    skinFace() = colour;
    const QColor face = faceColour();
    for (QWidget* widget : QApplication::allWidgets())
        if (widget->property(FaceColourProperty).toBool())
            setFaceBackground(widget, face);
}

void ApplyFaceColour(QWidget* window)
{
    const QColor face = faceColour();
    setFaceBackground(window, face);
    for (QWidget* control : window->findChildren<QWidget*>())
        if (takesFaceColour(control))
            setFaceBackground(control, face);
}

QCursor loadCursorFile(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        cursorError(file.exists() ? ErrPermissionDenied : ErrFileNotFound, path, file.errorString());
    // Cursor files are small; a larger file is no cursor.
    constexpr qint64 maxSize = 1024 * 1024;
    const QByteArray data = file.read(maxSize + 1);
    if (file.error() != QFileDevice::NoError)
        cursorError(ErrDeviceIO, path, file.errorString());
    if (data.size() > maxSize)
        cursorError(ErrInvalidPicture, path, QStringLiteral("the file is too large for a cursor"));

    // The header: reserved 0, type (1 icon, 2 cursor), image count, then
    // one 16-byte entry per image; a cursor entry holds the hot spot.
    if (data.size() < 6 + 16 || le16(data, 0) != 0 || (le16(data, 2) != 1 && le16(data, 2) != 2)
        || le16(data, 4) == 0)
        cursorError(ErrInvalidPicture, path, QStringLiteral("the file is not a cursor file"));
    const bool isCursor = le16(data, 2) == 2;

    QBuffer buffer;
    buffer.setData(data);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer, isCursor ? "cur" : "ico");
    const QImage image = reader.read();
    if (image.isNull())
        cursorError(ErrInvalidPicture, path, reader.errorString());

    // The reader takes the first image, which the first entry describes.
    const int hotX = isCursor ? le16(data, 6 + 4) : image.width() / 2;
    const int hotY = isCursor ? le16(data, 6 + 6) : image.height() / 2;
    if (hotX >= image.width() || hotY >= image.height())
        cursorError(ErrInvalidPicture, path,
            QStringLiteral("the hot spot (%1, %2) lies outside the %3 x %4 image")
                .arg(hotX)
                .arg(hotY)
                .arg(image.width())
                .arg(image.height()));
    return QCursor(QPixmap::fromImage(image), hotX, hotY);
}

} // namespace orvane
