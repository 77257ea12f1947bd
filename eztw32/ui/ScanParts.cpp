#include "ScanParts.h"

#include "Dialogs.h"

#include <QComboBox>
#include <QDoubleSpinBox>
#include <QEvent>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLocale>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QSignalBlocker>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>
#include <cstring>
#include <mutex>

namespace eztw32 {
namespace {

QDoubleSpinBox* spin(QWidget* parent, const QString& name)
{
    auto* s = new QDoubleSpinBox(parent);
    s->setObjectName(name);
    s->setKeyboardTracking(false);
    return s;
}

QLayout* pair(QWidget* a, QWidget* b)
{
    auto* row = new QHBoxLayout;
    row->addWidget(a);
    row->addWidget(b);
    return row;
}

// The rows of the preview received so far, the rest white; `percent` how
// far it is.
QImage pictureOf(const PreviewBuffer& b, int& percent)
{
    if (b.width <= 0 || b.rows <= 0)
        return {};
    QImage picture(b.width, std::max(b.height, b.rows), QImage::Format_RGB888);
    picture.fill(Qt::white);
    const std::size_t rowBytes = std::size_t(b.width) * 3;
    for (int y = 0; y < b.rows; ++y)
        std::memcpy(picture.scanLine(y), b.pixels.data() + std::size_t(y) * rowBytes, rowBytes);
    if (b.height > 0)
        percent = b.rows * 100 / b.height;
    return picture;
}

} // namespace

void wholeInTooltip(QComboBox* combo)
{
    combo->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    combo->setMinimumContentsLength(26);
}

ElidedLabel::ElidedLabel(QWidget* parent)
    : QLabel(parent)
{
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
}

void ElidedLabel::setFullText(const QString& text)
{
    setText(text);
    setToolTip(text);
    setAccessibleDescription(text);
}

QSize ElidedLabel::minimumSizeHint() const
{
    return {fontMetrics().averageCharWidth() * 12, QLabel::minimumSizeHint().height()};
}

void ElidedLabel::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    const QRect r = contentsRect();
    p.setPen(palette().color(foregroundRole()));
    p.drawText(
        r, Qt::AlignLeft | Qt::AlignVCenter, fontMetrics().elidedText(text(), Qt::ElideRight, r.width()));
}

DeviceHeader::DeviceHeader(QWidget* parent, std::function<void(const DeviceInfo&)> chosen)
    : QObject(parent)
    , chosen_(std::move(chosen))
    , label_(new ElidedLabel(parent))
    , note_(new QLabel(parent))
    , devices_(new QComboBox(parent))
{
    label_->setObjectName(QStringLiteral("deviceLabel"));
    note_->setObjectName(QStringLiteral("deviceNote"));
    note_->setWordWrap(true);
    devices_->setObjectName(QStringLiteral("deviceCombo"));
    // Long scanner names are elided; the open list shows them whole.
    devices_->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    devices_->setMinimumContentsLength(16);
    connect(devices_, &QComboBox::currentIndexChanged, this, [this](int i) {
        if (i >= 0 && size_t(i) < found_.size() && found_[size_t(i)].name != current_)
            chosen_(found_[size_t(i)]);
    });
}

void DeviceHeader::addTo(QFormLayout* form)
{
    form_ = form;
    form->addRow(tr("Scanner:"), label_);
    form->addRow(note_);
    form->addRow(tr("Use:"), devices_);
}

void DeviceHeader::tellMissing(const OpenOutcome& opened)
{
    found_ = opened.found;
    if (opened.missing)
        note_->setText(tr("The scanner \"%1\" was not found; it may be switched off or disconnected. "
                          "%2. Using \"%3\".")
                           .arg(deviceTitle(*opened.missing), devicesFoundText(int(opened.found.size())),
                               deviceTitle(opened.info)));
    form_->setRowVisible(note_, opened.missing.has_value());
    form_->setRowVisible(devices_, opened.missing.has_value() && opened.found.size() > 1);
}

void DeviceHeader::show(const DeviceInfo& device)
{
    current_ = device.name;
    label_->setFullText(deviceTitle(device));
    // The device's own name, as SANE knows it.
    label_->setToolTip(QString::fromStdString(device.name));
    const QSignalBlocker block(devices_);
    devices_->clear();
    for (const DeviceInfo& d : found_) {
        devices_->addItem(deviceTitle(d), QString::fromStdString(d.name));
        devices_->setItemData(devices_->count() - 1, deviceTitle(d), Qt::ToolTipRole);
    }
    devices_->setCurrentIndex(devices_->findData(QString::fromStdString(device.name)));
}

void DeviceHeader::setEnabled(bool enabled)
{
    devices_->setEnabled(enabled);
}

AreaFields::AreaFields(QWidget* parent, std::function<void(const Area&)> chosen)
    : QObject(parent)
    , chosen_(std::move(chosen))
    // Inches where the locale measures in them.
    , unit_(QLocale().measurementSystem() == QLocale::ImperialUSSystem ? 25.4 : 1.0)
    , preset_(new QComboBox(parent))
    , left_(spin(parent, QStringLiteral("areaLeft")))
    , top_(spin(parent, QStringLiteral("areaTop")))
    , width_(spin(parent, QStringLiteral("areaWidth")))
    , height_(spin(parent, QStringLiteral("areaHeight")))
    , position_(pair(left_, top_))
    , extent_(pair(width_, height_))
{
    preset_->setObjectName(QStringLiteral("areaCombo"));
    wholeInTooltip(preset_);
    preset_->setPlaceholderText(tr("Drawn on the preview"));
    const QString unitName = unit_ != 1.0 ? tr("in inches") : tr("in millimetres");
    nameField(
        nullptr, left_, tr("Area left edge, %1").arg(unitName), tr("Distance from the left edge of the bed"));
    nameField(
        nullptr, top_, tr("Area top edge, %1").arg(unitName), tr("Distance from the top edge of the bed"));
    nameField(nullptr, width_, tr("Area width, %1").arg(unitName), QString());
    nameField(nullptr, height_, tr("Area height, %1").arg(unitName), QString());
    connect(preset_, &QComboBox::currentIndexChanged, this, [this](int i) {
        preset_->setToolTip(preset_->currentText());
        if (i >= 0 && size_t(i) < presets_.size())
            chosen_(presets_[size_t(i)].area);
    });
    for (QDoubleSpinBox* s : {left_, top_, width_, height_})
        connect(s, &QDoubleSpinBox::valueChanged, this, &AreaFields::fromEdges);
}

void AreaFields::addTo(QFormLayout* form)
{
    form_ = form;
    form->addRow(tr("Area:"), preset_);
    form->addRow(tr("Left, top:"), position_);
    form->addRow(tr("Width, height:"), extent_);
}

void AreaFields::setModel(const ScanOptions& m)
{
    const QSignalBlocker block(preset_);
    const bool inches = unit_ != 1.0;
    presets_ = m.presets();
    preset_->clear();
    for (const Preset& p : presets_) {
        const QString size = QStringLiteral("%1 × %2 %3")
                                 .arg(p.area.width() / unit_, 0, 'f', inches ? 1 : 0)
                                 .arg(p.area.height() / unit_, 0, 'f', inches ? 1 : 0)
                                 .arg(inches ? tr("in") : tr("mm"));
        preset_->addItem(p.name.empty()
                ? tr("Full area (%1)").arg(size)
                : QStringLiteral("%1 (%2)").arg(QString::fromStdString(p.name), size));
    }
    form_->setRowVisible(preset_, m.hasArea());
    form_->setRowVisible(position_, m.hasArea());
    form_->setRowVisible(extent_, m.hasArea());
    if (!m.hasArea())
        return;
    const Area b = m.bounds();
    const double step = m.areaStep() > 0 ? m.areaStep() / unit_ : (inches ? 0.01 : 0.1);
    for (QDoubleSpinBox* s : {left_, top_, width_, height_}) {
        const QSignalBlocker still(s);
        s->setDecimals(inches ? 2 : 1);
        s->setSingleStep(step);
        s->setSuffix(inches ? tr(" in") : tr(" mm"));
    }
    const QSignalBlocker a(left_), b2(top_), c(width_), d(height_);
    left_->setRange(b.tlX / unit_, b.brX / unit_);
    top_->setRange(b.tlY / unit_, b.brY / unit_);
    width_->setRange(0, b.width() / unit_);
    height_->setRange(0, b.height() / unit_);
}

void AreaFields::show(const Area& a, int preset, bool found)
{
    const QSignalBlocker p(preset_), l(left_), t(top_), w(width_), h(height_);
    preset_->setPlaceholderText(found ? tr("Found on the preview") : tr("Drawn on the preview"));
    left_->setValue(a.tlX / unit_);
    top_->setValue(a.tlY / unit_);
    width_->setValue(a.width() / unit_);
    height_->setValue(a.height() / unit_);
    preset_->setCurrentIndex(preset);
    preset_->setToolTip(preset_->currentText());
}

void AreaFields::fromEdges()
{
    const double x = left_->value() * unit_, y = top_->value() * unit_;
    chosen_(Area{x, y, x + width_->value() * unit_, y + height_->value() * unit_});
}

PreviewColumn::PreviewColumn(QWidget* parent)
    : QWidget(parent)
    , pane_(new PreviewPane(this))
    , bar_(new QProgressBar(this))
    , zoom_(new QPushButton(tr("&Zoom to area"), this))
    , fit_(new QPushButton(tr("&Fit"), this))
    , timer_(new QTimer(this))
{
    pane_->setAccessibleName(tr("Preview of the bed and the scan area"));
    // The preview shrinks with the dialog, down to a size still useful for
    // drawing on it.
    pane_->setMinimumSize(120, 160);
    zoom_->setObjectName(QStringLiteral("zoomButton"));
    zoom_->setToolTip(tr("Shows the scan area as large as the preview holds it, to draw it precisely "
                         "(the mouse wheel zooms too)"));
    fit_->setObjectName(QStringLiteral("fitButton"));
    fit_->setToolTip(tr("Shows the whole bed again"));
    for (QPushButton* b : {zoom_, fit_})
        b->setAutoDefault(false); // Enter scans
    fit_->setEnabled(false);
    connect(zoom_, &QPushButton::clicked, pane_, &PreviewPane::zoomToArea);
    connect(fit_, &QPushButton::clicked, pane_, &PreviewPane::fit);
    connect(pane_, &PreviewPane::viewChanged, this, [this] {
        const bool zoomed = pane_->zoom() > 1.0 + 1e-9;
        // The focus moves on from a button that goes out of use, not to Cancel.
        if (!zoomed && fit_->hasFocus())
            zoom_->setFocus(Qt::OtherFocusReason);
        fit_->setEnabled(zoomed);
    });
    bar_->setObjectName(QStringLiteral("previewProgress"));
    bar_->setRange(0, 100);
    bar_->setVisible(false);
    timer_->setInterval(100);
    connect(timer_, &QTimer::timeout, this, &PreviewColumn::showProgress);
    auto* zoomRow = new QHBoxLayout;
    zoomRow->addWidget(zoom_);
    zoomRow->addWidget(fit_);
    zoomRow->addStretch();
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->addWidget(pane_, 1);
    column->addWidget(bar_);
    column->addLayout(zoomRow);
}

void PreviewColumn::setUsable(bool usable)
{
    pane_->setEnabled(usable);
    zoom_->setEnabled(usable);
}

void PreviewColumn::start(std::shared_ptr<PreviewBuffer> buffer)
{
    buffer_ = std::move(buffer);
    bar_->setValue(0);
    bar_->setVisible(true);
    timer_->start();
}

void PreviewColumn::finish()
{
    timer_->stop();
    showProgress();
    bar_->setVisible(false);
    buffer_.reset();
}

void PreviewColumn::showProgress()
{
    if (!buffer_)
        return;
    int percent = bar_->value();
    QImage picture;
    {
        std::lock_guard lock(buffer_->mutex);
        picture = pictureOf(*buffer_, percent);
    }
    if (picture.isNull())
        return;
    bar_->setValue(percent);
    pane_->setPicture(picture);
}

SettingsColumn::SettingsColumn(QWidget* parent, QWidget* settings, QWidget* extra)
    : QScrollArea(parent)
    , extra_(extra)
{
    setObjectName(QStringLiteral("settingsArea"));
    setFrameShape(QFrame::NoFrame);
    setFocusPolicy(Qt::NoFocus);
    setWidgetResizable(true);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setSizePolicy(QSizePolicy::Minimum, QSizePolicy::Expanding);
    setWidget(settings);
    // Never sideways: a field that takes the focus is shown by scrolling up
    // or down only.
    connect(horizontalScrollBar(), &QScrollBar::valueChanged, this, [this](int v) {
        if (v != 0)
            horizontalScrollBar()->setValue(0);
    });
    settings->installEventFilter(this);
    extra->installEventFilter(this);
}

int SettingsColumn::neededWidth() const
{
    const QWidget* settings = widget();
    int need = settings->minimumSizeHint().width();
    if (extra_ && settings->layout()) {
        const QMargins m = settings->layout()->contentsMargins();
        need = std::max(need, extra_->minimumSizeHint().width() + m.left() + m.right());
    }
    return need + verticalScrollBar()->sizeHint().width() + 2 * frameWidth();
}

QSize SettingsColumn::minimumSizeHint() const
{
    return {neededWidth(), QScrollArea::minimumSizeHint().height()};
}

QSize SettingsColumn::sizeHint() const
{
    return {neededWidth(), QScrollArea::sizeHint().height()};
}

bool SettingsColumn::eventFilter(QObject* watched, QEvent* event)
{
    // A row grown wider (a longer list entry, new options) widens the column.
    if (event->type() == QEvent::LayoutRequest)
        updateGeometry();
    return QScrollArea::eventFilter(watched, event);
}

} // namespace eztw32
