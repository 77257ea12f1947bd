// The fields of the scan dialog that show one option of the device each:
// one class per kind of option, each owning its label, its value, what a
// screen reader hears of it and its update from the device.
#pragma once

#include "core/OptionInfo.h"

#include <QObject>
#include <QString>

#include <memory>
#include <vector>

class QDoubleSpinBox;
class QFormLayout;
class QLabel;
class QLayout;
class QSlider;
class QWidget;

namespace eztw32 {

// "%", "mm", "dpi", ... of an option; empty where it has none.
QString unitText(OptionUnit unit);

// A number with its range as a slider beside a spin box with the unit. The
// two are made in `parent` beside each other, so that a label there names
// them; the slider follows the spin box and moves it when let go.
class NumberInput : public QObject {
    Q_OBJECT
public:
    NumberInput(QWidget* parent, const QString& name);
    // The range and steps of a number option, the slider only where it has
    // a range.
    void setOption(const OptionInfo& o);
    void setValue(double v);
    double value() const;
    void setVisible(bool visible);
    // Named for a screen reader, and linked to `label` when there is one.
    void name(QLabel* label, const QString& title, const QString& description);
    QDoubleSpinBox* spin() const { return spin_; }
    // The two side by side, for a row of a form.
    QLayout* row() const { return row_; }

Q_SIGNALS:
    void valueChanged(double value);

private:
    void showOnSlider(double v);

    QSlider* slider_;
    QDoubleSpinBox* spin_;
    QLayout* row_;
    double lo_ = 0, step_ = 1;
};

// One option in "All options". Its widgets are made in the group box it is
// shown in and live as long as it.
class OptionField : public QObject {
    Q_OBJECT
public:
    // The field for `o`'s kind; `first` are the values of a number array
    // as first shown, for its "Reset".
    static OptionField* make(const OptionInfo& o, QWidget* box, const std::vector<double>& first);

    const std::string& name() const { return name_; }
    // Its row in the group's form.
    virtual void addTo(QFormLayout* form) = 0;
    // The value the device reports now.
    virtual void show(const OptionInfo& o) = 0;

Q_SIGNALS:
    void edited(const QString& name, const QString& value);

protected:
    OptionField(const OptionInfo& o, QWidget* box);
    // The label of the field, linked to `field` and naming it.
    QLabel* label(QWidget* field);
    void send(const QString& value) { Q_EMIT edited(QString::fromStdString(name_), value); }
    QString objectNameFor() const;

    QWidget* box_;
    std::string name_;
    QString title_, description_;
};

} // namespace eztw32
