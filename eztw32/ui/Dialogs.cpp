#include "Dialogs.h"

#include <QDialogButtonBox>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QLayout>
#include <QListWidget>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QVBoxLayout>

#include <algorithm>

namespace eztw32 {

const char* const Title = "Scanner";

QString deviceTitle(const DeviceInfo& d)
{
    QString t = QString::fromStdString(d.vendor + " " + d.model).trimmed();
    return t.isEmpty() ? QString::fromStdString(d.name) : t;
}

QSize sizeOnScreen(const QWidget* owner, QSize wanted)
{
    const QWidget* window = owner ? owner->window() : nullptr;
    QScreen* screen = window ? window->screen() : QGuiApplication::primaryScreen();
    if (!screen)
        return wanted;
    // The frame the window manager draws around the owner; a title bar and
    // thin borders until the owner has one.
    QSize frame(8, 32);
    if (window && window->isVisible() && window->frameGeometry().size() != window->size())
        frame = window->frameGeometry().size() - window->size();
    // A few pixels more, as the frame's thickness is rounded to whole
    // pixels of the program's at a fractional or large scale.
    return wanted.boundedTo(screen->availableGeometry().size() - frame - QSize(4, 4));
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

SourceDialog::SourceDialog(QWidget* owner, const std::optional<DeviceInfo>& current)
    : QDialog(owner)
    , current_(current)
{
    installAccessibility();
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
    connect(&client_, &SaneClient::searchChanged, this, &SourceDialog::showSearch);

    auto* layout = new QVBoxLayout(this);
    auto* listLabel = new QLabel(tr("Choose the scanner to use:"), this);
    nameField(listLabel, list_, tr("Scanners"), QString());
    tellCurrentItem(list_);
    layout->addWidget(listLabel);
    layout->addWidget(list_);
    layout->addWidget(status_);
    layout->addWidget(buttons);
    resize(sizeOnScreen(owner, QSize(440, 300)));

    // The search started when the library was loaded: its list at once when
    // it has ended, else "Searching…" until it does.
    if (!client_.lastSearch().done)
        client_.search();
    showSearch();
}

void SourceDialog::refresh()
{
    client_.search();
    // "Searching…" until this search has news, however quickly it has.
    showSearching();
}

void SourceDialog::showSearching()
{
    showDevices({});
    status_->setText(tr("Searching…"));
    refresh_->setEnabled(false);
    client_.whenSearchChanges();
}

void SourceDialog::showDevices(const std::vector<DeviceInfo>& devices)
{
    // The row chosen stays chosen as others come.
    const std::optional<DeviceInfo> was = chosen();
    devices_ = devices;
    list_->clear();
    for (const DeviceInfo& d : devices_) {
        QString text = deviceTitle(d);
        if (!d.type.empty())
            text += QStringLiteral(" (%1)").arg(QString::fromStdString(d.type));
        auto* item = new QListWidgetItem(text, list_);
        item->setToolTip(QString::fromStdString(d.name));
    }
    int row = devices_.size() == 1 ? 0 : -1;
    for (size_t i = 0; i < devices_.size(); ++i)
        if ((was && devices_[i].name == was->name)
            || (!was && current_ && devices_[i].name == current_->name))
            row = int(i);
    list_->setCurrentRow(row);
    updateButtons();
}

void SourceDialog::showSearch()
{
    const SearchResult r = client_.lastSearch();
    if (r.running || !r.done) {
        // What has been found so far can be chosen; the backends still
        // being asked are named.
        showDevices(r.devices);
        QString text = r.devices.empty() ? tr("Searching…") : devicesFoundText(int(r.devices.size()));
        if (!r.asking.empty()) {
            QStringList asking;
            for (const std::string& a : r.asking)
                asking << QString::fromStdString(a);
            text += QLatin1Char(' ') + tr("Still asking: %1.").arg(asking.join(QStringLiteral(", ")));
        }
        status_->setText(text);
        refresh_->setEnabled(false);
        client_.whenSearchChanges();
        return;
    }
    showDevices(r.devices);
    refresh_->setEnabled(true);
    if (r.status != Status::Good)
        status_->setText(
            tr("The scanner interface could not search for scanners: %1").arg(statusText(r.status)));
    else if (devices_.empty())
        status_->setText(noDeviceText());
    else
        status_->setText(devicesFoundText(int(devices_.size())));
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

void showFault(QWidget* owner, Fault fault, Status status, const QString& device, const std::string& cause)
{
    const QString text = faultText(fault, status, device);
    QMessageBox box(QMessageBox::Warning, QString::fromLatin1(Title), text, QMessageBox::Ok, owner);
    box.setObjectName(QStringLiteral("scannerMessage"));
    if (!cause.empty())
        box.setInformativeText(QString::fromStdString(cause));
    else if (fault != Fault::NoDevice && status != Status::Good)
        box.setInformativeText(QObject::tr("Scanner's report: %1").arg(statusText(status)));
    box.exec();
}

} // namespace eztw32
