// The parts the scan dialog is made of, each owning its widgets and their
// state: the area fields, the preview column, the settings column and a
// label that elides what does not fit.
#pragma once

#include "core/DeviceInfo.h"
#include "core/Options.h"
#include "core/Outcomes.h"
#include "core/ScanProgress.h"

#include <QLabel>
#include <QObject>
#include <QScrollArea>
#include <QWidget>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

class QComboBox;
class QDoubleSpinBox;
class QFormLayout;
class QProgressBar;
class QPushButton;
class QTimer;

namespace eztw32 {

class PreviewPane;

// A list as wide as its usual entries; a longer one is elided, its whole
// text in the tooltip (set as the entry changes) and the open list.
void wholeInTooltip(QComboBox* combo);

// One line of text, elided where the column is too narrow for it; the whole
// text is its tooltip and what a screen reader hears.
class ElidedLabel : public QLabel {
public:
    explicit ElidedLabel(QWidget* parent);
    void setFullText(const QString& text);
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent*) override;
};

// The device the dialog is for. Where the remembered one was not found, a
// note says so, and a list of those found lets the user take another.
class DeviceHeader : public QObject {
public:
    DeviceHeader(QWidget* parent, std::function<void(const DeviceInfo&)> chosen);
    void addTo(QFormLayout* form);
    // Whether the device opened is the one wanted, and what else was found.
    void tellMissing(const OpenOutcome& opened);
    void show(const DeviceInfo& device);
    void setEnabled(bool enabled);

private:
    std::function<void(const DeviceInfo&)> chosen_;
    std::vector<DeviceInfo> found_;
    std::string current_;
    QFormLayout* form_ = nullptr;
    ElidedLabel* label_;
    QLabel* note_;
    QComboBox* devices_;
};

// The scan area as a preset and as its edges, in the unit of the locale.
class AreaFields : public QObject {
public:
    AreaFields(QWidget* parent, std::function<void(const Area&)> chosen);
    void addTo(QFormLayout* form);
    // The presets, ranges and steps of the device's area; hidden without one.
    void setModel(const ScanOptions& m);
    // `preset`: the index of the preset the area is, -1 for a drawn one or
    // (`found`) the document found on the preview.
    void show(const Area& a, int preset, bool found = false);

private:
    void fromEdges();

    std::function<void(const Area&)> chosen_;
    std::vector<Preset> presets_;
    double unit_; // mm per unit shown
    QFormLayout* form_ = nullptr;
    QComboBox* preset_;
    QDoubleSpinBox *left_, *top_, *width_, *height_;
    QLayout *position_, *extent_;
};

// The preview, its progress while it runs and the zoom buttons below it.
class PreviewColumn : public QWidget {
public:
    explicit PreviewColumn(QWidget* parent);
    PreviewPane* pane() const { return pane_; }
    void setUsable(bool usable);
    // Shows the picture of `buffer` as it fills, until finish().
    void start(std::shared_ptr<PreviewBuffer> buffer);
    void finish();

private:
    void showProgress();

    PreviewPane* pane_;
    QProgressBar* bar_;
    QPushButton* zoom_;
    QPushButton* fit_;
    QTimer* timer_;
    std::shared_ptr<PreviewBuffer> buffer_;
};

// The settings: as wide as the widest of their rows needs, with `extra`
// (hidden or not) counted too, so that opening it keeps the width; they
// scroll up and down where the screen is too small, never sideways.
class SettingsColumn : public QScrollArea {
public:
    SettingsColumn(QWidget* parent, QWidget* settings, QWidget* extra);
    QSize minimumSizeHint() const override;
    QSize sizeHint() const override;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    int neededWidth() const;
    QWidget* extra_;
};

} // namespace eztw32
