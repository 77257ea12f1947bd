#pragma once
// A picture box: shows one QImage at its pixel size. The image is shared
// (QImage is implicitly shared), never copied. Only the part that needs
// repainting is drawn, straight from the image.
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
    bool autoSize() const { return autoSize_; }
    void setAutoSize(bool on);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QImage picture_;
    bool autoSize_ = false;
};

} // namespace orvane
