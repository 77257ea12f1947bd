// The library's own dialogs: source selection, scan settings, progress and
// fault messages. All are modal and owned by the caller's window.
#pragma once

#include "Sane.h"
#include "ScanJob.h"

#include <QDialog>
#include <QString>

#include <memory>
#include <optional>
#include <vector>

class QComboBox;
class QDoubleSpinBox;
class QLabel;
class QListWidget;
class QProgressBar;
class QPushButton;

namespace eztw32 {

QString deviceTitle(const DeviceInfo& d);

// A modal dialog with a line of text, a bar (percentage or busy) and Cancel
// (Esc does the same). Cancel only asks: the dialog closes when finish() is
// called, so the work behind it always ends first.
class ProgressDialog : public QDialog {
    Q_OBJECT
public:
    explicit ProgressDialog(QWidget* owner);
    void setText(const QString& text);
    void setPercent(int percent); // < 0: busy bar
    void finish();
    bool cancelWasRequested() const { return cancelRequested_; }

    void reject() override;

Q_SIGNALS:
    void cancelRequested();

private:
    QLabel* label_;
    QProgressBar* bar_;
    QPushButton* cancel_;
    bool finished_ = false;
    bool cancelRequested_ = false;
};

// The scan settings dialog, built from the options of the open device.
class ScanDialog : public QDialog {
    Q_OBJECT
public:
    ScanDialog(QWidget* owner, const DeviceInfo& device, const std::vector<OptionInfo>& options);
    ScanSettings settings() const;

private:
    struct Area {
        QString label;
        double tlX, tlY, brX, brY;
    };
    std::vector<OptionInfo> options_;
    QComboBox* source_ = nullptr;
    QComboBox* mode_ = nullptr;
    QComboBox* resolution_ = nullptr;
    QComboBox* area_ = nullptr;
    QDoubleSpinBox* brightness_ = nullptr;
    QDoubleSpinBox* contrast_ = nullptr;
    std::vector<Area> areas_;
    std::optional<std::string> lineArtValue_, grayValue_, colourValue_;
    bool lineArtByDepth_ = false;
};

// The source dialog: lists the devices, found in the background.
class SourceDialog : public QDialog {
    Q_OBJECT
public:
    SourceDialog(QWidget* owner, const std::optional<DeviceInfo>& current);
    ~SourceDialog() override;
    std::optional<DeviceInfo> chosen() const;

    void refresh();

private:
    struct Link;
    void showDevices(SANE_Status status, std::vector<DeviceInfo> devices);
    void updateButtons();

    std::shared_ptr<Link> link_;
    unsigned generation_ = 0;
    std::optional<DeviceInfo> current_;
    std::vector<DeviceInfo> devices_;
    QLabel* status_;
    QListWidget* list_;
    QPushButton* refresh_;
    QPushButton* select_;
};

// The text shown when no scanner was found.
QString noDeviceText();

// One clear message for a fault, with SANE's own text as detail.
void showFault(QWidget* owner, Fault fault, SANE_Status status, const QString& device);

} // namespace eztw32
