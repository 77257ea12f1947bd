#include "Dialogs.h"

#include "SaneThread.h"

#include <QApplication>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QDoubleSpinBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>

namespace eztw32 {

const char* const kTitle = "Scanner";

QString deviceTitle(const DeviceInfo& d)
{
    QString t = QString::fromStdString(d.vendor + " " + d.model).trimmed();
    return t.isEmpty() ? QString::fromStdString(d.name) : t;
}

// ---------------------------------------------------------------------------

ProgressDialog::ProgressDialog(QWidget* owner) : QDialog(owner)
{
    setObjectName(QStringLiteral("progressDialog"));
    setWindowTitle(QString::fromLatin1(kTitle));
    setModal(true);
    label_ = new QLabel(this);
    label_->setObjectName(QStringLiteral("progressLabel"));
    label_->setMinimumWidth(320);
    bar_ = new QProgressBar(this);
    bar_->setObjectName(QStringLiteral("progressBar"));
    bar_->setRange(0, 0);
    cancel_ = new QPushButton(tr("Cancel"), this);
    cancel_->setObjectName(QStringLiteral("cancelButton"));
    cancel_->setAutoDefault(false);
    connect(cancel_, &QPushButton::clicked, this, &ProgressDialog::reject);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(cancel_);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(label_);
    layout->addWidget(bar_);
    layout->addLayout(buttons);
}

void ProgressDialog::setText(const QString& text)
{
    if (!cancelRequested_)
        label_->setText(text);
}

void ProgressDialog::setPercent(int percent)
{
    if (percent < 0) {
        bar_->setRange(0, 0);
    } else {
        bar_->setRange(0, 100);
        bar_->setValue(std::min(percent, 100));
    }
}

void ProgressDialog::finish()
{
    finished_ = true;
    accept();
}

void ProgressDialog::reject()
{
    if (finished_) {
        QDialog::reject();
        return;
    }
    if (cancelRequested_)
        return;
    cancelRequested_ = true;
    label_->setText(tr("Cancelling…"));
    cancel_->setEnabled(false);
    Q_EMIT cancelRequested();
}

// ---------------------------------------------------------------------------

namespace {

struct Preset {
    const char* name;
    double width, height; // mm
};

constexpr Preset kPresets[] = {{"A4", 210.0, 297.0}, {"Letter", 215.9, 279.4}};

QString dpiText(double dpi)
{
    return QStringLiteral("%1 dpi").arg(dpi, 0, 'f', dpi == std::floor(dpi) ? 0 : 1);
}

std::vector<double> resolutionChoices(const OptionInfo& o)
{
    std::vector<double> values;
    if (o.constraint == SANE_CONSTRAINT_WORD_LIST) {
        values = o.numbers;
    } else if (o.constraint == SANE_CONSTRAINT_RANGE) {
        static constexpr double common[] = {50, 75, 100, 150, 200, 300, 400, 600, 1200, 2400, 4800, 9600};
        for (double v : common) {
            if (v < o.min || v > o.max)
                continue;
            if (o.quant > 0) {
                const double steps = (v - o.min) / o.quant;
                if (std::fabs(steps - std::round(steps)) > 1e-6)
                    continue;
            }
            values.push_back(v);
        }
        if (values.empty() || values.front() > o.min)
            values.insert(values.begin(), o.min);
        if (values.back() < o.max && values.size() < 2)
            values.push_back(o.max);
    } else {
        values.push_back(o.value);
    }
    std::sort(values.begin(), values.end());
    values.erase(std::unique(values.begin(), values.end()), values.end());
    return values;
}

int closestIndex(const std::vector<double>& values, double v)
{
    int best = 0;
    for (int i = 1; i < int(values.size()); ++i)
        if (std::fabs(values[size_t(i)] - v) < std::fabs(values[size_t(best)] - v))
            best = i;
    return best;
}

QDoubleSpinBox* numberBox(QWidget* parent, const OptionInfo& o, const QString& name)
{
    auto* box = new QDoubleSpinBox(parent);
    box->setObjectName(name);
    box->setDecimals(o.type == SANE_TYPE_FIXED ? 1 : 0);
    box->setRange(o.min, o.max);
    if (o.quant > 0)
        box->setSingleStep(o.quant);
    box->setValue(o.value);
    return box;
}

bool isRange(const std::optional<OptionInfo>& o)
{
    return o && o->settable() && o->isNumber() && o->constraint == SANE_CONSTRAINT_RANGE;
}

} // namespace

ScanDialog::ScanDialog(QWidget* owner, const DeviceInfo& device, const std::vector<OptionInfo>& options)
    : QDialog(owner), options_(options)
{
    setObjectName(QStringLiteral("scanDialog"));
    setWindowTitle(QString::fromLatin1(kTitle));
    setModal(true);
    auto* form = new QFormLayout;
    auto* deviceLabel = new QLabel(deviceTitle(device), this);
    deviceLabel->setObjectName(QStringLiteral("deviceLabel"));
    deviceLabel->setToolTip(QString::fromStdString(device.name));
    form->addRow(tr("Scanner:"), deviceLabel);

    // Source: flatbed, feeder, ... where the device offers a choice.
    if (const auto o = findOption(options, "source");
        o && o->settable() && o->type == SANE_TYPE_STRING && o->strings.size() > 1) {
        source_ = new QComboBox(this);
        source_->setObjectName(QStringLiteral("sourceCombo"));
        for (const std::string& s : o->strings)
            source_->addItem(QString::fromStdString(s), QString::fromStdString(s));
        source_->setCurrentIndex(std::max(0, source_->findData(QString::fromStdString(o->text))));
        form->addRow(tr("Source:"), source_);
    }

    // Colour mode: colour, gray and line art, the last as 1-bit gray where
    // the device has no line-art mode of its own.
    if (const auto o = findOption(options, "mode"); o && o->settable() && o->type == SANE_TYPE_STRING) {
        for (const std::string& s : o->strings) {
            switch (classifyMode(s)) {
            case ColourMode::Colour: if (!colourValue_) colourValue_ = s; break;
            case ColourMode::Gray: if (!grayValue_) grayValue_ = s; break;
            case ColourMode::LineArt: if (!lineArtValue_) lineArtValue_ = s; break;
            case ColourMode::DeviceDefault: break;
            }
        }
        if (!lineArtValue_ && grayValue_) {
            const auto depth = findOption(options, "depth");
            if (depth && depth->settable()
                && ((depth->constraint == SANE_CONSTRAINT_WORD_LIST
                     && std::find(depth->numbers.begin(), depth->numbers.end(), 1.0) != depth->numbers.end())
                    || (depth->constraint == SANE_CONSTRAINT_RANGE && depth->min <= 1.0))) {
                lineArtValue_ = grayValue_;
                lineArtByDepth_ = true;
            }
        }
        mode_ = new QComboBox(this);
        mode_->setObjectName(QStringLiteral("modeCombo"));
        if (colourValue_)
            mode_->addItem(tr("Colour"), int(ColourMode::Colour));
        if (grayValue_)
            mode_->addItem(tr("Gray"), int(ColourMode::Gray));
        if (lineArtValue_)
            mode_->addItem(tr("Black and white (line art)"), int(ColourMode::LineArt));
        ColourMode current = classifyMode(o->text);
        if (current == ColourMode::Gray && lineArtByDepth_) {
            const auto depth = findOption(options, "depth");
            if (depth && depth->value == 1)
                current = ColourMode::LineArt;
        }
        const int at = mode_->findData(int(current));
        mode_->setCurrentIndex(at >= 0 ? at : 0);
        if (mode_->count() == 0) {
            delete mode_;
            mode_ = nullptr;
        } else {
            form->addRow(tr("Mode:"), mode_);
        }
    }

    if (const auto o = findOption(options, "resolution"); o && o->settable() && o->isNumber()) {
        resolution_ = new QComboBox(this);
        resolution_->setObjectName(QStringLiteral("resolutionCombo"));
        const std::vector<double> values = resolutionChoices(*o);
        for (double v : values)
            resolution_->addItem(dpiText(v), v);
        if (!values.empty())
            resolution_->setCurrentIndex(closestIndex(values, o->value));
        form->addRow(tr("Resolution:"), resolution_);
    }

    // Scan area: presets clamped to what the device can scan.
    const auto tlX = findOption(options, "tl-x"), tlY = findOption(options, "tl-y");
    const auto brX = findOption(options, "br-x"), brY = findOption(options, "br-y");
    if (isRange(tlX) && isRange(tlY) && isRange(brX) && isRange(brY) && brX->unit == SANE_UNIT_MM
        && brY->unit == SANE_UNIT_MM) {
        const double x0 = tlX->min, y0 = tlY->min, x1 = brX->max, y1 = brY->max;
        int preferred = -1;
        for (const Preset& p : kPresets) {
            const double w = std::min(p.width, x1 - x0), h = std::min(p.height, y1 - y0);
            areas_.push_back({QStringLiteral("%1 (%2 × %3 mm)").arg(QString::fromLatin1(p.name)).arg(w, 0, 'f', 0).arg(h, 0, 'f', 0),
                              x0, y0, x0 + w, y0 + h});
            if (preferred < 0 && p.width <= x1 - x0 + 0.5 && p.height <= y1 - y0 + 0.5)
                preferred = int(areas_.size()) - 1;
        }
        areas_.push_back({tr("Full area (%1 × %2 mm)").arg(x1 - x0, 0, 'f', 0).arg(y1 - y0, 0, 'f', 0), x0, y0, x1, y1});
        area_ = new QComboBox(this);
        area_->setObjectName(QStringLiteral("areaCombo"));
        for (const Area& a : areas_)
            area_->addItem(a.label);
        area_->setCurrentIndex(preferred >= 0 ? preferred : int(areas_.size()) - 1);
        form->addRow(tr("Area:"), area_);
    }

    if (const auto o = findOption(options, "brightness"); isRange(o)) {
        brightness_ = numberBox(this, *o, QStringLiteral("brightnessSpin"));
        form->addRow(tr("Brightness:"), brightness_);
    }
    if (const auto o = findOption(options, "contrast"); isRange(o)) {
        contrast_ = numberBox(this, *o, QStringLiteral("contrastSpin"));
        form->addRow(tr("Contrast:"), contrast_);
    }

    auto* buttons = new QDialogButtonBox(this);
    QPushButton* scan = buttons->addButton(tr("Scan"), QDialogButtonBox::AcceptRole);
    scan->setObjectName(QStringLiteral("scanButton"));
    scan->setDefault(true);
    QPushButton* cancel = buttons->addButton(tr("Cancel"), QDialogButtonBox::RejectRole);
    cancel->setObjectName(QStringLiteral("cancelButton"));
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addWidget(buttons);
}

ScanSettings ScanDialog::settings() const
{
    ScanSettings s;
    if (source_)
        s.source = source_->currentData().toString().toStdString();
    if (mode_) {
        s.colour = ColourMode(mode_->currentData().toInt());
        switch (s.colour) {
        case ColourMode::Colour: s.modeValue = colourValue_; break;
        case ColourMode::Gray: s.modeValue = grayValue_; break;
        case ColourMode::LineArt:
            s.modeValue = lineArtValue_;
            s.lineArtByDepth = lineArtByDepth_;
            break;
        case ColourMode::DeviceDefault: break;
        }
    }
    if (resolution_ && resolution_->currentIndex() >= 0)
        s.resolution = resolution_->currentData().toDouble();
    if (area_ && area_->currentIndex() >= 0) {
        const Area& a = areas_[size_t(area_->currentIndex())];
        s.tlX = a.tlX;
        s.tlY = a.tlY;
        s.brX = a.brX;
        s.brY = a.brY;
    }
    if (brightness_)
        s.brightness = brightness_->value();
    if (contrast_)
        s.contrast = contrast_->value();
    return s;
}

// ---------------------------------------------------------------------------

// Carries discovery results back to the dialog, or nowhere once it is gone.
// Read and written on the GUI thread only.
struct SourceDialog::Link {
    SourceDialog* dialog = nullptr;
};

QString noDeviceText()
{
    return QObject::tr(
        "No scanner was found. Check that the scanner is switched on and connected (USB cable or "
        "network), and that you have permission to use it (for USB scanners, membership of the "
        "\"scanner\" or \"lp\" group). Network scanners must be on the same network and reachable "
        "through SANE's net or airscan backend. Then press Refresh.");
}

SourceDialog::SourceDialog(QWidget* owner, const std::optional<DeviceInfo>& current)
    : QDialog(owner), link_(std::make_shared<Link>()), current_(current)
{
    link_->dialog = this;
    setObjectName(QStringLiteral("sourceDialog"));
    setWindowTitle(tr("Select Source"));
    setModal(true);
    status_ = new QLabel(this);
    status_->setObjectName(QStringLiteral("statusLabel"));
    status_->setWordWrap(true);
    list_ = new QListWidget(this);
    list_->setObjectName(QStringLiteral("deviceList"));
    refresh_ = new QPushButton(tr("Refresh"), this);
    refresh_->setObjectName(QStringLiteral("refreshButton"));
    refresh_->setAutoDefault(false);
    auto* buttons = new QDialogButtonBox(this);
    select_ = buttons->addButton(tr("Select"), QDialogButtonBox::AcceptRole);
    select_->setObjectName(QStringLiteral("selectButton"));
    select_->setDefault(true);
    QPushButton* cancel = buttons->addButton(tr("Cancel"), QDialogButtonBox::RejectRole);
    cancel->setObjectName(QStringLiteral("cancelButton"));
    buttons->addButton(refresh_, QDialogButtonBox::ResetRole);
    connect(buttons, &QDialogButtonBox::accepted, this, [this] {
        if (chosen())
            accept();
    });
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(refresh_, &QPushButton::clicked, this, &SourceDialog::refresh);
    connect(list_, &QListWidget::currentRowChanged, this, &SourceDialog::updateButtons);
    connect(list_, &QListWidget::itemDoubleClicked, this, &QDialog::accept);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(new QLabel(tr("Choose the scanner to use:"), this));
    layout->addWidget(list_);
    layout->addWidget(status_);
    layout->addWidget(buttons);
    resize(440, 300);
    refresh();
}

SourceDialog::~SourceDialog()
{
    link_->dialog = nullptr;
}

void SourceDialog::refresh()
{
    const unsigned generation = ++generation_;
    devices_.clear();
    list_->clear();
    status_->setText(tr("Searching…"));
    refresh_->setEnabled(false);
    updateButtons();
    std::shared_ptr<Link> link = link_;
    postToSaneThread([link, generation] {
        std::vector<DeviceInfo> devices;
        SANE_Status status = ensureSaneInitialised();
        if (status == SANE_STATUS_GOOD)
            status = listDevices(devices);
        QMetaObject::invokeMethod(
            qApp,
            [link, generation, status, devices = std::move(devices)]() mutable {
                if (link->dialog && link->dialog->generation_ == generation)
                    link->dialog->showDevices(status, std::move(devices));
            },
            Qt::QueuedConnection);
    });
}

void SourceDialog::showDevices(SANE_Status status, std::vector<DeviceInfo> devices)
{
    devices_ = std::move(devices);
    refresh_->setEnabled(true);
    for (const DeviceInfo& d : devices_) {
        QString text = deviceTitle(d);
        if (!d.type.empty())
            text += QStringLiteral(" (%1)").arg(QString::fromStdString(d.type));
        auto* item = new QListWidgetItem(text, list_);
        item->setToolTip(QString::fromStdString(d.name));
    }
    if (status != SANE_STATUS_GOOD)
        status_->setText(tr("The scanner interface could not search for scanners: %1")
                             .arg(QString::fromLocal8Bit(sane_strstatus(status))));
    else if (devices_.empty())
        status_->setText(noDeviceText());
    else
        status_->setText(tr("%n scanner(s) found.", nullptr, int(devices_.size())));
    int row = devices_.size() == 1 ? 0 : -1;
    for (size_t i = 0; current_ && i < devices_.size(); ++i)
        if (devices_[i].name == current_->name)
            row = int(i);
    list_->setCurrentRow(row);
    updateButtons();
}

void SourceDialog::updateButtons()
{
    select_->setEnabled(chosen().has_value());
}

std::optional<DeviceInfo> SourceDialog::chosen() const
{
    const int row = list_->currentRow();
    if (row < 0 || row >= int(devices_.size()))
        return std::nullopt;
    return devices_[size_t(row)];
}

// ---------------------------------------------------------------------------

namespace {

QString statusText(SANE_Status status)
{
    switch (status) {
    case SANE_STATUS_JAMMED:
        return QObject::tr("The paper is jammed in the scanner's document feeder. Clear the jam, "
                           "put the pages back and scan again.");
    case SANE_STATUS_NO_DOCS:
        return QObject::tr("The scanner's document feeder is empty. Load the pages into the "
                           "feeder, or choose the flatbed, and scan again.");
    case SANE_STATUS_COVER_OPEN:
        return QObject::tr("The scanner's cover is open. Close the cover and scan again.");
    case SANE_STATUS_DEVICE_BUSY:
        return QObject::tr("The scanner is busy with another program or job. Wait until it is "
                           "free, or close the other scanning program, and scan again.");
    case SANE_STATUS_IO_ERROR:
        return QObject::tr("The scanner stopped responding. Check that it is switched on and that "
                           "its cable or network connection is sound, then scan again.");
    case SANE_STATUS_NO_MEM:
        return QObject::tr("The scanner or its driver ran out of memory. Choose a lower resolution "
                           "or a smaller area and scan again.");
    case SANE_STATUS_ACCESS_DENIED:
        return QObject::tr("You do not have permission to use this scanner. Ask for access to the "
                           "device (for USB scanners, membership of the \"scanner\" group) and "
                           "scan again.");
    case SANE_STATUS_INVAL:
        return QObject::tr("The scanner rejected the request with the chosen settings. Choose "
                           "other settings and scan again.");
    case SANE_STATUS_UNSUPPORTED:
        return QObject::tr("The scanner does not support what was asked of it. Choose other "
                           "settings and scan again.");
    case SANE_STATUS_EOF:
        return QObject::tr("The scanner ended the scan before the image was complete. Scan again.");
    default:
        return QObject::tr("The scanner reported an error. Scan again; if the problem persists, "
                           "switch the scanner off and on.");
    }
}

} // namespace

void showFault(QWidget* owner, Fault fault, SANE_Status status, const QString& device)
{
    QString text;
    switch (fault) {
    case Fault::SettingsRejected:
        text = QObject::tr("The scanner rejected the chosen settings. Choose other settings "
                           "(mode, resolution or area) and scan again.");
        break;
    case Fault::DeviceGone:
        text = QObject::tr("The scanner \"%1\" is no longer available. Check that it is switched "
                           "on and connected, or choose another source.").arg(device);
        break;
    case Fault::NoDevice:
        text = noDeviceText().replace(QObject::tr(" Then press Refresh."), QString());
        break;
    case Fault::Incomplete:
        text = statusText(SANE_STATUS_EOF);
        break;
    case Fault::BadFormat:
        text = QObject::tr("The scanner sends its image in a form that cannot be stored. Choose "
                           "another mode and scan again.");
        break;
    case Fault::NotInitialised:
        text = QObject::tr("The scanner interface (SANE) could not be started. Check the SANE "
                           "installation and its configuration.");
        break;
    case Fault::Status:
    case Fault::None:
        text = statusText(status);
        break;
    }
    QMessageBox box(QMessageBox::Warning, QString::fromLatin1(kTitle), text, QMessageBox::Ok, owner);
    box.setObjectName(QStringLiteral("scannerMessage"));
    if (fault != Fault::NoDevice && status != SANE_STATUS_GOOD)
        box.setInformativeText(QObject::tr("Scanner's report: %1").arg(QString::fromLocal8Bit(sane_strstatus(status))));
    box.exec();
}

} // namespace eztw32
