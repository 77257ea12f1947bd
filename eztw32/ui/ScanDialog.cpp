#include "Dialogs.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QDoubleSpinBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLocale>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>
#include <utility>

namespace eztw32 {
namespace {

// The last preview of each device, kept for the rest of the run.
std::map<std::string, QImage>& previews()
{
    static auto* kept = new std::map<std::string, QImage>;
    return *kept;
}

QString dpiText(double dpi)
{
    return QStringLiteral("%1 dpi").arg(dpi, 0, 'f', dpi == std::floor(dpi) ? 0 : 1);
}

QString modeText(ColourMode m)
{
    switch (m) {
    case ColourMode::Colour:
        return QObject::tr("Colour");
    case ColourMode::Gray:
        return QObject::tr("Gray");
    case ColourMode::LineArt:
        return QObject::tr("Black and white (line art)");
    case ColourMode::DeviceDefault:
        break;
    }
    return {};
}

QString megabytes(std::int64_t bytes)
{
    const double mb = double(bytes) / 1e6;
    return QObject::tr("%1 MB").arg(mb, 0, 'f', mb < 10 ? 1 : 0);
}

// While it lives, the dialog is filling its own widgets: their change
// signals are not the user's. Nests.
class Filling {
public:
    explicit Filling(bool& flag)
        : flag_(flag)
        , was_(std::exchange(flag, true))
    { }
    ~Filling() { flag_ = was_; }
    Filling(const Filling&) = delete;
    Filling& operator=(const Filling&) = delete;

private:
    bool& flag_;
    bool was_;
};

QDoubleSpinBox* spin(QWidget* parent, const QString& name)
{
    auto* s = new QDoubleSpinBox(parent);
    s->setObjectName(name);
    s->setKeyboardTracking(false);
    return s;
}

} // namespace

ScanDialog::ScanDialog(QWidget* owner, SaneClient& client, Settings& settings, const OpenOutcome& opened)
    : QDialog(owner)
    , client_(client)
    , remembered_(settings)
{
    installAccessibility();
    setObjectName(QStringLiteral("scanDialog"));
    setWindowTitle(tr("Scanner"));
    setModal(true);
    // Inches where the locale measures in them.
    const bool inches = QLocale().measurementSystem() == QLocale::ImperialUSSystem;
    unit_ = inches ? 25.4 : 1.0;

    form_ = new QFormLayout;
    deviceLabel_ = new QLabel(this);
    deviceLabel_->setObjectName(QStringLiteral("deviceLabel"));
    form_->addRow(tr("Scanner:"), deviceLabel_);
    note_ = new QLabel(this);
    note_->setObjectName(QStringLiteral("deviceNote"));
    note_->setWordWrap(true);
    form_->addRow(note_);
    devices_ = new QComboBox(this);
    devices_->setObjectName(QStringLiteral("deviceCombo"));
    form_->addRow(tr("Use:"), devices_);
    source_ = new QComboBox(this);
    source_->setObjectName(QStringLiteral("sourceCombo"));
    form_->addRow(tr("Source:"), source_);
    mode_ = new QComboBox(this);
    mode_->setObjectName(QStringLiteral("modeCombo"));
    form_->addRow(tr("Mode:"), mode_);
    resolution_ = new QComboBox(this);
    resolution_->setObjectName(QStringLiteral("resolutionCombo"));
    form_->addRow(tr("Resolution:"), resolution_);
    areaPreset_ = new QComboBox(this);
    areaPreset_->setObjectName(QStringLiteral("areaCombo"));
    areaPreset_->setPlaceholderText(tr("Drawn on the preview"));
    form_->addRow(tr("Area:"), areaPreset_);
    areaRow_ = new QWidget(this);
    auto* areaGrid = new QFormLayout(areaRow_);
    areaGrid->setContentsMargins(0, 0, 0, 0);
    left_ = spin(areaRow_, QStringLiteral("areaLeft"));
    top_ = spin(areaRow_, QStringLiteral("areaTop"));
    width_ = spin(areaRow_, QStringLiteral("areaWidth"));
    height_ = spin(areaRow_, QStringLiteral("areaHeight"));
    const QString unitName = inches ? tr("in inches") : tr("in millimetres");
    nameField(
        nullptr, left_, tr("Area left edge, %1").arg(unitName), tr("Distance from the left edge of the bed"));
    nameField(
        nullptr, top_, tr("Area top edge, %1").arg(unitName), tr("Distance from the top edge of the bed"));
    nameField(nullptr, width_, tr("Area width, %1").arg(unitName), QString());
    nameField(nullptr, height_, tr("Area height, %1").arg(unitName), QString());
    auto* position = new QHBoxLayout;
    position->addWidget(left_);
    position->addWidget(top_);
    auto* extent = new QHBoxLayout;
    extent->addWidget(width_);
    extent->addWidget(height_);
    areaGrid->addRow(tr("Left, top:"), position);
    areaGrid->addRow(tr("Width, height:"), extent);
    form_->addRow(areaRow_);
    brightness_ = spin(this, QStringLiteral("brightnessSpin"));
    form_->addRow(tr("Brightness:"), brightness_);
    contrast_ = spin(this, QStringLiteral("contrastSpin"));
    form_->addRow(tr("Contrast:"), contrast_);
    size_ = new QLabel(this);
    size_->setObjectName(QStringLiteral("sizeLabel"));
    form_->addRow(tr("Picture:"), size_);
    tooLarge_ = new QLabel(this);
    tooLarge_->setObjectName(QStringLiteral("tooLargeLabel"));
    tooLarge_->setWordWrap(true);
    form_->addRow(tooLarge_);
    status_ = new QLabel(this);
    status_->setObjectName(QStringLiteral("optionStatus"));
    status_->setWordWrap(true);
    form_->addRow(status_);

    allToggle_ = new QToolButton(this);
    allToggle_->setObjectName(QStringLiteral("allOptionsToggle"));
    allToggle_->setText(tr("All options"));
    allToggle_->setCheckable(true);
    allToggle_->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    allToggle_->setArrowType(Qt::RightArrow);
    advanced_ = new QCheckBox(tr("Show advanced options"), this);
    advanced_->setObjectName(QStringLiteral("advancedCheck"));
    advanced_->setVisible(false);
    panel_ = new OptionsPanel(this);
    allArea_ = new QScrollArea(this);
    allArea_->setObjectName(QStringLiteral("allOptionsArea"));
    allArea_->setWidgetResizable(true);
    allArea_->setWidget(panel_);
    allArea_->setFocusPolicy(Qt::NoFocus); // Tab goes through the options themselves
    allArea_->setVisible(false);
    allArea_->setMinimumHeight(160);
    // The options take the width the fields above leave them, however wide
    // their own would be: they wrap to it, and the preview keeps its size.
    allArea_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Expanding);
    allArea_->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    connect(allToggle_, &QToolButton::toggled, this, [this](bool on) {
        allToggle_->setArrowType(on ? Qt::DownArrow : Qt::RightArrow);
        allArea_->setVisible(on);
        advanced_->setVisible(on);
    });
    // Open or closed as the user last left it.
    allToggle_->setChecked(remembered_.allOptionsShown());
    connect(allToggle_, &QToolButton::toggled, this, [this](bool on) { remembered_.setAllOptionsShown(on); });
    connect(advanced_, &QCheckBox::toggled, panel_, &OptionsPanel::setShowAdvanced);
    connect(panel_, &OptionsPanel::edited, this, &ScanDialog::optionEdited);

    pane_ = new PreviewPane(this);
    pane_->setAccessibleName(tr("Preview of the bed and the scan area"));
    zoomButton_ = new QPushButton(tr("&Zoom to area"), this);
    zoomButton_->setObjectName(QStringLiteral("zoomButton"));
    zoomButton_->setToolTip(tr("Shows the scan area as large as the preview holds it, to draw it precisely "
                               "(the mouse wheel zooms too)"));
    fitButton_ = new QPushButton(tr("&Fit"), this);
    fitButton_->setObjectName(QStringLiteral("fitButton"));
    fitButton_->setToolTip(tr("Shows the whole bed again"));
    for (QPushButton* b : {zoomButton_, fitButton_})
        b->setAutoDefault(false); // Enter scans
    fitButton_->setEnabled(false);
    connect(zoomButton_, &QPushButton::clicked, pane_, &PreviewPane::zoomToArea);
    connect(fitButton_, &QPushButton::clicked, pane_, &PreviewPane::fit);
    connect(pane_, &PreviewPane::viewChanged, this, [this] {
        const bool zoomed = pane_->zoom() > 1.0 + 1e-9;
        // The focus moves on from a button that goes out of use, not to Cancel.
        if (!zoomed && fitButton_->hasFocus())
            zoomButton_->setFocus(Qt::OtherFocusReason);
        fitButton_->setEnabled(zoomed);
    });
    previewBar_ = new QProgressBar(this);
    previewBar_->setObjectName(QStringLiteral("previewProgress"));
    previewBar_->setRange(0, 100);
    previewBar_->setVisible(false);
    previewTimer_ = new QTimer(this);
    previewTimer_->setInterval(100);
    connect(previewTimer_, &QTimer::timeout, this, &ScanDialog::previewProgress);

    auto* buttons = new QDialogButtonBox(this);
    // Enter scans wherever the focus is: Scan is the one button that takes
    // it, and stays the default.
    previewButton_ = buttons->addButton(tr("&Preview"), QDialogButtonBox::ActionRole);
    previewButton_->setObjectName(QStringLiteral("previewButton"));
    previewButton_->setAutoDefault(false);
    defaultsButton_ = buttons->addButton(tr("&Defaults"), QDialogButtonBox::ResetRole);
    defaultsButton_->setObjectName(QStringLiteral("defaultsButton"));
    defaultsButton_->setAutoDefault(false);
    scanButton_ = buttons->addButton(tr("&Scan"), QDialogButtonBox::AcceptRole);
    scanButton_->setObjectName(QStringLiteral("scanButton"));
    scanButton_->setDefault(true);
    QPushButton* cancel = buttons->addButton(tr("&Cancel"), QDialogButtonBox::RejectRole);
    cancel->setObjectName(QStringLiteral("cancelButton"));
    cancel->setAutoDefault(false);
    connect(buttons, &QDialogButtonBox::accepted, this, [this] {
        if (busy_ || !scanButton_->isEnabled())
            return;
        readCommon();
        remember();
        accept();
    });
    connect(buttons, &QDialogButtonBox::rejected, this, &ScanDialog::reject);
    tabThroughButtons(buttons);
    connect(previewButton_, &QPushButton::clicked, this, &ScanDialog::startPreview);
    connect(defaultsButton_, &QPushButton::clicked, this, &ScanDialog::restoreDefaults);

    auto commonChanged = [this] {
        if (filling_)
            return;
        readCommon();
        showSize();
    };
    connect(source_, &QComboBox::currentIndexChanged, this, commonChanged);
    connect(mode_, &QComboBox::currentIndexChanged, this, commonChanged);
    connect(resolution_, &QComboBox::currentIndexChanged, this, commonChanged);
    connect(brightness_, &QDoubleSpinBox::valueChanged, this, commonChanged);
    connect(contrast_, &QDoubleSpinBox::valueChanged, this, commonChanged);
    connect(areaPreset_, &QComboBox::currentIndexChanged, this, [this](int i) {
        if (filling_ || !model_ || i < 0)
            return;
        const std::vector<Preset> presets = model_->presets();
        if (size_t(i) < presets.size()) {
            choices_.area = presets[size_t(i)].area;
            showArea();
        }
    });
    for (QDoubleSpinBox* s : {left_, top_, width_, height_})
        connect(s, &QDoubleSpinBox::valueChanged, this, &ScanDialog::areaFromSpins);
    connect(pane_, &PreviewPane::areaChanged, this, [this](const Area& a) {
        choices_.area = a;
        showArea();
    });
    connect(devices_, &QComboBox::currentIndexChanged, this, [this](int i) {
        if (filling_ || i < 0 || size_t(i) >= found_.size() || found_[size_t(i)].name == info_.name)
            return;
        reopen(found_[size_t(i)]);
    });

    auto* left = new QVBoxLayout;
    left->addLayout(form_);
    left->addWidget(allToggle_);
    left->addWidget(advanced_);
    left->addWidget(allArea_, 1);
    left->addStretch();
    auto* zoomRow = new QHBoxLayout;
    zoomRow->addWidget(zoomButton_);
    zoomRow->addWidget(fitButton_);
    zoomRow->addStretch();
    // The settings scroll where the screen is too small for all of them
    // (at a large scale), so that the buttons below stay within reach; they
    // are never narrower than their fields.
    // Made inside the dialog, so that the fields keep their place in the
    // dialog's Tab order as they move into it.
    auto* settingsPane = new QWidget(this);
    settingsPane->setLayout(left);
    auto* settingsArea = new QScrollArea(this);
    settingsArea->setObjectName(QStringLiteral("settingsArea"));
    settingsArea->setFrameShape(QFrame::NoFrame);
    settingsArea->setFocusPolicy(Qt::NoFocus);
    settingsArea->setWidgetResizable(true);
    settingsArea->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    settingsArea->setWidget(settingsPane);
    settingsArea->setMinimumWidth(
        settingsPane->minimumSizeHint().width() + settingsArea->verticalScrollBar()->sizeHint().width());
    auto* right = new QVBoxLayout;
    right->addWidget(pane_, 1);
    right->addWidget(previewBar_);
    right->addLayout(zoomRow);
    auto* top = new QHBoxLayout;
    // The settings as wide as they need, the preview all the rest.
    top->addWidget(settingsArea, 0);
    top->addLayout(right, 1);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top, 1);
    layout->addWidget(buttons);

    connect(&client_, &SaneClient::previewEnded, this, &ScanDialog::previewEnded);
    connect(&client_, &SaneClient::optionSet, this, &ScanDialog::optionSet);
    connect(&client_, &SaneClient::defaultsRestored, this, [this](const SetOutcome& out) {
        setBusy(false);
        model_ = std::make_unique<ScanOptions>(out.options);
        choices_ = model_->current();
        showModel();
    });
    connect(&client_, &SaneClient::opened, this, &ScanDialog::reopened);

    DeviceSettings remembered = remembered_.device(opened.info.name);
    edits_ = remembered.options;
    found_ = opened.found;
    show(opened, remembered.choices);
    if (opened.missing)
        note_->setText(tr("The scanner \"%1\" was not found; it may be switched off or disconnected. "
                          "%2. Using \"%3\".")
                           .arg(deviceTitle(*opened.missing), devicesFoundText(int(opened.found.size())),
                               deviceTitle(opened.info)));
    form_->setRowVisible(note_, opened.missing.has_value());
    form_->setRowVisible(devices_, opened.missing.has_value() && opened.found.size() > 1);
    // The preview shrinks with the dialog, down to a size still useful
    // for drawing on it.
    pane_->setMinimumSize(120, 160);
    resize(sizeOnScreen(owner, QSize(860, 620)));
}

void ScanDialog::show(const OpenOutcome& opened, std::optional<ScanChoices> choices)
{
    info_ = opened.info;
    deviceLabel_->setText(deviceTitle(info_));
    deviceLabel_->setToolTip(QString::fromStdString(info_.name));
    {
        const Filling filling(filling_);
        devices_->clear();
        for (const DeviceInfo& d : found_)
            devices_->addItem(deviceTitle(d), QString::fromStdString(d.name));
        devices_->setCurrentIndex(devices_->findData(QString::fromStdString(info_.name)));
    }
    model_ = std::make_unique<ScanOptions>(opened.options);
    choices_ = model_->current();
    if (choices) {
        // The user's earlier choices, as far as the device still offers them.
        const auto& m = *model_;
        if (choices->source && std::count(m.sources().begin(), m.sources().end(), *choices->source))
            choices_.source = choices->source;
        if (std::count(m.colourModes().begin(), m.colourModes().end(), choices->colour))
            choices_.colour = choices->colour;
        if (choices->resolution
            && std::count(m.resolutions().begin(), m.resolutions().end(), *choices->resolution))
            choices_.resolution = choices->resolution;
        if (choices->area && m.hasArea())
            choices_.area = m.clamp(*choices->area);
        if (choices->brightness && m.brightness())
            choices_.brightness = choices->brightness;
        if (choices->contrast && m.contrast())
            choices_.contrast = choices->contrast;
    }
    panel_->forgetFirstValues();
    const auto kept = previews().find(info_.name);
    pane_->setPicture(kept != previews().end() ? kept->second : QImage());
    showModel();
}

void ScanDialog::setOptions(std::vector<OptionInfo> options)
{
    model_ = std::make_unique<ScanOptions>(std::move(options));
    showModel();
}

void ScanDialog::showModel()
{
    fillCommon();
    readCommon();
    showArea();
    std::set<std::string> shown{"preview"};
    if (!model_->sources().empty())
        shown.insert("source");
    if (!model_->colourModes().empty())
        shown.insert("mode");
    if (!model_->resolutions().empty())
        shown.insert("resolution");
    if (model_->hasArea())
        shown.insert({"tl-x", "tl-y", "br-x", "br-y"});
    if (model_->brightness())
        shown.insert("brightness");
    if (model_->contrast())
        shown.insert("contrast");
    panel_->setOptions(model_->all(), shown);
}

void ScanDialog::fillCommon()
{
    const Filling filling(filling_);
    const ScanOptions& m = *model_;
    source_->clear();
    for (const std::string& s : m.sources())
        source_->addItem(QString::fromStdString(s), QString::fromStdString(s));
    if (choices_.source)
        source_->setCurrentIndex(std::max(0, source_->findData(QString::fromStdString(*choices_.source))));
    form_->setRowVisible(source_, source_->count() > 0);

    mode_->clear();
    for (ColourMode c : m.colourModes())
        mode_->addItem(modeText(c), int(c));
    mode_->setCurrentIndex(std::max(0, mode_->findData(int(choices_.colour))));
    form_->setRowVisible(mode_, mode_->count() > 0);

    resolution_->clear();
    for (double v : m.resolutions())
        resolution_->addItem(dpiText(v), v);
    if (choices_.resolution)
        resolution_->setCurrentIndex(std::max(0, resolution_->findData(*choices_.resolution)));
    form_->setRowVisible(resolution_, resolution_->count() > 0);

    areaPreset_->clear();
    const bool inches = unit_ != 1.0;
    for (const Preset& p : m.presets()) {
        const QString size = QStringLiteral("%1 × %2 %3")
                                 .arg(p.area.width() / unit_, 0, 'f', inches ? 1 : 0)
                                 .arg(p.area.height() / unit_, 0, 'f', inches ? 1 : 0)
                                 .arg(inches ? tr("in") : tr("mm"));
        areaPreset_->addItem(p.name.empty()
                ? tr("Full area (%1)").arg(size)
                : QStringLiteral("%1 (%2)").arg(QString::fromStdString(p.name), size));
    }
    form_->setRowVisible(areaPreset_, m.hasArea());
    form_->setRowVisible(areaRow_, m.hasArea());
    previewButton_->setEnabled(m.hasArea() && !busy_);
    pane_->setEnabled(m.hasArea());
    zoomButton_->setEnabled(m.hasArea());
    if (m.hasArea()) {
        const Area b = m.bounds();
        const int decimals = inches ? 2 : 1;
        const double step = m.areaStep() > 0 ? m.areaStep() / unit_ : (inches ? 0.01 : 0.1);
        const QString suffix = inches ? tr(" in") : tr(" mm");
        for (QDoubleSpinBox* s : {left_, top_, width_, height_}) {
            s->setDecimals(decimals);
            s->setSingleStep(step);
            s->setSuffix(suffix);
        }
        left_->setRange(b.tlX / unit_, b.brX / unit_);
        top_->setRange(b.tlY / unit_, b.brY / unit_);
        width_->setRange(0, b.width() / unit_);
        height_->setRange(0, b.height() / unit_);
        pane_->setBounds(b, [this](Area a) { return model_->clamp(a); });
    }

    const auto fillSpin
        = [this](QDoubleSpinBox* box, const std::optional<OptionInfo>& o, std::optional<double> v) {
              form_->setRowVisible(box, o.has_value());
              if (!o)
                  return;
              box->setDecimals(o->type == OptionType::Fixed ? 1 : 0);
              box->setRange(o->min, o->max);
              if (o->quant > 0)
                  box->setSingleStep(o->quant);
              box->setValue(v.value_or(o->value));
          };
    fillSpin(brightness_, m.brightness(), choices_.brightness);
    fillSpin(contrast_, m.contrast(), choices_.contrast);
}

void ScanDialog::readCommon()
{
    if (source_->count() > 0)
        choices_.source = source_->currentData().toString().toStdString();
    if (mode_->count() > 0)
        choices_.colour = ColourMode(mode_->currentData().toInt());
    if (resolution_->count() > 0)
        choices_.resolution = resolution_->currentData().toDouble();
    if (model_ && model_->brightness())
        choices_.brightness = brightness_->value();
    if (model_ && model_->contrast())
        choices_.contrast = contrast_->value();
}

void ScanDialog::areaFromSpins()
{
    if (filling_ || !model_ || !model_->hasArea())
        return;
    const double x = left_->value() * unit_, y = top_->value() * unit_;
    choices_.area = Area{x, y, x + width_->value() * unit_, y + height_->value() * unit_};
    showArea();
}

void ScanDialog::showArea()
{
    if (model_ && model_->hasArea()) {
        const Area a = model_->clamp(choices_.area.value_or(model_->preferredArea()));
        choices_.area = a;
        const Filling filling(filling_);
        left_->setValue(a.tlX / unit_);
        top_->setValue(a.tlY / unit_);
        width_->setValue(a.width() / unit_);
        height_->setValue(a.height() / unit_);
        int preset = -1;
        const std::vector<Preset> presets = model_->presets();
        for (size_t i = 0; i < presets.size(); ++i)
            if (presets[i].area == a)
                preset = int(i);
        // The whole area wins over a preset clamped to it.
        if (preset >= 0 && presets.back().area == a)
            preset = int(presets.size()) - 1;
        areaPreset_->setCurrentIndex(preset);
        pane_->setArea(a, preset < 0);
    }
    showSize();
}

void ScanDialog::showSize()
{
    if (!model_)
        return;
    const ScanOptions::Size s = model_->expectedSize(choices_);
    bool tooLarge = false;
    if (s.known()) {
        size_->setText(tr("%1 × %2 pixels, %3").arg(s.width).arg(s.height).arg(megabytes(s.fileBytes())));
        tooLarge = s.heldBytes() > LargestPictureBytes;
    } else {
        size_->setText(tr("The size is known only after the scan."));
    }
    tooLarge_->setText(tooLarge
            ? tr("This picture would be larger than the program can hold (%1 in memory, at "
                 "most %2). Choose a lower resolution, gray or black and white, or a smaller "
                 "area.")
                  .arg(megabytes(s.heldBytes()), megabytes(LargestPictureBytes))
            : QString());
    form_->setRowVisible(tooLarge_, tooLarge);
    scanButton_->setEnabled(!tooLarge && !busy_);
}

void ScanDialog::setBusy(bool busy)
{
    // The buttons and fields disabled while the device works would pass the
    // focus on (to Cancel, the one left enabled); it comes back after.
    if (busy && !busy_)
        focusBefore_ = focusWidget();
    const bool ended = !busy && busy_;
    busy_ = busy;
    previewButton_->setEnabled(!busy && model_ && model_->hasArea());
    defaultsButton_->setEnabled(!busy);
    panel_->setEnabled(!busy);
    devices_->setEnabled(!busy);
    showSize();
    if (ended) {
        QWidget* back = focusBefore_;
        if (!back || !back->isEnabled() || !back->isVisibleTo(this))
            back = scanButton_->isEnabled() ? scanButton_ : nullptr;
        if (back)
            back->setFocus(Qt::OtherFocusReason);
        focusBefore_.clear();
    }
}

ScanSettings ScanDialog::settings() const
{
    return model_->settings(choices_);
}

void ScanDialog::remember()
{
    remembered_.saveDevice(info_.name, {choices_, edits_});
}

void ScanDialog::startPreview()
{
    if (busy_ || !model_ || !model_->hasArea())
        return;
    readCommon();
    setBusy(true);
    previewing_ = true;
    status_->clear();
    previewBar_->setValue(0);
    previewBar_->setVisible(true);
    previewBuffer_ = std::make_shared<PreviewBuffer>();
    client_.preview(model_->settings(model_->previewChoices(choices_)), previewBuffer_);
    previewTimer_->start();
}

void ScanDialog::previewProgress()
{
    if (!previewBuffer_)
        return;
    QImage picture;
    {
        std::lock_guard lock(previewBuffer_->mutex);
        const PreviewBuffer& b = *previewBuffer_;
        if (b.width <= 0 || b.rows <= 0)
            return;
        const int height = std::max(b.height, b.rows);
        picture = QImage(b.width, height, QImage::Format_RGB888);
        picture.fill(Qt::white);
        const std::size_t rowBytes = std::size_t(b.width) * 3;
        for (int y = 0; y < b.rows; ++y)
            std::memcpy(picture.scanLine(y), b.pixels.data() + std::size_t(y) * rowBytes, rowBytes);
        if (b.height > 0)
            previewBar_->setValue(b.rows * 100 / b.height);
    }
    pane_->setPicture(picture);
}

void ScanDialog::previewEnded(const ScanResult& r, const std::vector<OptionInfo>& options)
{
    previewTimer_->stop();
    previewProgress();
    previewing_ = false;
    previewBar_->setVisible(false);
    previewBuffer_.reset();
    const bool failed = r.outcome != Outcome::Done && r.outcome != Outcome::Cancelled;
    if (r.outcome == Outcome::Done && pane_->hasPicture())
        previews()[info_.name] = pane_->picture();
    setBusy(false);
    setOptions(options);
    if (r.outcome == Outcome::Done)
        announce(this, tr("Preview done"));
    // The same message as a failed scan gets, over this dialog, once the
    // dialog is ready for the next try.
    if (failed)
        showFault(this, r.fault, r.status, deviceTitle(info_));
}

void ScanDialog::optionEdited(const QString& name, const QString& value)
{
    if (busy_)
        return;
    const OptionSetting setting{name.toStdString(), value.toStdString()};
    // Kept in the order made; a later value of the same option replaces an
    // earlier one. Buttons are actions, not settings.
    const auto o = findOption(model_->all(), setting.first);
    if (o && o->type != OptionType::Button) {
        edits_.erase(std::remove_if(edits_.begin(), edits_.end(),
                         [&](const OptionSetting& e) { return e.first == setting.first; }),
            edits_.end());
        edits_.push_back(setting);
    }
    setBusy(true);
    client_.set(setting);
}

void ScanDialog::optionSet(const std::string& name, const SetOutcome& out)
{
    if (out.status != Status::Good)
        status_->setText(tr("The scanner did not take the setting \"%1\": %2")
                             .arg(QString::fromStdString(name), statusText(out.status)));
    else
        status_->clear();
    readCommon();
    setOptions(out.options);
    setBusy(false);
}

void ScanDialog::restoreDefaults()
{
    if (busy_)
        return;
    // The device's own defaults, and the user's settings of it forgotten.
    remembered_.forgetDevice(info_.name);
    edits_.clear();
    status_->clear();
    setBusy(true);
    client_.restoreDefaults();
}

void ScanDialog::reopen(const DeviceInfo& device)
{
    if (busy_)
        return;
    edits_ = remembered_.device(device.name).options;
    setBusy(true);
    client_.reopen(device, remembered_.options());
}

void ScanDialog::reopened(const OpenOutcome& out)
{
    setBusy(false);
    if (out.fault != Fault::None) {
        status_->setText(tr("The scanner could not be opened: %1").arg(statusText(out.status)));
        scanButton_->setEnabled(false);
        return;
    }
    show(out, remembered_.device(out.info.name).choices);
}

void ScanDialog::reject()
{
    // The preview stops first; the session closes the device after it.
    if (previewing_)
        client_.cancel();
    QDialog::reject();
}

} // namespace eztw32
