// Pages drawn for the tests, as a scanner sees them on its bed, and the
// skew left on a scan of one.
#pragma once

#include <QColor>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPointF>
#include <QRandomGenerator>
#include <QRectF>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <vector>

namespace {

constexpr double PageMmPerInch = 25.4;

// Lines of words, dark on the page, 2 mm high every 5 mm, within margins
// of 15 mm, in page millimetres.
inline void drawText(QPainter& p, QSizeF page)
{
    QRandomGenerator words(7);
    for (double y = 15; y + 2 <= page.height() - 15; y += 5) {
        for (double x = 15; x < page.width() - 15;) {
            const double w = std::min(4.0 + words.bounded(14), page.width() - 15 - x);
            p.fillRect(QRectF(x, y, w, 2), QColor(30, 30, 30));
            x += w + 2;
        }
    }
}

// A bed of widthMm x heightMm at dpi with a page (text) or photo (colour
// blocks) on it, turned clockwise by angle about its centre; the bed has a
// little noise, as a sensor gives.
inline QImage bedWith(
    QColor bed, QRectF pageMm, double angle, bool photo, double dpi, QSizeF bedMm = {216, 297})
{
    const double px = dpi / PageMmPerInch;
    QImage image(
        int(std::lround(bedMm.width() * px)), int(std::lround(bedMm.height() * px)), QImage::Format_RGB888);
    image.fill(bed);
    {
        QPainter p(&image);
        p.setRenderHint(QPainter::Antialiasing);
        p.scale(px, px);
        p.translate(pageMm.center());
        p.rotate(angle);
        p.translate(-pageMm.width() / 2, -pageMm.height() / 2);
        const QRectF page(QPointF(0, 0), pageMm.size());
        if (photo) {
            QLinearGradient g(page.topLeft(), page.bottomRight());
            g.setColorAt(0, QColor(200, 120, 40));
            g.setColorAt(1, QColor(40, 90, 180));
            p.fillRect(page, g);
        } else {
            p.fillRect(page, QColor(250, 250, 245));
            drawText(p, page.size());
        }
    }
    QRandomGenerator noise(3);
    for (int y = 0; y < image.height(); ++y) {
        uchar* row = image.scanLine(y);
        for (int i = 0; i < image.width() * 3; ++i)
            row[i] = uchar(std::clamp(int(row[i]) + int(noise.bounded(7)) - 3, 0, 255));
    }
    return image;
}

// The angle, within a degree of straight, at which the picture's dark rows
// line up best: the projection profile, counted here on its own.
inline double residualSkew(const QImage& image)
{
    const QImage gray = image.convertToFormat(QImage::Format_Grayscale8);
    std::vector<QPointF> dark;
    for (int y = 0; y < gray.height(); ++y)
        for (int x = 0; x < gray.width(); ++x)
            if (gray.constScanLine(y)[x] < 128)
                dark.emplace_back(x - gray.width() / 2.0, y - gray.height() / 2.0);
    double best = 0, bestScore = -1;
    for (double a = -1; a <= 1.0001; a += 0.05) {
        const double r = a * std::numbers::pi / 180;
        std::vector<double> bins(std::size_t(gray.width() + gray.height()) * 2);
        for (const QPointF& d : dark)
            bins[std::size_t(d.y() * std::cos(r) - d.x() * std::sin(r) + gray.width() + gray.height())] += 1;
        double score = 0;
        for (double b : bins)
            score += b * b;
        if (score > bestScore)
            bestScore = score, best = a;
    }
    return best;
}

} // namespace
