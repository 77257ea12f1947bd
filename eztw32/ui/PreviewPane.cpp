#include "Dialogs.h"

#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>

#include <algorithm>
#include <cmath>

namespace eztw32 {
namespace {

// How near an edge, in pixels, the mouse grips it.
constexpr double Grip = 6.0;
// How far, in millimetres of the bed, the mouse must go before a press is a
// drag; a click, or a shake of the hand, leaves the area as it was. A drawn
// area is never thinner than this either.
constexpr double LeastDrag = 2.0;

} // namespace

PreviewPane::PreviewPane(QWidget* parent)
    : QWidget(parent)
{
    setObjectName(QStringLiteral("previewPane"));
    setMouseTracking(true);
    setMinimumSize(200, 260);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
}

void PreviewPane::setBounds(const Area& bounds, std::function<Area(Area)> clamp)
{
    bounds_ = bounds;
    clamp_ = std::move(clamp);
    update();
}

void PreviewPane::setArea(const Area& area, bool drawn)
{
    area_ = area;
    drawn_ = drawn;
    update();
}

void PreviewPane::setPicture(const QImage& picture)
{
    picture_ = picture;
    update();
}

QRectF PreviewPane::bed() const
{
    const QRectF room = QRectF(rect()).adjusted(4, 4, -4, -4);
    const double w = std::max(bounds_.width(), 1e-6), h = std::max(bounds_.height(), 1e-6);
    const double scale = std::min(room.width() / w, room.height() / h);
    const QSizeF size(w * scale, h * scale);
    return {room.center() - QPointF(size.width() / 2, size.height() / 2), size};
}

QPointF PreviewPane::toMm(QPointF px) const
{
    const QRectF b = bed();
    return {bounds_.tlX + (px.x() - b.left()) / b.width() * bounds_.width(),
        bounds_.tlY + (px.y() - b.top()) / b.height() * bounds_.height()};
}

QRectF PreviewPane::toPx(const Area& a) const
{
    const QRectF b = bed();
    auto x = [&](double mm) { return b.left() + (mm - bounds_.tlX) / bounds_.width() * b.width(); };
    auto y = [&](double mm) { return b.top() + (mm - bounds_.tlY) / bounds_.height() * b.height(); };
    return QRectF(QPointF(x(a.tlX), y(a.tlY)), QPointF(x(a.brX), y(a.brY)));
}

int PreviewPane::hit(QPointF p) const
{
    // A preset or the whole bed is replaced by the area drawn, never moved.
    if (!drawn_)
        return Draw;
    const QRectF r = toPx(area_);
    const bool inY = p.y() > r.top() - Grip && p.y() < r.bottom() + Grip;
    const bool inX = p.x() > r.left() - Grip && p.x() < r.right() + Grip;
    int edges = None;
    if (inY && std::fabs(p.x() - r.left()) <= Grip)
        edges |= Left;
    else if (inY && std::fabs(p.x() - r.right()) <= Grip)
        edges |= Right;
    if (inX && std::fabs(p.y() - r.top()) <= Grip)
        edges |= Top;
    else if (inX && std::fabs(p.y() - r.bottom()) <= Grip)
        edges |= Bottom;
    if (edges != None)
        return edges;
    return r.contains(p) ? Move : Draw;
}

void PreviewPane::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.fillRect(rect(), palette().window());
    const QRectF b = bed();
    if (picture_.isNull())
        p.fillRect(b, Qt::white);
    else
        p.drawImage(b, picture_);
    p.setPen(QPen(Qt::darkGray, 1));
    p.drawRect(b);
    // Outside the area darkened, the area framed.
    const QRectF a = toPx(area_);
    QPainterPath outside;
    outside.addRect(b);
    QPainterPath inside;
    inside.addRect(a);
    p.fillPath(outside.subtracted(inside), QColor(0, 0, 0, 90));
    p.setPen(QPen(QColor(0, 120, 215), 2, Qt::SolidLine));
    p.drawRect(a);
}

void PreviewPane::mousePressEvent(QMouseEvent* e)
{
    if (e->button() != Qt::LeftButton || !bed().adjusted(-Grip, -Grip, Grip, Grip).contains(e->position()))
        return;
    drag_ = hit(e->position());
    dragging_ = false;
    pressMm_ = toMm(e->position());
    pressArea_ = area_;
    beforeArea_ = area_;
    if (drag_ == Draw)
        pressArea_ = {pressMm_.x(), pressMm_.y(), pressMm_.x(), pressMm_.y()};
}

void PreviewPane::mouseMoveEvent(QMouseEvent* e)
{
    if (drag_ == None) {
        // The cursor tells what a press would do.
        const int h = hit(e->position());
        Qt::CursorShape shape = Qt::CrossCursor;
        if (h == Move)
            shape = Qt::SizeAllCursor;
        else if (h == (Left | Top) || h == (Right | Bottom))
            shape = Qt::SizeFDiagCursor;
        else if (h == (Right | Top) || h == (Left | Bottom))
            shape = Qt::SizeBDiagCursor;
        else if (h & (Left | Right))
            shape = Qt::SizeHorCursor;
        else if (h & (Top | Bottom))
            shape = Qt::SizeVerCursor;
        setCursor(shape);
        return;
    }
    const QPointF mm = toMm(e->position());
    const double dx = mm.x() - pressMm_.x(), dy = mm.y() - pressMm_.y();
    if (!dragging_ && std::max(std::fabs(dx), std::fabs(dy)) < LeastDrag)
        return;
    dragging_ = true;
    Area a = pressArea_;
    if (drag_ == Draw) {
        a = {std::min(pressMm_.x(), mm.x()), std::min(pressMm_.y(), mm.y()), std::max(pressMm_.x(), mm.x()),
            std::max(pressMm_.y(), mm.y())};
    } else if (drag_ == Move) {
        // Moved whole: kept inside the bed at its size.
        const double mx = std::clamp(dx, bounds_.tlX - a.tlX, bounds_.brX - a.brX);
        const double my = std::clamp(dy, bounds_.tlY - a.tlY, bounds_.brY - a.brY);
        a = {a.tlX + mx, a.tlY + my, a.brX + mx, a.brY + my};
    } else {
        if (drag_ & Left)
            a.tlX = std::min(a.tlX + dx, a.brX);
        if (drag_ & Right)
            a.brX = std::max(a.brX + dx, a.tlX);
        if (drag_ & Top)
            a.tlY = std::min(a.tlY + dy, a.brY);
        if (drag_ & Bottom)
            a.brY = std::max(a.brY + dy, a.tlY);
    }
    if (clamp_)
        a = clamp_(a);
    if (!(a == area_)) {
        area_ = a;
        update();
        Q_EMIT areaChanged(area_);
    }
}

void PreviewPane::mouseReleaseEvent(QMouseEvent* e)
{
    if (drag_ == None)
        return;
    mouseMoveEvent(e);
    // A sliver drawn by a drag mostly along one edge would scan a line of
    // pixels: the area stays as it was before the press.
    const bool sliver
        = drag_ == Draw && dragging_ && (area_.width() < LeastDrag || area_.height() < LeastDrag);
    drag_ = None;
    dragging_ = false;
    if (sliver && !(area_ == beforeArea_)) {
        area_ = beforeArea_;
        update();
        Q_EMIT areaChanged(area_);
    }
}

} // namespace eztw32
