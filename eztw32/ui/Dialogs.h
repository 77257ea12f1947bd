// The library's own dialogs: source selection, scan settings with preview
// and every device option, progress and fault messages. All are modal and
// owned by the caller's window; none waits for SANE itself (the SANE thread
// does, the dialogs hear back through the SaneClient's signals).
#pragma once

#include "core/DeviceInfo.h"
#include "core/Light.h"
#include "core/OptionInfo.h"
#include "core/Options.h"
#include "core/Outcomes.h"
#include "core/SaneClient.h"
#include "core/ScanProgress.h"
#include "core/ScanSettings.h"
#include "core/Settings.h"
#include "core/Status.h"

#include <QDialog>
#include <QImage>
#include <QPointer>
#include <QString>
#include <QWidget>

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <vector>

class QCheckBox;
class QComboBox;
class QDialogButtonBox;
class QDoubleSpinBox;
class QFormLayout;
class QLabel;
class QListWidget;
class QProgressBar;
class QPushButton;
class QScrollArea;
class QTimer;
class QToolButton;
class QVBoxLayout;

namespace eztw32 {

class OptionField;

QString deviceTitle(const DeviceInfo& d);

// What a screen reader says of a field: its own title (not the group around
// it) and the description behind it; the label, when there is one, is
// linked to the field, so that it also names it where the field's name is
// its value (combo boxes) and its shortcut moves the focus there.
void nameField(QLabel* label, QWidget* field, const QString& title, const QString& description);

// Combo boxes are read with their label and their value, on the focus and
// on each change. Called by every dialog; once is enough.
void installAccessibility();

// Has a screen reader speak `text` now, for work that ends without a window
// or a focus of its own (a preview done); `window` is the dialog it belongs to.
void announce(QWidget* window, const QString& text);

// The chosen entry of `list` is what a screen reader hears as the focus,
// when the list takes the focus and whenever the choice moves.
void tellCurrentItem(QListWidget* list);

// `wanted`, made smaller where it does not fit, with a window manager's
// frame around it, in the available area of the screen `owner` is on.
QSize sizeOnScreen(const QWidget* owner, QSize wanted);

// Tab reaches every button of `box`, in the order shown. Qt's button box
// makes its first button its focus proxy, and with that Tab circles
// between two of the buttons and never leaves them.
void tabThroughButtons(QDialogButtonBox* box);

// A modal dialog with a line of text, a bar (percentage or busy) and Cancel
// (Esc and the close box do the same). Cancel only asks: the dialog closes
// when finish() is called, so the work behind it always ends first.
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

// The preview of the bed with the scan area on it. A preset area (or the
// whole bed) is replaced by the one drawn with the mouse; a drawn area is
// moved by dragging inside it and resized by its edges and corners. The
// wheel zooms in and out around the pointer, the middle button moves the
// zoomed view; drawing works the same at every zoom.
class PreviewPane : public QWidget {
    Q_OBJECT
    Q_PROPERTY(bool hasPicture READ hasPicture)
    Q_PROPERTY(double zoom READ zoom NOTIFY viewChanged)
public:
    explicit PreviewPane(QWidget* parent);
    void setBounds(const Area& bounds, std::function<Area(Area)> clamp);
    // `drawn`: the area is the user's own, not a preset or the whole bed.
    void setArea(const Area& area, bool drawn);
    Area area() const { return area_; }
    void setPicture(const QImage& picture);
    bool hasPicture() const { return !picture_.isNull(); }
    // The picture as the device gave it, without the light shown on it.
    const QImage& picture() const { return picture_; }
    // The light done in software, shown on the picture; none: as it is.
    void setLight(const std::optional<LightTable>& table);
    // The turn of the saved picture, written with an arrow on the area's
    // frame; `text` is its name ("90° right").
    void setTurn(Turn turn, const QString& text);
    QSize sizeHint() const override { return {300, 400}; }

    // How many times the whole bed the view is magnified (1: the whole bed).
    double zoom() const;
    // The part of the bed shown, in mm.
    Area view() const { return view_; }
    // Shows the scan area as large as the pane holds it, with a margin.
    void zoomToArea();
    // Shows the whole bed again.
    void fit();
    // Magnifies by `factor` keeping the bed's point under `at` where it is.
    void zoomAt(QPointF at, double factor);

Q_SIGNALS:
    void areaChanged(const eztw32::Area& area);
    void viewChanged();

protected:
    void paintEvent(QPaintEvent*) override;
    void mousePressEvent(QMouseEvent* e) override;
    void mouseMoveEvent(QMouseEvent* e) override;
    void mouseReleaseEvent(QMouseEvent* e) override;
    void wheelEvent(QWheelEvent* e) override;

private:
    enum Edge { None = 0, Left = 1, Right = 2, Top = 4, Bottom = 8, Move = 16, Draw = 32 };
    QRectF room() const;
    double scale() const; // pixels per mm
    QPointF origin() const; // where the view's top-left corner is drawn
    QRectF bed() const;
    QPointF toMm(QPointF px) const;
    QRectF toPx(const Area& a) const;
    int hit(QPointF px) const;
    // The view kept inside the bed, no smaller than a sixteenth of it.
    void setView(Area v);
    // The picture shown made anew: the light on it, its scaled copy dropped.
    void showLight();

    Area bounds_{0, 0, 1, 1};
    Area view_{0, 0, 1, 1};
    Area area_{0, 0, 1, 1};
    std::function<Area(Area)> clamp_;
    QImage picture_;
    QImage shown_; // the picture with the light on it
    QImage scaled_; // the picture shown smoothly scaled to the bed as last drawn
    std::optional<LightTable> light_;
    Turn turn_ = Turn::None;
    QString turnText_;
    bool drawn_ = false;
    int drag_ = None;
    bool dragging_ = false; // gone far enough from the press to be a drag
    bool panning_ = false;
    QPointF pressMm_;
    QPointF panFrom_;
    Area panView_;
    Area pressArea_;
    Area beforeArea_;
};

// A number array (a gamma table, ...) as a curve: each element a point,
// its index across, its value up. Dragging draws the curve from where it is
// pressed on, through the pointer; with the focus, Left and Right choose a point, Up and Down
// change it. "Linear" makes it a straight line from the lowest value to
// the highest, "Reset" puts back the values first shown.
class ArrayEditor : public QWidget {
    Q_OBJECT
    Q_PROPERTY(QString values READ valuesText)
public:
    ArrayEditor(QWidget* parent, const OptionInfo& option, std::vector<double> first);
    void setValues(const std::vector<double>& values);
    QString valuesText() const;
    QSize sizeHint() const override;
    void linear();
    void reset();

Q_SIGNALS:
    void edited(const QString& values);

protected:
    void paintEvent(QPaintEvent*) override;
    void mousePressEvent(QMouseEvent* e) override;
    void mouseMoveEvent(QMouseEvent* e) override;
    void mouseReleaseEvent(QMouseEvent* e) override;
    void keyPressEvent(QKeyEvent* e) override;

private:
    QRectF plot() const;
    int indexAt(double x) const;
    double valueAt(double y) const;
    // The nearest value the option takes.
    double allowed(double v) const;
    void put(int from, double fromValue, int to, double toValue);
    void send();

    OptionInfo option_;
    std::vector<double> values_, first_;
    double lo_ = 0, hi_ = 1;
    int current_ = 0; // the point the keys change
    bool pressed_ = false;
    int lastIndex_ = 0;
    double lastValue_ = 0;
};

// Every active, settable option of the device by its group, each in the
// field of its kind (OptionField).
class OptionsPanel : public QWidget {
    Q_OBJECT
public:
    explicit OptionsPanel(QWidget* parent);
    // Rebuilt when the options changed in kind, else only the values shown.
    void setOptions(const std::vector<OptionInfo>& options, const std::set<std::string>& shownElsewhere);
    void setShowAdvanced(bool show);
    // Another device: "Reset" goes back to its values as first shown.
    void forgetFirstValues()
    {
        firstValues_.clear();
        signature_.clear(); // the next options rebuild the fields
    }

Q_SIGNALS:
    void edited(const QString& name, const QString& value);
    // The fields were made anew.
    void rebuilt();

private:
    void rebuild();
    void showValues();
    std::string signature() const;

    std::map<std::string, OptionField*> fields_; // owned by their group boxes
    std::vector<OptionInfo> options_;
    std::set<std::string> shownElsewhere_;
    bool showAdvanced_ = false;
    std::string signature_;
    // The values of each number array as first shown, for "Reset".
    std::map<std::string, std::vector<double>> firstValues_;
    QVBoxLayout* layout_;
};

class AreaFields;
class DeviceHeader;
class NumberInput;
class PreviewColumn;

// The scan dialog, built from the options of the open device: the device
// header, the main settings, the area, "All options", the preview and the
// buttons. The settings column is as wide as its widest row needs and
// scrolls only up and down; the preview takes the rest.
class ScanDialog : public QDialog {
    Q_OBJECT
    Q_PROPERTY(bool busy READ busy)
public:
    // The client's session is open on a device, as `opened` tells.
    ScanDialog(QWidget* owner, SaneClient& client, Settings& settings, const OpenOutcome& opened);

    ScanSettings settings() const;
    const DeviceInfo& device() const { return info_; }
    // The device works for the dialog (the size it reports is asked too).
    bool busy() const { return busy_ || sizeAsked_; }

    void reject() override;

private:
    // The parts, each made once.
    void makeCommon();
    void makeAllOptions();
    QDialogButtonBox* makeButtons();
    void layOut(QDialogButtonBox* buttons);
    void listen();

    void show(const OpenOutcome& opened, std::optional<ScanChoices> choices);
    // The user's earlier choices, as far as the device still offers them.
    void keepChoices(const ScanChoices& earlier);
    // A new model of the device's options, shown with the choices kept.
    void setOptions(std::vector<OptionInfo> options);
    // The model as it is, shown.
    void showModel();
    void fillCommon();
    void readCommon();
    void showArea();
    // Asks the device for the size the choices give; shown when it answers.
    void showSize();
    void sizeRead(const SizeOutcome& out);
    void showSizeText();
    void setBusy(bool busy);
    void giveFocusBack();
    // "All options" right after the main settings in the Tab order.
    void orderTabs();
    // The area set to the document on the preview, where the user has not
    // chosen one and finding it is on.
    void findArea();
    // The light done in software, shown on the preview; the turn on its frame.
    void showCorrections();
    void startPreview();
    void previewEnded(const ScanResult& r, const std::vector<OptionInfo>& options);
    void optionEdited(const QString& name, const QString& value);
    void optionSet(const std::string& name, const SetOutcome& out);
    void reopened(const OpenOutcome& out);
    // A step whose device's driver was lost: its message, and the dialog
    // ends (the scan ends as failed). False when the driver is there.
    bool endIfDriverLost(Fault fault, const std::string& cause);
    void reopen(const DeviceInfo& device);
    void restoreDefaults();
    void remember();

    SaneClient& client_;
    Settings& remembered_;
    DeviceInfo info_;
    std::unique_ptr<ScanOptions> model_;
    ScanChoices choices_;
    std::vector<OptionSetting> edits_;
    bool busy_ = false;
    bool previewing_ = false;
    bool closed_ = false; // the device could not be opened again
    // Where the focus was when the device began to work: the widget, or
    // its name when the options were made anew meanwhile.
    QPointer<QWidget> focusBefore_;
    QString focusName_;
    bool sizeAsked_ = false, sizeStale_ = false;
    std::optional<SizeOutcome> reported_;
    // What the size was asked for, and what the one reported is for: an
    // answer for other choices than the dialog's is no answer.
    ScanSettings askedFor_, reportedFor_;

    QFormLayout* form_ = nullptr;
    DeviceHeader* header_ = nullptr;
    QComboBox* source_ = nullptr;
    QComboBox* mode_ = nullptr;
    QComboBox* resolution_ = nullptr;
    AreaFields* area_ = nullptr;
    NumberInput* brightness_ = nullptr;
    NumberInput* contrast_ = nullptr;
    NumberInput* gamma_ = nullptr;
    QCheckBox* findDocument_ = nullptr;
    QCheckBox* straighten_ = nullptr;
    QComboBox* rotate_ = nullptr;
    QLabel* size_ = nullptr;
    QLabel* tooLarge_ = nullptr;
    QLabel* status_ = nullptr;
    QToolButton* allToggle_ = nullptr;
    QCheckBox* advanced_ = nullptr;
    OptionsPanel* panel_ = nullptr;
    PreviewColumn* preview_ = nullptr;
    QPushButton* previewButton_ = nullptr;
    QPushButton* defaultsButton_ = nullptr;
    QPushButton* scanButton_ = nullptr;
};

// The source dialog: the list of the background search, or "Searching…"
// until it ends; Refresh searches again.
class SourceDialog : public QDialog {
    Q_OBJECT
public:
    SourceDialog(QWidget* owner, const std::optional<DeviceInfo>& current);
    std::optional<DeviceInfo> chosen() const;

    void refresh();

private:
    void showSearch();
    // An empty list and "Searching…", until the search has news.
    void showSearching();
    void showDevices(const std::vector<DeviceInfo>& devices);
    void updateButtons();

    SaneClient client_;
    std::optional<DeviceInfo> current_;
    std::vector<DeviceInfo> devices_;
    QLabel* status_;
    QListWidget* list_;
    QPushButton* refresh_;
    QPushButton* select_;
};

// "1 scanner found", "2 scanners found".
QString devicesFoundText(int n);

// One clear message for a fault, with SANE's own text as detail, or the
// cause of a lost driver.
void showFault(
    QWidget* owner, Fault fault, Status status, const QString& device, const std::string& cause = {});

} // namespace eztw32
