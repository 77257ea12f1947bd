#pragma once
// A picture box: shows one QImage at its pixel size. The image is shared
// (QImage is implicitly shared), never copied. Only the part that needs
// repainting is drawn, straight from the image. Screen readers see it as an
// image (see Form.cpp), named by the window that shows it.
#include <QImage>
#include <QWidget>

namespace orvane {

class PictureBox : public QWidget {
    Q_OBJECT
public:
    explicit PictureBox(QWidget* parent = nullptr);

    const QImage& picture() const { return picture_; }
    void setPicture(const QImage& picture);
    // With AutoSize on, the box takes the size of its picture.
    void setAutoSize(bool on);

Q_SIGNALS:
    void pictureChanged();

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QImage picture_;
    bool autoSize_ = false;
};

// The palette of a 1-bit or 8-bit picture as Qt turns it into colours
// (QImage::convertToFormat): the picture's own entries (black and white, or
// a gray ramp, when it has none); a missing second entry of a 1-bit picture
// is white, missing entries of an 8-bit one up to `entries` are black.
// The picture box paints with it and every writer uses it, so that the
// screen and all formats show the same picture.
QList<QRgb> shownColorTable(const QImage& picture, int entries = 0);

} // namespace orvane
