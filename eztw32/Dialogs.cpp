#include "Dialogs.h"

#include "SaneThread.h"
#include "Search.h"

#include <QApplication>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QDoubleSpinBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLayout>
#include <QListWidget>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>

namespace eztw32 {

const char* const Title = "Scanner";

QString deviceTitle(const DeviceInfo& d)
{
    QString t = QString::fromStdString(d.vendor + " " + d.model).trimmed();
    return t.isEmpty() ? QString::fromStdString(d.name) : t;
}

void tabThroughButtons(QDialogButtonBox* box)
{
    box->setFocusProxy(nullptr);
    QWidget* last = nullptr;
    for (int i = 0; box->layout() && i < box->layout()->count(); ++i) {
        QWidget* button = box->layout()->itemAt(i)->widget();
        if (!button)
            continue;
        if (last)
            QWidget::setTabOrder(last, button);
        last = button;
    }
}

// ---------------------------------------------------------------------------

ProgressDialog::ProgressDialog(QWidget* owner)
    : QDialog(owner)
{
    setObjectName(QStringLiteral("progressDialog"));
    setWindowTitle(QString::fromLatin1(Title));
    setModal(true);
    label_ = new QLabel(this);
    label_->setObjectName(QStringLiteral("progressLabel"));
    label_->setMinimumWidth(320);
    bar_ = new QProgressBar(this);
    bar_->setObjectName(QStringLiteral("progressBar"));
    bar_->setAccessibleName(tr("Progress"));
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

QString devicesFoundText(int n)
{
    return n == 1 ? QObject::tr("1 scanner found") : QObject::tr("%1 scanners found").arg(n);
}

QString noDeviceText()
{
    return QObject::tr(
        "No scanner was found. Check that the scanner is switched on and connected (USB cable or "
        "network), and that you have permission to use it (for USB scanners, membership of the "
        "\"scanner\" or \"lp\" group). Network scanners must be on the same network and reachable "
        "through SANE's net or airscan backend. Then press Refresh.");
}

SourceDialog::SourceDialog(QWidget* owner, const std::optional<DeviceInfo>& current)
    : QDialog(owner)
    , alive_(std::make_shared<bool>(true))
    , current_(current)
{
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
    tabThroughButtons(buttons);
    connect(buttons, &QDialogButtonBox::accepted, this, [this] {
        if (chosen())
            accept();
    });
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(refresh_, &QPushButton::clicked, this, &SourceDialog::refresh);
    connect(list_, &QListWidget::currentRowChanged, this, &SourceDialog::updateButtons);
    connect(list_, &QListWidget::itemDoubleClicked, this, [this] {
        if (chosen())
            accept();
    });

    auto* layout = new QVBoxLayout(this);
    auto* listLabel = new QLabel(tr("Choose the scanner to use:"), this);
    nameField(listLabel, list_, tr("Scanners"), QString());
    layout->addWidget(listLabel);
    layout->addWidget(list_);
    layout->addWidget(status_);
    layout->addWidget(buttons);
    resize(440, 300);

    // The search started when the library was loaded: its list at once when
    // it has ended, else "Searching…" until it does.
    if (!searchResult().done)
        startSearch();
    showSearch();
}

SourceDialog::~SourceDialog()
{
    *alive_ = false;
}

void SourceDialog::refresh()
{
    if (!searchResult().running)
        startSearch();
    // "Searching…" until this search has ended, however quickly it does.
    showSearching();
}

void SourceDialog::showSearching()
{
    devices_.clear();
    list_->clear();
    status_->setText(tr("Searching…"));
    refresh_->setEnabled(false);
    updateButtons();
    whenSearchEnds(alive_, [this] { showSearch(); });
}

void SourceDialog::showSearch()
{
    const SearchResult r = searchResult();
    if (r.running || !r.done) {
        showSearching();
        return;
    }
    devices_ = r.devices;
    list_->clear();
    refresh_->setEnabled(true);
    for (const DeviceInfo& d : devices_) {
        QString text = deviceTitle(d);
        if (!d.type.empty())
            text += QStringLiteral(" (%1)").arg(QString::fromStdString(d.type));
        auto* item = new QListWidgetItem(text, list_);
        item->setToolTip(QString::fromStdString(d.name));
    }
    if (r.status != SANE_STATUS_GOOD)
        status_->setText(tr("The scanner interface could not search for scanners: %1")
                             .arg(QString::fromLocal8Bit(sane_strstatus(r.status))));
    else if (devices_.empty())
        status_->setText(noDeviceText());
    else
        status_->setText(devicesFoundText(int(devices_.size())));
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
                           "on and connected, or choose another source.")
                   .arg(device);
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
    case Fault::Stalled:
        text = QObject::tr("The scanner stopped answering in the middle of the scan. Check that it is "
                           "switched on and that its cable or network connection is sound, then scan again.");
        break;
    case Fault::Status:
    case Fault::None:
        text = statusText(status);
        break;
    }
    QMessageBox box(QMessageBox::Warning, QString::fromLatin1(Title), text, QMessageBox::Ok, owner);
    box.setObjectName(QStringLiteral("scannerMessage"));
    if (fault != Fault::NoDevice && status != SANE_STATUS_GOOD)
        box.setInformativeText(
            QObject::tr("Scanner's report: %1").arg(QString::fromLocal8Bit(sane_strstatus(status))));
    box.exec();
}

} // namespace eztw32
