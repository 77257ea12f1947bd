#include "Dialogs.h"

#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QWheelEvent>

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

// How much one notch of the wheel magnifies, and the most magnification.
constexpr double WheelStep = 1.25;
constexpr double MostZoom = 16.0;

} // namespace

PreviewPane::PreviewPane(QWidget* parent)
    : QWidget(parent)
{
    setObjectName(QStringLiteral("previewPane"));
    setMouseTracking(true);
    setMinimumSize(200, 260);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    setToolTip(tr("Drag to draw the scan area; drag its edges to resize it, inside it to move it.\n"
                  "The mouse wheel zooms in and out around the pointer; the middle button moves "
                  "the zoomed view."));
}

void PreviewPane::setBounds(const Area& bounds, std::function<Area(Area)> clamp)
{
    const bool changed = !(bounds == bounds_);
    bounds_ = bounds;
    clamp_ = std::move(clamp);
    if (changed)
        setView(bounds_);
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
    showLight();
}

void PreviewPane::setLight(const std::optional<LightTable>& table)
{
    // Asked again with every change of the dialog's fields: the picture is
    // lit anew only when its light changes.
    if (table == light_)
        return;
    light_ = table;
    showLight();
}

void PreviewPane::showLight()
{
    shown_ = picture_;
    if (light_ && !shown_.isNull()) {
        shown_ = picture_.convertToFormat(QImage::Format_RGB888);
        const std::size_t rowBytes = std::size_t(shown_.width()) * 3;
        for (int y = 0; y < shown_.height(); ++y)
            applyLight(*light_, shown_.scanLine(y), rowBytes);
    }
    scaled_ = QImage();
    update();
}

void PreviewPane::setTurn(Turn turn, const QString& text)
{
    turn_ = turn;
    turnText_ = text;
    setAccessibleDescription(turn == Turn::None ? QString() : tr("The scan is turned %1").arg(text));
    update();
}

double PreviewPane::zoom() const
{
    return std::max(
        bounds_.width() / std::max(view_.width(), 1e-6), bounds_.height() / std::max(view_.height(), 1e-6));
}

void PreviewPane::setView(Area v)
{
    const double w = std::clamp(v.width(), bounds_.width() / MostZoom, bounds_.width());
    const double h = std::clamp(v.height(), bounds_.height() / MostZoom, bounds_.height());
    // Grown or shrunk about its centre, then moved inside the bed.
    const double cx = (v.tlX + v.brX) / 2, cy = (v.tlY + v.brY) / 2;
    const double x = std::clamp(cx - w / 2, bounds_.tlX, bounds_.brX - w);
    const double y = std::clamp(cy - h / 2, bounds_.tlY, bounds_.brY - h);
    const Area next{x, y, x + w, y + h};
    if (next == view_)
        return;
    view_ = next;
    update();
    Q_EMIT viewChanged();
}

void PreviewPane::fit()
{
    setView(bounds_);
}

void PreviewPane::zoomToArea()
{
    const double mx = area_.width() * 0.05, my = area_.height() * 0.05;
    setView({area_.tlX - mx, area_.tlY - my, area_.brX + mx, area_.brY + my});
}

void PreviewPane::zoomAt(QPointF at, double factor)
{
    // The origin stays where it is when the view keeps its proportions, so
    // the point under the pointer stays put at the new scale.
    const QPointF mm = toMm(at);
    const double w = view_.width() / factor, h = view_.height() / factor;
    const double newScale = scale() * factor;
    const QPointF tl = mm - (at - origin()) / newScale;
    Area v{tl.x(), tl.y(), tl.x() + w, tl.y() + h};
    if (w > bounds_.width() || h > bounds_.height())
        v = bounds_;
    setView(v);
}

QRectF PreviewPane::room() const
{
    return QRectF(rect()).adjusted(4, 4, -4, -4);
}

double PreviewPane::scale() const
{
    const QRectF r = room();
    return std::min(r.width() / std::max(view_.width(), 1e-6), r.height() / std::max(view_.height(), 1e-6));
}

QPointF PreviewPane::origin() const
{
    const double s = scale();
    return room().center() - QPointF(view_.width() * s / 2, view_.height() * s / 2);
}

QRectF PreviewPane::bed() const
{
    return toPx(bounds_);
}

QPointF PreviewPane::toMm(QPointF px) const
{
    const QPointF o = origin();
    const double s = scale();
    return {view_.tlX + (px.x() - o.x()) / s, view_.tlY + (px.y() - o.y()) / s};
}

QRectF PreviewPane::toPx(const Area& a) const
{
    const QPointF o = origin();
    const double s = scale();
    return QRectF(QPointF(o.x() + (a.tlX - view_.tlX) * s, o.y() + (a.tlY - view_.tlY) * s),
        QPointF(o.x() + (a.brX - view_.tlX) * s, o.y() + (a.brY - view_.tlY) * s));
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
    p.setClipRect(room().adjusted(-2, -2, 2, 2));
    const QRectF b = bed();
    if (shown_.isNull()) {
        p.fillRect(b, Qt::white);
    } else if (b.width() <= shown_.width() && b.height() <= shown_.height()) {
        // Made smaller: scaled once with a proper filter, drawn 1:1.
        const QSize size = b.size().toSize();
        if (scaled_.size() != size)
            scaled_ = shown_.scaled(size, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
        p.drawImage(b.topLeft(), scaled_);
    } else {
        // Made larger, at zoom: filtered as it is drawn, only what shows.
        p.setRenderHint(QPainter::SmoothPixmapTransform);
        p.drawImage(b, shown_);
    }
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
    if (turn_ == Turn::None)
        return;
    // The turn on a tab at the frame's top left corner, an arrow before it.
    const QString tab
        = (turn_ == Turn::Left ? QStringLiteral("\u21BA ") : QStringLiteral("\u21BB ")) + turnText_;
    const QFontMetrics fm = p.fontMetrics();
    const QRectF t(a.topLeft(), QSizeF(fm.horizontalAdvance(tab) + 8, fm.height() + 4));
    p.fillRect(t, QColor(0, 120, 215));
    p.setPen(Qt::white);
    p.drawText(t, Qt::AlignCenter, tab);
}

void PreviewPane::mousePressEvent(QMouseEvent* e)
{
    if (e->button() == Qt::MiddleButton && drag_ == None) {
        panning_ = true;
        panFrom_ = e->position();
        panView_ = view_;
        setCursor(Qt::ClosedHandCursor);
        return;
    }
    if (e->button() != Qt::LeftButton || panning_ || !room().contains(e->position())
        || !bed().adjusted(-Grip, -Grip, Grip, Grip).contains(e->position()))
        return;
    drag_ = hit(e->position());
    dragging_ = false;
    pressMm_ = toMm(e->position());
    pressArea_ = area_;
    beforeArea_ = area_;
    if (drag_ == Draw)
        pressArea_ = {pressMm_.x(), pressMm_.y(), pressMm_.x(), pressMm_.y()};
}

void PreviewPane::wheelEvent(QWheelEvent* e)
{
    const int notches = e->angleDelta().y();
    if (notches == 0) {
        e->ignore();
        return;
    }
    zoomAt(e->position(), std::pow(WheelStep, notches / 120.0));
    e->accept();
}

void PreviewPane::mouseMoveEvent(QMouseEvent* e)
{
    if (panning_) {
        const QPointF d = (e->position() - panFrom_) / scale();
        setView({panView_.tlX - d.x(), panView_.tlY - d.y(), panView_.brX - d.x(), panView_.brY - d.y()});
        return;
    }
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
    if (panning_ && e->button() == Qt::MiddleButton) {
        panning_ = false;
        setCursor(Qt::CrossCursor);
        return;
    }
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
