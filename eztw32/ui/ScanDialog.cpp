#include "Dialogs.h"

#include "OptionFields.h"
#include "ScanParts.h"

#include "core/PageFinder.h"

#include <QAbstractSpinBox>
#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QToolButton>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>
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

QString turnText(Turn t)
{
    switch (t) {
    case Turn::Right:
        return QObject::tr("90° right");
    case Turn::HalfTurn:
        return QObject::tr("180°");
    case Turn::Left:
        return QObject::tr("90° left");
    case Turn::None:
        break;
    }
    return QObject::tr("None");
}

// A range of a correction done in software, shown as the device's are.
OptionInfo softwareRange(double lo, double hi, double quant, OptionUnit unit)
{
    OptionInfo o;
    o.type = quant < 1 ? OptionType::Fixed : OptionType::Int;
    o.unit = unit;
    o.caps = OptionCap::SoftSelect;
    o.constraint = OptionConstraint::Range;
    o.min = lo;
    o.max = hi;
    o.quant = quant;
    return o;
}

QString megabytes(std::int64_t bytes)
{
    const double mb = double(bytes) / 1e6;
    return QObject::tr("%1 MB").arg(mb, 0, 'f', mb < 10 ? 1 : 0);
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
    form_ = new QFormLayout;
    header_ = new DeviceHeader(this, [this](const DeviceInfo& d) { reopen(d); });
    header_->addTo(form_);
    makeCommon();
    makeAllOptions();
    preview_ = new PreviewColumn(this);
    layOut(makeButtons());
    listen();

    const DeviceSettings remembered = remembered_.device(opened.info.name);
    edits_ = remembered.options;
    header_->tellMissing(opened);
    show(opened, remembered.choices);
    resize(sizeOnScreen(owner, QSize(860, 620)));
}

void ScanDialog::makeCommon()
{
    const auto combo = [this](const char* name, const QString& label) {
        auto* c = new QComboBox(this);
        c->setObjectName(QString::fromLatin1(name));
        wholeInTooltip(c);
        form_->addRow(label, c);
        connect(c, &QComboBox::currentIndexChanged, this, [this, c] {
            c->setToolTip(c->currentText());
            readCommon();
            showSize();
        });
        return c;
    };
    source_ = combo("sourceCombo", tr("Source:"));
    mode_ = combo("modeCombo", tr("Mode:"));
    resolution_ = combo("resolutionCombo", tr("Resolution:"));
    area_ = new AreaFields(this, [this](const Area& a) {
        choices_.area = a;
        // The whole bed is no choice of the user's: the document found on
        // the next preview replaces it.
        const std::vector<Preset> presets = model_->presets();
        const bool whole = !presets.empty() && presets.back().area == model_->clamp(a);
        choices_.areaFrom = whole ? ScanChoices::AreaFrom::Device : ScanChoices::AreaFrom::User;
        showArea();
    });
    area_->addTo(form_);
    const auto number = [this](const char* name, const QString& label) {
        auto* n = new NumberInput(this, QString::fromLatin1(name));
        auto* l = new QLabel(label, this);
        n->name(l, label.chopped(1), QString());
        form_->addRow(l, n->row());
        connect(n, &NumberInput::valueChanged, this, [this] {
            readCommon();
            showSize();
        });
        return n;
    };
    brightness_ = number("brightnessSpin", tr("Brightness:"));
    contrast_ = number("contrastSpin", tr("Contrast:"));
    gamma_ = number("gammaSpin", tr("Gamma:"));
    const auto check = [this](const char* name, const QString& text, const QString& tip) {
        auto* c = new QCheckBox(text, this);
        c->setObjectName(QString::fromLatin1(name));
        c->setToolTip(tip);
        c->setAccessibleDescription(tip);
        form_->addRow(c);
        return c;
    };
    findDocument_ = check("findDocumentCheck", tr("Find the document"),
        tr("After the preview, the scan area is set to the page or photo on the bed, unless you "
           "chose a paper size or drew the area"));
    straighten_ = check("straightenCheck", tr("Straighten"), tr("A crooked page is saved straight"));
    connect(findDocument_, &QCheckBox::toggled, this, [this](bool on) {
        readCommon();
        if (on) {
            findArea();
        } else if (choices_.areaFrom == ScanChoices::AreaFrom::Found) {
            choices_.area.reset();
            choices_.areaFrom = ScanChoices::AreaFrom::Device;
            showArea();
        }
    });
    connect(straighten_, &QCheckBox::toggled, this, [this] { readCommon(); });
    rotate_ = combo("rotateCombo", tr("Rotate:"));
    for (Turn t : {Turn::None, Turn::Right, Turn::HalfTurn, Turn::Left})
        rotate_->addItem(turnText(t), int(t));
    rotate_->setToolTip(rotate_->currentText());
    size_ = new QLabel(this);
    size_->setObjectName(QStringLiteral("sizeLabel"));
    size_->setWordWrap(true);
    form_->addRow(tr("Picture:"), size_);
    for (QLabel** l : {&tooLarge_, &status_}) {
        *l = new QLabel(this);
        (*l)->setWordWrap(true);
        form_->addRow(*l);
    }
    tooLarge_->setObjectName(QStringLiteral("tooLargeLabel"));
    status_->setObjectName(QStringLiteral("optionStatus"));
}

void ScanDialog::makeAllOptions()
{
    allToggle_ = new QToolButton(this);
    allToggle_->setObjectName(QStringLiteral("allOptionsToggle"));
    allToggle_->setText(tr("All options"));
    allToggle_->setCheckable(true);
    allToggle_->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    advanced_ = new QCheckBox(tr("Show advanced options"), this);
    advanced_->setObjectName(QStringLiteral("advancedCheck"));
    panel_ = new OptionsPanel(this);
    const auto open = [this](bool on) {
        allToggle_->setArrowType(on ? Qt::DownArrow : Qt::RightArrow);
        panel_->setVisible(on);
        advanced_->setVisible(on);
    };
    // Open or closed as the user last left it.
    const bool shown = remembered_.allOptionsShown();
    allToggle_->setChecked(shown);
    open(shown);
    connect(allToggle_, &QToolButton::toggled, this, [this, open](bool on) {
        open(on);
        remembered_.setAllOptionsShown(on);
    });
    connect(advanced_, &QCheckBox::toggled, panel_, &OptionsPanel::setShowAdvanced);
    connect(panel_, &OptionsPanel::edited, this, &ScanDialog::optionEdited);
    connect(panel_, &OptionsPanel::rebuilt, this, &ScanDialog::orderTabs);
}

QDialogButtonBox* ScanDialog::makeButtons()
{
    auto* buttons = new QDialogButtonBox(this);
    // Enter scans wherever the focus is: Scan is the one button that takes
    // it, and stays the default.
    const auto add = [buttons](const QString& text, QDialogButtonBox::ButtonRole role, const char* name) {
        QPushButton* b = buttons->addButton(text, role);
        b->setObjectName(QString::fromLatin1(name));
        b->setAutoDefault(false);
        return b;
    };
    previewButton_ = add(tr("&Preview"), QDialogButtonBox::ActionRole, "previewButton");
    defaultsButton_ = add(tr("&Defaults"), QDialogButtonBox::ResetRole, "defaultsButton");
    scanButton_ = add(tr("&Scan"), QDialogButtonBox::AcceptRole, "scanButton");
    scanButton_->setDefault(true);
    add(tr("&Cancel"), QDialogButtonBox::RejectRole, "cancelButton");
    connect(buttons, &QDialogButtonBox::accepted, this, [this] {
        if (busy_ || !scanButton_->isEnabled())
            return;
        readCommon();
        remember();
        accept();
    });
    connect(buttons, &QDialogButtonBox::rejected, this, &ScanDialog::reject);
    connect(previewButton_, &QPushButton::clicked, this, &ScanDialog::startPreview);
    connect(defaultsButton_, &QPushButton::clicked, this, &ScanDialog::restoreDefaults);
    tabThroughButtons(buttons);
    return buttons;
}

void ScanDialog::layOut(QDialogButtonBox* buttons)
{
    // Made inside the dialog, so that the fields keep their place in the
    // dialog's Tab order as they move into the column.
    auto* settings = new QWidget(this);
    auto* column = new QVBoxLayout(settings);
    column->addLayout(form_);
    column->addWidget(allToggle_);
    column->addWidget(advanced_);
    column->addWidget(panel_);
    column->addStretch();
    auto* top = new QHBoxLayout;
    // The settings as wide as they need, the preview all the rest.
    top->addWidget(new SettingsColumn(this, settings, panel_), 0);
    top->addWidget(preview_, 1);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top, 1);
    layout->addWidget(buttons);
    connect(preview_->pane(), &PreviewPane::areaChanged, this, [this](const Area& a) {
        choices_.area = a;
        choices_.areaFrom = ScanChoices::AreaFrom::User;
        showArea();
    });
}

void ScanDialog::listen()
{
    connect(&client_, &SaneClient::previewEnded, this, &ScanDialog::previewEnded);
    connect(&client_, &SaneClient::optionSet, this, &ScanDialog::optionSet);
    connect(&client_, &SaneClient::sizeRead, this, &ScanDialog::sizeRead);
    connect(&client_, &SaneClient::defaultsRestored, this, [this](const SetOutcome& out) {
        if (endIfDriverLost(out.fault, out.cause))
            return;
        model_ = std::make_unique<ScanOptions>(out.options);
        choices_ = model_->current();
        showModel();
        setBusy(false);
    });
    connect(&client_, &SaneClient::opened, this, &ScanDialog::reopened);
}

void ScanDialog::show(const OpenOutcome& opened, std::optional<ScanChoices> choices)
{
    info_ = opened.info;
    closed_ = false;
    header_->show(info_);
    model_ = std::make_unique<ScanOptions>(opened.options);
    choices_ = model_->current();
    if (choices)
        keepChoices(*choices);
    panel_->forgetFirstValues();
    reported_.reset();
    const auto kept = previews().find(info_.name);
    preview_->pane()->setPicture(kept != previews().end() ? kept->second : QImage());
    showModel();
}

void ScanDialog::keepChoices(const ScanChoices& earlier)
{
    const ScanOptions& m = *model_;
    const auto offers = [](const auto& list, const auto& v) {
        return std::find(list.begin(), list.end(), v) != list.end();
    };
    if (earlier.source && offers(m.sources(), *earlier.source))
        choices_.source = earlier.source;
    if (offers(m.colourModes(), earlier.colour))
        choices_.colour = earlier.colour;
    if (earlier.resolution && offers(m.resolutions(), *earlier.resolution))
        choices_.resolution = earlier.resolution;
    if (earlier.area && m.hasArea())
        choices_.area = m.clamp(*earlier.area);
    if (earlier.brightness && m.brightness())
        choices_.brightness = earlier.brightness;
    if (earlier.contrast && m.contrast())
        choices_.contrast = earlier.contrast;
    if (choices_.area)
        choices_.areaFrom = earlier.area ? earlier.areaFrom : ScanChoices::AreaFrom::Device;
    choices_.findDocument = earlier.findDocument;
    choices_.straighten = earlier.straighten;
    choices_.turn = earlier.turn;
    choices_.light = earlier.light;
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
    const ScanOptions& m = *model_;
    const auto fill = [this](QComboBox* box, const auto& values, auto text, auto data, const auto& chosen) {
        const QSignalBlocker block(box);
        box->clear();
        for (const auto& v : values)
            box->addItem(text(v), data(v));
        if (chosen)
            box->setCurrentIndex(std::max(0, box->findData(data(*chosen))));
        box->setToolTip(box->currentText());
        form_->setRowVisible(box, box->count() > 0);
    };
    const auto str = [](const std::string& s) { return QString::fromStdString(s); };
    fill(source_, m.sources(), str, str, choices_.source);
    fill(
        mode_, m.colourModes(), modeText, [](ColourMode c) { return int(c); },
        std::optional<ColourMode>(choices_.colour));
    fill(
        resolution_, m.resolutions(), dpiText, [](double v) { return v; }, choices_.resolution);
    area_->setModel(m);
    previewButton_->setEnabled(m.hasArea() && !busy_);
    preview_->setUsable(m.hasArea());
    if (m.hasArea())
        preview_->pane()->setBounds(m.bounds(), [this](Area a) { return model_->clamp(a); });
    const auto fillNumber
        = [this](NumberInput* n, const std::optional<OptionInfo>& o, std::optional<double> v) {
              n->setVisible(o.has_value());
              form_->setRowVisible(n->row(), o.has_value());
              if (!o)
                  return;
              n->setOption(*o);
              n->setValue(v.value_or(o->value));
          };
    // The device's own brightness and contrast where it has them, else the
    // same done in software; gamma in software where the device has none.
    const OptionInfo percent = softwareRange(-100, 100, 1, OptionUnit::Percent);
    if (m.brightness())
        fillNumber(brightness_, m.brightness(), choices_.brightness);
    else
        fillNumber(brightness_, percent, choices_.light.brightness);
    if (m.contrast())
        fillNumber(contrast_, m.contrast(), choices_.contrast);
    else
        fillNumber(contrast_, percent, choices_.light.contrast);
    fillNumber(gamma_,
        m.hasGamma() ? std::nullopt : std::optional(softwareRange(0.1, 10, 0.01, OptionUnit::None)),
        choices_.light.gamma);
    for (auto [box, on] :
        {std::pair{findDocument_, choices_.findDocument}, {straighten_, choices_.straighten}}) {
        const QSignalBlocker block(box);
        box->setChecked(on);
    }
    // Finding the document needs a preview.
    form_->setRowVisible(findDocument_, m.hasArea());
    const QSignalBlocker block(rotate_);
    rotate_->setCurrentIndex(std::max(0, rotate_->findData(int(choices_.turn))));
    rotate_->setToolTip(rotate_->currentText());
}

void ScanDialog::readCommon()
{
    if (source_->count() > 0)
        choices_.source = source_->currentData().toString().toStdString();
    if (mode_->count() > 0)
        choices_.colour = ColourMode(mode_->currentData().toInt());
    if (resolution_->count() > 0)
        choices_.resolution = resolution_->currentData().toDouble();
    if (!model_)
        return;
    (model_->brightness() ? choices_.brightness.emplace() : choices_.light.brightness) = brightness_->value();
    (model_->contrast() ? choices_.contrast.emplace() : choices_.light.contrast) = contrast_->value();
    if (!model_->hasGamma())
        choices_.light.gamma = gamma_->value();
    choices_.findDocument = findDocument_->isChecked();
    choices_.straighten = straighten_->isChecked();
    choices_.turn = Turn(rotate_->currentData().toInt());
    showCorrections();
}

void ScanDialog::showCorrections()
{
    const ScanSettings s = model_->settings(choices_);
    PreviewPane* pane = preview_->pane();
    pane->setLight(
        s.light ? std::optional(lightTable(*s.light, s.colour == ColourMode::LineArt)) : std::nullopt);
    pane->setTurn(s.turn, turnText(s.turn));
}

void ScanDialog::findArea()
{
    const QImage& preview = preview_->pane()->picture();
    if (!model_ || !model_->hasArea() || !choices_.findDocument || preview.isNull()
        || choices_.areaFrom == ScanChoices::AreaFrom::User)
        return;
    const QImage rgb = preview.convertToFormat(QImage::Format_RGB888);
    // The preview covers the whole bed.
    const Area bed = model_->bounds();
    const auto found = findDocument(
        PictureView{rgb.constBits(), rgb.width(), rgb.height(), 3, std::size_t(rgb.bytesPerLine())},
        bed.width(), bed.height());
    if (!found)
        return;
    choices_.area = model_->clamp(
        {bed.tlX + found->left, bed.tlY + found->top, bed.tlX + found->right, bed.tlY + found->bottom});
    choices_.areaFrom = ScanChoices::AreaFrom::Found;
    showArea();
}

void ScanDialog::showArea()
{
    if (model_ && model_->hasArea()) {
        const Area a = model_->clamp(choices_.area.value_or(model_->preferredArea()));
        choices_.area = a;
        int preset = -1;
        const std::vector<Preset> presets = model_->presets();
        for (size_t i = 0; i < presets.size(); ++i)
            if (presets[i].area == a)
                preset = int(i);
        // The whole area wins over a preset clamped to it.
        if (preset >= 0 && presets.back().area == a)
            preset = int(presets.size()) - 1;
        area_->show(a, preset, preset < 0 && choices_.areaFrom == ScanChoices::AreaFrom::Found);
        preview_->pane()->setArea(a, preset < 0);
    }
    showSize();
}

void ScanDialog::showSize()
{
    if (!model_)
        return;
    showSizeText();
    // One question at a time; choices made meanwhile ask again after it.
    if (sizeAsked_) {
        sizeStale_ = true;
        return;
    }
    sizeAsked_ = true;
    askedFor_ = model_->settings(choices_);
    client_.readSize(askedFor_);
}

void ScanDialog::sizeRead(const SizeOutcome& out)
{
    sizeAsked_ = false;
    if (std::exchange(sizeStale_, false)) {
        showSize();
        return;
    }
    reported_ = out;
    reportedFor_ = askedFor_;
    showSizeText();
}

void ScanDialog::showSizeText()
{
    // What the device reports for the choices, as the scan will give it;
    // worked out from the area and resolution until it has answered, or
    // where it cannot tell.
    ScanOptions::Size s = model_->expectedSize(choices_);
    const bool reported = reported_ && reported_->status == Status::Good && reported_->width > 0
        && reportedFor_ == model_->settings(choices_);
    if (reported) {
        s.width = reported_->width;
        s.height = reported_->height;
        s.bitsPerPixel = reported_->bitsPerPixel;
    }
    size_->setAccessibleDescription(
        reported ? tr("As the scanner reports it") : tr("Worked out from the area and the resolution"));
    if (choices_.turn == Turn::Right || choices_.turn == Turn::Left)
        std::swap(s.width, s.height);
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
    scanButton_->setEnabled(!tooLarge && !busy_ && !closed_);
}

void ScanDialog::setBusy(bool busy)
{
    // The buttons and fields disabled while the device works would pass the
    // focus on (to Cancel, the one left enabled); it comes back after.
    if (busy && !busy_) {
        focusBefore_ = focusWidget();
        focusName_ = focusBefore_ ? focusBefore_->objectName() : QString();
    }
    const bool ended = !busy && busy_;
    busy_ = busy;
    previewButton_->setEnabled(!busy && !closed_ && model_ && model_->hasArea());
    defaultsButton_->setEnabled(!busy);
    panel_->setEnabled(!busy);
    header_->setEnabled(!busy);
    showSize();
    if (ended)
        giveFocusBack();
}

void ScanDialog::giveFocusBack()
{
    if (busy_)
        return;
    QWidget* back = focusBefore_;
    // The options made anew: the field of the same option.
    if (!back && !focusName_.isEmpty())
        back = findChild<QWidget*>(focusName_);
    if (!back || !back->isEnabled() || !back->isVisibleTo(this))
        back = scanButton_->isEnabled() ? scanButton_ : nullptr;
    if (back)
        back->setFocus(Qt::OtherFocusReason);
    focusBefore_.clear();
    focusName_.clear();
}

void ScanDialog::orderTabs()
{
    QWidget* last = advanced_;
    for (QWidget* w : panel_->findChildren<QWidget*>()) {
        // The fields themselves, not the parts inside a list or spin box.
        QWidget* parent = w->parentWidget();
        if (!(w->focusPolicy() & Qt::TabFocus) || w->window() != this || qobject_cast<QComboBox*>(parent)
            || qobject_cast<QAbstractSpinBox*>(parent))
            continue;
        QWidget::setTabOrder(last, w);
        last = w;
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
    auto buffer = std::make_shared<PreviewBuffer>();
    client_.preview(model_->settings(model_->previewChoices(choices_)), buffer);
    preview_->start(std::move(buffer));
}

void ScanDialog::previewEnded(const ScanResult& r, const std::vector<OptionInfo>& options)
{
    preview_->finish();
    previewing_ = false;
    const bool failed = r.outcome != Outcome::Done && r.outcome != Outcome::Cancelled;
    if (r.outcome == Outcome::Done && preview_->pane()->hasPicture())
        previews()[info_.name] = preview_->pane()->picture();
    setOptions(options);
    if (r.outcome == Outcome::Done)
        findArea();
    setBusy(false);
    if (r.outcome == Outcome::Done)
        announce(this, tr("Preview done"));
    // The same message as a failed scan gets, over this dialog, once the
    // dialog is ready for the next try.
    if (failed && !endIfDriverLost(r.fault, r.cause))
        showFault(this, r.fault, r.status, deviceTitle(info_));
}

bool ScanDialog::endIfDriverLost(Fault fault, const std::string& cause)
{
    if (!driverLost(fault))
        return false;
    showFault(this, fault, Status::Good, deviceTitle(info_), cause);
    reject();
    return true;
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
    if (endIfDriverLost(out.fault, out.cause))
        return;
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
    if (endIfDriverLost(out.fault, out.cause))
        return;
    if (out.fault != Fault::None) {
        // Nothing to scan or preview with until another device opens.
        closed_ = true;
        setBusy(false);
        status_->setText(tr("The scanner could not be opened: %1").arg(statusText(out.status)));
        return;
    }
    show(out, remembered_.device(out.info.name).choices);
    setBusy(false);
}

void ScanDialog::reject()
{
    // The preview stops first; the session closes the device after it.
    if (previewing_)
        client_.cancel();
    QDialog::reject();
}

} // namespace eztw32
