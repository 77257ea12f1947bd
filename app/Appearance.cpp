#include "app/Appearance.h"

#include "app/AppError.h"
#include "app/Form1.h"

#include <QApplication>
#include <QFileInfo>
#include <QImageReader>
#include <QPalette>
#include <QPixmap>

namespace orvane {

void ApplySkin(Form1& form)
{
    const QFileInfo skin(form.programFolder() + QStringLiteral("x/o.cjs"));
    if (!skin.isFile() || skin.isHidden())
        return;
    form.setAutoFillBackground(true);
    QPalette p = form.palette();
    p.setColor(QPalette::Window, faceColour());
    form.setPalette(p);
}

QColor faceColour()
{
    return QApplication::palette().color(QPalette::Button);
}

void ApplyFaceColour(QWidget* window)
{
    window->setAutoFillBackground(true);
    QPalette p = window->palette();
    p.setColor(QPalette::Window, faceColour());
    window->setPalette(p);
}

QCursor loadCursorFile(const QString& path)
{
    QImageReader reader(path);
    const QImage image = reader.read();
    if (image.isNull())
        raiseError(ErrFileNotFound, path + QStringLiteral(": ") + reader.errorString());
    return QCursor(QPixmap::fromImage(image), 0, 0);
}

} // namespace orvane
