#include "Dialogs.h"

#include "OptionFields.h"

#include <QFormLayout>
#include <QGroupBox>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QStyle>
#include <QStyleOptionFocusRect>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>

namespace eztw32 {
namespace {

QString number(double v)
{
    return QString::number(v, 'g', 12);
}

} // namespace

void nameField(QLabel* label, QWidget* field, const QString& title, const QString& description)
{
    if (label)
        label->setBuddy(field);
    field->setAccessibleName(title);
    field->setAccessibleDescription(description);
}

OptionsPanel::OptionsPanel(QWidget* parent)
    : QWidget(parent)
    , layout_(new QVBoxLayout(this))
{
    setObjectName(QStringLiteral("optionsPanel"));
    layout_->setContentsMargins(0, 0, 0, 0);
}

void OptionsPanel::setShowAdvanced(bool show)
{
    if (show == showAdvanced_)
        return;
    showAdvanced_ = show;
    rebuild();
}

std::string OptionsPanel::signature() const
{
    std::string s;
    for (const OptionInfo& o : options_) {
        s += o.name + '|' + std::to_string(o.caps) + '|' + std::to_string(int(o.constraint)) + '|'
            + std::to_string(o.min) + '|' + std::to_string(o.max) + '|' + std::to_string(o.quant) + '|'
            + std::to_string(o.count);
        for (const std::string& t : o.strings)
            s += '|' + t;
        for (double v : o.numbers)
            s += '|' + std::to_string(v);
        s += '\n';
    }
    return s;
}

void OptionsPanel::setOptions(
    const std::vector<OptionInfo>& options, const std::set<std::string>& shownElsewhere)
{
    options_ = options;
    shownElsewhere_ = shownElsewhere;
    const std::string sig = signature();
    if (sig != signature_) {
        signature_ = sig;
        rebuild();
    } else {
        showValues();
    }
}

void OptionsPanel::rebuild()
{
    fields_.clear();
    while (QLayoutItem* item = layout_->takeAt(0)) {
        delete item->widget();
        delete item;
    }
    QGroupBox* box = nullptr;
    QFormLayout* form = nullptr;
    std::string group = "\x01";
    for (const OptionInfo& o : options_) {
        if (!o.settable() || shownElsewhere_.count(o.name) || (o.advanced() && !showAdvanced_))
            continue;
        if (!box || o.group != group) {
            group = o.group;
            box = new QGroupBox(QString::fromStdString(group.empty() ? std::string("Options") : group), this);
            form = new QFormLayout(box);
            // A label goes above its field where the two do not fit side
            // by side.
            form->setRowWrapPolicy(QFormLayout::WrapLongRows);
            form->setFieldGrowthPolicy(QFormLayout::AllNonFixedFieldsGrow);
            layout_->addWidget(box);
        }
        const auto first = firstValues_.try_emplace(o.name, o.values).first->second;
        OptionField* field = OptionField::make(o, box, first);
        field->addTo(form);
        connect(field, &OptionField::edited, this, &OptionsPanel::edited);
        fields_[o.name] = field;
    }
    layout_->addStretch();
    // Shown at once, so that a field made anew can take the focus back, not
    // when the layout gets round to it.
    for (QGroupBox* b : findChildren<QGroupBox*>(Qt::FindDirectChildrenOnly))
        b->show();
    showValues();
    Q_EMIT rebuilt();
}

void OptionsPanel::showValues()
{
    for (const OptionInfo& o : options_)
        if (const auto f = fields_.find(o.name); f != fields_.end())
            f->second->show(o);
}

ArrayEditor::ArrayEditor(QWidget* parent, const OptionInfo& option, std::vector<double> first)
    : QWidget(parent)
    , option_(option)
    , values_(option.values)
    , first_(std::move(first))
{
    setFocusPolicy(Qt::StrongFocus);
    setMinimumSize(120, 90);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    if (option_.constraint == OptionConstraint::Range && option_.max > option_.min) {
        lo_ = option_.min;
        hi_ = option_.max;
    } else if (option_.constraint == OptionConstraint::WordList && !option_.numbers.empty()) {
        lo_ = *std::min_element(option_.numbers.begin(), option_.numbers.end());
        hi_ = *std::max_element(option_.numbers.begin(), option_.numbers.end());
    } else {
        // No bounds of its own: those of the values there are, and of those
        // first shown.
        lo_ = 0;
        hi_ = 1;
        for (const std::vector<double>* v : {&values_, &first_})
            for (double x : *v) {
                lo_ = std::min(lo_, x);
                hi_ = std::max(hi_, x);
            }
    }
    if (hi_ <= lo_)
        hi_ = lo_ + 1;
}

QSize ArrayEditor::sizeHint() const
{
    return {240, 120};
}

void ArrayEditor::setValues(const std::vector<double>& values)
{
    if (pressed_)
        return;
    values_ = values;
    current_ = std::clamp(current_, 0, std::max(0, int(values_.size()) - 1));
    update();
}

QString ArrayEditor::valuesText() const
{
    QStringList parts;
    for (double v : values_)
        parts << number(v);
    return parts.join(QStringLiteral(", "));
}

void ArrayEditor::linear()
{
    const int n = int(values_.size());
    for (int i = 0; i < n; ++i)
        values_[std::size_t(i)] = allowed(n > 1 ? lo_ + (hi_ - lo_) * i / (n - 1) : lo_);
    update();
    send();
}

void ArrayEditor::reset()
{
    if (first_.size() != values_.size())
        return;
    values_ = first_;
    update();
    send();
}

QRectF ArrayEditor::plot() const
{
    return QRectF(rect()).adjusted(3, 3, -3, -3);
}

int ArrayEditor::indexAt(double x) const
{
    const QRectF p = plot();
    const int n = int(values_.size());
    if (n <= 1)
        return 0;
    return std::clamp(int(std::lround((x - p.left()) / p.width() * (n - 1))), 0, n - 1);
}

double ArrayEditor::valueAt(double y) const
{
    const QRectF p = plot();
    return allowed(lo_ + (p.bottom() - y) / p.height() * (hi_ - lo_));
}

double ArrayEditor::allowed(double v) const
{
    v = std::clamp(v, lo_, hi_);
    if (option_.constraint == OptionConstraint::WordList && !option_.numbers.empty()) {
        return *std::min_element(option_.numbers.begin(), option_.numbers.end(),
            [v](double a, double b) { return std::fabs(a - v) < std::fabs(b - v); });
    }
    if (option_.constraint == OptionConstraint::Range && option_.quant > 0)
        v = std::clamp(option_.min + std::round((v - option_.min) / option_.quant) * option_.quant, lo_, hi_);
    if (option_.type == OptionType::Int)
        v = std::round(v);
    return v;
}

void ArrayEditor::put(int from, double fromValue, int to, double toValue)
{
    // Every point between the two, so that a quick drag leaves no gaps.
    if (from > to) {
        std::swap(from, to);
        std::swap(fromValue, toValue);
    }
    for (int i = from; i <= to; ++i) {
        const double t = to == from ? 1.0 : double(i - from) / (to - from);
        values_[std::size_t(i)] = allowed(fromValue + (toValue - fromValue) * t);
    }
    update();
}

void ArrayEditor::send()
{
    Q_EMIT edited(valuesText());
}

void ArrayEditor::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.fillRect(rect(), palette().base());
    const QRectF r = plot();
    p.setPen(QPen(palette().mid().color(), 1, Qt::DashLine));
    p.drawLine(r.bottomLeft(), r.topRight());
    const int n = int(values_.size());
    auto at = [&](int i) {
        const double x = n > 1 ? r.left() + r.width() * i / (n - 1) : r.center().x();
        return QPointF(x, r.bottom() - (values_[std::size_t(i)] - lo_) / (hi_ - lo_) * r.height());
    };
    QPolygonF curve;
    for (int i = 0; i < n; ++i)
        curve << at(i);
    p.setPen(QPen(palette().text().color(), 1.5));
    p.drawPolyline(curve);
    if (hasFocus() && n > 0) {
        p.setPen(QPen(palette().highlight().color(), 2));
        p.drawEllipse(at(current_), 4, 4);
        QStyleOptionFocusRect o;
        o.initFrom(this);
        style()->drawPrimitive(QStyle::PE_FrameFocusRect, &o, &p, this);
    }
    p.setPen(palette().mid().color());
    p.drawRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5));
}

void ArrayEditor::mousePressEvent(QMouseEvent* e)
{
    if (e->button() != Qt::LeftButton || values_.empty())
        return;
    // The stroke starts on the curve where it is pressed, so that it joins
    // the curve there without a step; it goes on through the pointer.
    pressed_ = true;
    lastIndex_ = indexAt(e->position().x());
    lastValue_ = values_[std::size_t(lastIndex_)];
    current_ = lastIndex_;
}

void ArrayEditor::mouseMoveEvent(QMouseEvent* e)
{
    if (!pressed_)
        return;
    const int i = indexAt(e->position().x());
    const double v = valueAt(e->position().y());
    put(lastIndex_, lastValue_, i, v);
    lastIndex_ = current_ = i;
    lastValue_ = v;
}

void ArrayEditor::mouseReleaseEvent(QMouseEvent* e)
{
    if (!pressed_ || e->button() != Qt::LeftButton)
        return;
    mouseMoveEvent(e);
    pressed_ = false;
    send();
}

void ArrayEditor::keyPressEvent(QKeyEvent* e)
{
    const int n = int(values_.size());
    if (n == 0) {
        QWidget::keyPressEvent(e);
        return;
    }
    const double step = option_.constraint == OptionConstraint::Range && option_.quant > 0
        ? option_.quant
        : std::max(option_.type == OptionType::Int ? 1.0 : 0.0, (hi_ - lo_) / 100);
    const double big = std::max(step, (hi_ - lo_) / 10);
    double& v = values_[std::size_t(current_)];
    switch (e->key()) {
    case Qt::Key_Left:
        current_ = std::max(0, current_ - (e->modifiers() & Qt::ShiftModifier ? 16 : 1));
        break;
    case Qt::Key_Right:
        current_ = std::min(n - 1, current_ + (e->modifiers() & Qt::ShiftModifier ? 16 : 1));
        break;
    case Qt::Key_Up:
    case Qt::Key_PageUp:
        v = allowed(v + (e->key() == Qt::Key_Up ? step : big));
        send();
        break;
    case Qt::Key_Down:
    case Qt::Key_PageDown:
        v = allowed(v - (e->key() == Qt::Key_Down ? step : big));
        send();
        break;
    default:
        QWidget::keyPressEvent(e);
        return;
    }
    update();
}

} // namespace eztw32
