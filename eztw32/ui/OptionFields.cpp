#include "OptionFields.h"

#include "Dialogs.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalBlocker>
#include <QSlider>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <tuple>

namespace eztw32 {
namespace {

QString number(double v)
{
    return QString::number(v, 'g', 12);
}

QString valuesText(const std::vector<double>& values)
{
    QStringList parts;
    for (double v : values)
        parts << number(v);
    return parts.join(QStringLiteral(", "));
}

int decimalsFor(const OptionInfo& o)
{
    if (o.type != OptionType::Fixed)
        return 0;
    if (o.quant > 0)
        return std::clamp(int(std::ceil(-std::log10(o.quant) - 1e-9)), 0, 4);
    return 2;
}

// A list as narrow as a few characters, whatever its entries: a long one
// is elided, the open list shows it whole.
QComboBox* narrowCombo(QWidget* parent)
{
    auto* c = new QComboBox(parent);
    c->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    c->setMinimumContentsLength(8);
    return c;
}

// An option's title beside its field, wrapped to at most a few words'
// width, and always as tall as its lines: every label of a group asks for
// the width it takes up to that, so that the column the group gives them is
// never narrower than the width their height is worked out for.
class OptionLabel : public QLabel {
public:
    OptionLabel(const QString& text, QWidget* parent)
        : QLabel(text, parent)
    {
        setWordWrap(true);
    }
    QSize sizeHint() const override
    {
        const int widest = fontMetrics().averageCharWidth() * 18;
        const int w = std::min(widest, fontMetrics().horizontalAdvance(text()) + 2);
        return {w, heightForWidth(w)};
    }
    QSize minimumSizeHint() const override { return sizeHint(); }
};

// Number arrays up to this long are a line of numbers, longer ones a curve.
constexpr int LongestListed = 16;
// The most steps a slider is cut into.
constexpr double MostSliderSteps = 1000;

class BoolField : public OptionField {
public:
    BoolField(const OptionInfo& o, QWidget* box)
        : OptionField(o, box)
        , check_(new QCheckBox(box))
    {
        check_->setObjectName(objectNameFor());
        connect(check_, &QCheckBox::toggled, this,
            [this](bool on) { send(on ? QStringLiteral("1") : QStringLiteral("0")); });
    }
    void addTo(QFormLayout* form) override { form->addRow(label(check_), check_); }
    void show(const OptionInfo& o) override
    {
        const QSignalBlocker block(check_);
        check_->setChecked(o.value != 0);
    }

private:
    QCheckBox* check_;
};

class NumberField : public OptionField {
public:
    NumberField(const OptionInfo& o, QWidget* box)
        : OptionField(o, box)
        , input_(new NumberInput(box, objectNameFor()))
    {
        input_->setOption(o);
        connect(input_, &NumberInput::valueChanged, this, [this](double v) { send(number(v)); });
    }
    void addTo(QFormLayout* form) override
    {
        QLabel* l = label(input_->spin());
        input_->name(l, title_, description_);
        form->addRow(l, input_->row());
    }
    void show(const OptionInfo& o) override { input_->setValue(o.value); }

private:
    NumberInput* input_;
};

// A list of texts or of numbers.
class ListField : public OptionField {
public:
    ListField(const OptionInfo& o, QWidget* box)
        : OptionField(o, box)
        , combo_(narrowCombo(box))
        , texts_(o.type == OptionType::String)
    {
        combo_->setObjectName(objectNameFor());
        const QString unit = unitText(o.unit);
        for (const std::string& s : o.strings)
            combo_->addItem(QString::fromStdString(s));
        if (!texts_)
            for (double v : o.numbers)
                combo_->addItem(unit.isEmpty() ? number(v) : number(v) + QLatin1Char(' ') + unit, v);
        connect(combo_, &QComboBox::currentIndexChanged, this,
            [this] { send(texts_ ? combo_->currentText() : number(combo_->currentData().toDouble())); });
    }
    void addTo(QFormLayout* form) override { form->addRow(label(combo_), combo_); }
    void show(const OptionInfo& o) override
    {
        const QSignalBlocker block(combo_);
        combo_->setCurrentIndex(
            texts_ ? combo_->findText(QString::fromStdString(o.text)) : combo_->findData(o.value));
    }

private:
    QComboBox* combo_;
    bool texts_;
};

// Free text, or a short number array as its values, comma separated.
class TextField : public OptionField {
public:
    TextField(const OptionInfo& o, QWidget* box)
        : OptionField(o, box)
        , edit_(new QLineEdit(box))
    {
        edit_->setObjectName(objectNameFor());
        connect(edit_, &QLineEdit::editingFinished, this, [this] {
            if (edit_->isModified()) {
                edit_->setModified(false);
                send(edit_->text());
            }
        });
    }
    void addTo(QFormLayout* form) override { form->addRow(label(edit_), edit_); }
    void show(const OptionInfo& o) override
    {
        const QSignalBlocker block(edit_);
        edit_->setText(o.type == OptionType::String ? QString::fromStdString(o.text) : valuesText(o.values));
        edit_->setModified(false);
        // The whole value, where the field is too narrow for it.
        edit_->setToolTip(
            description_.isEmpty() ? edit_->text() : description_ + QStringLiteral("\n\n") + edit_->text());
    }

private:
    QLineEdit* edit_;
};

class ButtonField : public OptionField {
public:
    ButtonField(const OptionInfo& o, QWidget* box)
        : OptionField(o, box)
        , button_(new QPushButton(title_, box))
    {
        button_->setObjectName(objectNameFor());
        button_->setToolTip(description_);
        button_->setAutoDefault(false); // Enter scans
        connect(button_, &QPushButton::clicked, this, [this] { send(QString()); });
    }
    void addTo(QFormLayout* form) override
    {
        nameField(nullptr, button_, title_, description_);
        form->addRow(button_);
    }
    void show(const OptionInfo&) override { }

private:
    QPushButton* button_;
};

// A long number array (a gamma table, ...) as a curve, with "Linear" and
// "Reset" below it.
class CurveField : public OptionField {
public:
    CurveField(const OptionInfo& o, QWidget* box, const std::vector<double>& first)
        : OptionField(o, box)
        , field_(new QWidget(box))
        , editor_(new ArrayEditor(field_, o, first))
    {
        editor_->setObjectName(objectNameFor());
        editor_->setToolTip(description_);
        auto* buttons = new QHBoxLayout;
        for (const auto& [text, what, spoken, tip] :
            {std::tuple{tr("Linear"), "linear", tr("Make %1 linear").arg(title_),
                 tr("A straight line from the lowest value to the highest")},
                std::tuple{tr("Reset"), "reset", tr("Reset %1").arg(title_),
                    tr("The values as they were when the dialog opened")}}) {
            auto* b = new QPushButton(text, field_);
            b->setObjectName(objectNameFor() + QLatin1Char('-') + QLatin1String(what));
            b->setAccessibleName(spoken);
            b->setToolTip(tip);
            b->setAutoDefault(false); // Enter scans
            connect(b, &QPushButton::clicked, editor_,
                std::strcmp(what, "linear") == 0 ? &ArrayEditor::linear : &ArrayEditor::reset);
            buttons->addWidget(b);
        }
        buttons->addStretch();
        auto* column = new QVBoxLayout(field_);
        column->setContentsMargins(0, 0, 0, 0);
        column->addWidget(editor_);
        column->addLayout(buttons);
        connect(editor_, &ArrayEditor::edited, this, [this](const QString& v) { send(v); });
    }
    void addTo(QFormLayout* form) override { form->addRow(label(editor_), field_); }
    void show(const OptionInfo& o) override { editor_->setValues(o.values); }

private:
    QWidget* field_;
    ArrayEditor* editor_;
};

} // namespace

QString unitText(OptionUnit unit)
{
    switch (unit) {
    case OptionUnit::Pixel:
        return QObject::tr("px");
    case OptionUnit::Bit:
        return QObject::tr("bit");
    case OptionUnit::Mm:
        return QObject::tr("mm");
    case OptionUnit::Dpi:
        return QObject::tr("dpi");
    case OptionUnit::Percent:
        return QObject::tr("%");
    case OptionUnit::Microsecond:
        return QObject::tr("µs");
    case OptionUnit::None:
        break;
    }
    return {};
}

NumberInput::NumberInput(QWidget* parent, const QString& name)
    : QObject(parent)
    , slider_(new QSlider(Qt::Horizontal, parent))
    , spin_(new QDoubleSpinBox(parent))
{
    spin_->setObjectName(name);
    spin_->setKeyboardTracking(false);
    slider_->setObjectName(name + QStringLiteral("-slider"));
    // The spin box takes the keys; the slider is for the mouse. Let go, it
    // sets the value once, not at every step of the drag.
    slider_->setFocusPolicy(Qt::NoFocus);
    slider_->setTracking(false);
    slider_->setMinimumWidth(60);
    auto* row = new QHBoxLayout;
    row->setContentsMargins(0, 0, 0, 0);
    row->addWidget(slider_, 1);
    row->addWidget(spin_);
    row_ = row;
    connect(slider_, &QSlider::sliderMoved, this, [this](int i) {
        const QSignalBlocker block(spin_);
        spin_->setValue(lo_ + i * step_);
    });
    connect(slider_, &QSlider::valueChanged, this, [this](int i) {
        const double v = std::clamp(lo_ + i * step_, spin_->minimum(), spin_->maximum());
        if (spin_->value() == v)
            Q_EMIT valueChanged(spin_->value());
        else
            spin_->setValue(v);
    });
    connect(spin_, &QDoubleSpinBox::valueChanged, this, [this](double v) {
        showOnSlider(v);
        Q_EMIT valueChanged(v);
    });
}

void NumberInput::setOption(const OptionInfo& o)
{
    const QSignalBlocker block(spin_);
    spin_->setDecimals(decimalsFor(o));
    const QString unit = unitText(o.unit);
    spin_->setSuffix(unit.isEmpty() ? QString() : QLatin1Char(' ') + unit);
    const bool ranged = o.constraint == OptionConstraint::Range && o.max > o.min;
    if (ranged) {
        spin_->setRange(o.min, o.max);
        if (o.quant > 0)
            spin_->setSingleStep(o.quant);
        lo_ = o.min;
        step_ = o.quant > 0 ? o.quant : o.type == OptionType::Int ? 1.0 : (o.max - o.min) / MostSliderSteps;
        if ((o.max - o.min) / step_ > MostSliderSteps)
            step_ = (o.max - o.min) / MostSliderSteps;
        const QSignalBlocker still(slider_);
        slider_->setRange(0, int(std::lround((o.max - o.min) / step_)));
        slider_->setPageStep(std::max(1, slider_->maximum() / 10));
    } else if (o.type == OptionType::Int) {
        spin_->setRange(-2147483648.0, 2147483647.0);
    } else {
        spin_->setRange(-32768.0, 32767.9999);
    }
    slider_->setVisible(ranged);
    showOnSlider(spin_->value());
}

void NumberInput::setValue(double v)
{
    const QSignalBlocker block(spin_);
    spin_->setValue(v);
    showOnSlider(spin_->value());
}

double NumberInput::value() const
{
    return spin_->value();
}

void NumberInput::setVisible(bool visible)
{
    spin_->setVisible(visible);
    slider_->setVisible(visible && slider_->maximum() > 0);
}

void NumberInput::name(QLabel* label, const QString& title, const QString& description)
{
    nameField(label, spin_, title, description);
    slider_->setAccessibleName(title);
    slider_->setAccessibleDescription(description);
    spin_->setToolTip(description);
    slider_->setToolTip(description);
}

void NumberInput::showOnSlider(double v)
{
    const QSignalBlocker block(slider_);
    slider_->setValue(int(std::lround(std::clamp((v - lo_) / step_, 0.0, double(slider_->maximum())))));
}

OptionField::OptionField(const OptionInfo& o, QWidget* box)
    : QObject(box)
    , box_(box)
    , name_(o.name)
    , title_(QString::fromStdString(o.title))
    , description_(QString::fromStdString(o.description))
{ }

QString OptionField::objectNameFor() const
{
    return QStringLiteral("option-") + QString::fromStdString(name_);
}

QLabel* OptionField::label(QWidget* field)
{
    auto* l = new OptionLabel(title_ + QLatin1Char(':'), box_);
    l->setToolTip(description_);
    field->setToolTip(description_);
    nameField(l, field, title_, description_);
    return l;
}

OptionField* OptionField::make(const OptionInfo& o, QWidget* box, const std::vector<double>& first)
{
    if (o.type == OptionType::Button)
        return new ButtonField(o, box);
    if (o.type == OptionType::Bool)
        return new BoolField(o, box);
    if (o.type == OptionType::String && o.constraint == OptionConstraint::StringList)
        return new ListField(o, box);
    if (o.isNumber() && o.count > LongestListed && int(o.values.size()) == o.count)
        return new CurveField(o, box, first);
    if (o.type == OptionType::String || o.count > 1)
        return new TextField(o, box);
    if (o.constraint == OptionConstraint::WordList)
        return new ListField(o, box);
    return new NumberField(o, box);
}

} // namespace eztw32
