#include "shell/PictureBox.h"

#include <QPaintEvent>
#include <QPainter>

#include <algorithm>

namespace orvane {

PictureBox::PictureBox(QWidget* parent)
    : QWidget(parent)
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
    Q_EMIT pictureChanged();
}

void PictureBox::setAutoSize(bool on)
{
    autoSize_ = on;
    if (autoSize_ && !picture_.isNull())
        resize(picture_.size());
}

QList<QRgb> shownColorTable(const QImage& picture, int entries)
{
    const bool mono = picture.format() == QImage::Format_Mono || picture.format() == QImage::Format_MonoLSB;
    QList<QRgb> table = picture.colorTable();
    if (table.isEmpty()) {
        // No palette: 1-bit pictures are black and white, 8-bit indices
        // are gray levels.
        if (mono)
            table = {qRgb(0, 0, 0), qRgb(255, 255, 255)};
        else
            for (int i = 0; i < 256; ++i)
                table.append(qRgb(i, i, i));
    }
    // Missing entries as Qt turns such a picture into colours: black for
    // 8-bit pictures, white for the second colour of 1-bit ones.
    if (mono) {
        table = table.mid(0, 2);
        if (table.size() < 2)
            table.append(qRgb(255, 255, 255));
        return table;
    }
    table = table.mid(0, 256);
    while (table.size() < std::min(entries, 256))
        table.append(qRgb(0, 0, 0));
    return table;
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
        case QImage::Format_Indexed8:
        case QImage::Format_Mono:
        case QImage::Format_MonoLSB: {
            // Line art and gray pictures: only the damaged part is converted
            // for drawing, never the whole picture. A palette shorter than
            // the indices is completed first: the painter would read past it.
            QImage part = picture_.copy(inside);
            part.setColorTable(shownColorTable(part, 256));
            painter.drawImage(inside.topLeft(), part);
            break;
        }
        default:
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
