#include "app/PictureBox.h"

#include <QPaintEvent>
#include <QPainter>

namespace orvane {

PictureBox::PictureBox(QWidget* parent) : QWidget(parent)
{
    setAttribute(Qt::WA_OpaquePaintEvent);
    setAutoFillBackground(false);
}

void PictureBox::setPicture(const QImage& picture)
{
    picture_ = picture;
    if (autoSize_ && !picture_.isNull())
        resize(picture_.size());
    update();
}

void PictureBox::setAutoSize(bool on)
{
    autoSize_ = on;
    if (autoSize_ && !picture_.isNull())
        resize(picture_.size());
}

void PictureBox::paintEvent(QPaintEvent* event)
{
    QPainter painter(this);
    const QColor background = palette().color(QPalette::Base);
    const QRect damaged = event->rect();
    const QRect inside = damaged.intersected(picture_.rect());
    if (!inside.isEmpty()) {
        switch (picture_.format()) {
        case QImage::Format_RGB32:
        case QImage::Format_ARGB32:
        case QImage::Format_ARGB32_Premultiplied:
            painter.drawImage(inside.topLeft(), picture_, inside); // straight from the picture
            break;
        default:
            // Line art and gray pictures: only the damaged part is converted
            // for drawing, never the whole picture.
            painter.drawImage(inside.topLeft(), picture_.copy(inside));
            break;
        }
    }
    // Whatever the picture does not cover shows the box's background.
    QRegion rest(damaged);
    rest -= QRegion(inside);
    for (const QRect& r : rest)
        painter.fillRect(r, background);
}

} // namespace orvane
