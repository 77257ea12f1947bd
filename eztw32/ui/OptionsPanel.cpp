#include "Dialogs.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>

#include <cmath>
#include <limits>

namespace eztw32 {
namespace {

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

QString number(double v)
{
    return QString::number(v, 'g', 12);
}

QString valuesText(const OptionInfo& o)
{
    QStringList parts;
    for (double v : o.values)
        parts << number(v);
    return parts.join(QStringLiteral(", "));
}

QString widgetName(const OptionInfo& o)
{
    return QStringLiteral("option-") + QString::fromStdString(o.name);
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

} // namespace

void nameField(QLabel* label, QWidget* field, const QString& title, const QString& description)
{
    if (label)
        label->setBuddy(field);
    field->setAccessibleName(title);
    field->setAccessibleDescription(description);
}

OptionsPanel::OptionsPanel(QWidget* parent)
    : QWidget(parent)
    , layout_(new QVBoxLayout(this))
{
    setObjectName(QStringLiteral("optionsPanel"));
    layout_->setContentsMargins(0, 0, 0, 0);
}

void OptionsPanel::setShowAdvanced(bool show)
{
    if (show == showAdvanced_)
        return;
    showAdvanced_ = show;
    rebuild();
}

std::string OptionsPanel::signature() const
{
    std::string s;
    for (const OptionInfo& o : options_) {
        s += o.name + '|' + std::to_string(o.caps) + '|' + std::to_string(int(o.constraint)) + '|'
            + std::to_string(o.min) + '|' + std::to_string(o.max) + '|' + std::to_string(o.quant) + '|'
            + std::to_string(o.count);
        for (const std::string& t : o.strings)
            s += '|' + t;
        for (double v : o.numbers)
            s += '|' + std::to_string(v);
        s += '\n';
    }
    return s;
}

void OptionsPanel::setOptions(
    const std::vector<OptionInfo>& options, const std::set<std::string>& shownElsewhere)
{
    options_ = options;
    shownElsewhere_ = shownElsewhere;
    const std::string sig = signature();
    if (sig != signature_) {
        signature_ = sig;
        rebuild();
    } else {
        showValues();
    }
}

void OptionsPanel::rebuild()
{
    while (QLayoutItem* item = layout_->takeAt(0)) {
        delete item->widget();
        delete item;
    }
    QGroupBox* box = nullptr;
    QFormLayout* form = nullptr;
    std::string group = "\x01";
    for (const OptionInfo& o : options_) {
        if (!o.settable() || shownElsewhere_.count(o.name) || (o.advanced() && !showAdvanced_))
            continue;
        if (!box || o.group != group) {
            group = o.group;
            box = new QGroupBox(QString::fromStdString(group.empty() ? std::string("Options") : group), this);
            form = new QFormLayout(box);
            // A label goes above its field where the two do not fit side
            // by side: the panel is never wider than the dialog gives it.
            form->setRowWrapPolicy(QFormLayout::WrapLongRows);
            form->setFieldGrowthPolicy(QFormLayout::AllNonFixedFieldsGrow);
            layout_->addWidget(box);
        }
        const QString name = QString::fromStdString(o.name);
        const QString tip = QString::fromStdString(o.description);
        QString label = QString::fromStdString(o.title);
        const QString unit = unitText(o.unit);
        QWidget* w = nullptr;
        if (o.type == OptionType::Button) {
            auto* b = new QPushButton(label, box);
            b->setAutoDefault(false); // Enter scans
            b->setAutoDefault(false);
            connect(b, &QPushButton::clicked, this, [this, name] { Q_EMIT edited(name, QString()); });
            w = b;
            label.clear();
        } else if (o.type == OptionType::Bool) {
            auto* c = new QCheckBox(box);
            connect(c, &QCheckBox::toggled, this, [this, name](bool on) {
                Q_EMIT edited(name, on ? QStringLiteral("1") : QStringLiteral("0"));
            });
            w = c;
        } else if (o.type == OptionType::String && o.constraint == OptionConstraint::StringList) {
            auto* c = narrowCombo(box);
            for (const std::string& s : o.strings)
                c->addItem(QString::fromStdString(s));
            connect(c, &QComboBox::currentIndexChanged, this,
                [this, name, c] { Q_EMIT edited(name, c->currentText()); });
            w = c;
        } else if (o.type == OptionType::String || o.count > 1) {
            // Free text, or a number array (a gamma table, ...) as its
            // values, comma separated.
            auto* e = new QLineEdit(box);
            connect(e, &QLineEdit::editingFinished, this, [this, name, e] {
                if (e->isModified()) {
                    e->setModified(false);
                    Q_EMIT edited(name, e->text());
                }
            });
            w = e;
        } else if (o.constraint == OptionConstraint::WordList) {
            auto* c = narrowCombo(box);
            for (double v : o.numbers)
                c->addItem(unit.isEmpty() ? number(v) : number(v) + QLatin1Char(' ') + unit, v);
            connect(c, &QComboBox::currentIndexChanged, this,
                [this, name, c] { Q_EMIT edited(name, number(c->currentData().toDouble())); });
            w = c;
        } else if (o.type == OptionType::Int) {
            auto* s = new QSpinBox(box);
            if (o.constraint == OptionConstraint::Range) {
                s->setRange(int(o.min), int(o.max));
                if (o.quant > 0)
                    s->setSingleStep(int(o.quant));
            } else {
                s->setRange(std::numeric_limits<int>::min(), std::numeric_limits<int>::max());
            }
            if (!unit.isEmpty())
                s->setSuffix(QLatin1Char(' ') + unit);
            s->setKeyboardTracking(false);
            connect(s, &QSpinBox::valueChanged, this,
                [this, name](int v) { Q_EMIT edited(name, QString::number(v)); });
            w = s;
        } else {
            auto* s = new QDoubleSpinBox(box);
            s->setDecimals(decimalsFor(o));
            if (o.constraint == OptionConstraint::Range) {
                s->setRange(o.min, o.max);
                if (o.quant > 0)
                    s->setSingleStep(o.quant);
            } else {
                s->setRange(-32768.0, 32767.9999);
            }
            if (!unit.isEmpty())
                s->setSuffix(QLatin1Char(' ') + unit);
            s->setKeyboardTracking(false);
            connect(s, &QDoubleSpinBox::valueChanged, this,
                [this, name](double v) { Q_EMIT edited(name, number(v)); });
            w = s;
        }
        w->setObjectName(widgetName(o));
        w->setToolTip(tip);
        if (label.isEmpty()) {
            nameField(nullptr, w, QString::fromStdString(o.title), tip);
            form->addRow(w);
        } else {
            auto* l = new QLabel(label + QLatin1Char(':'), box);
            l->setWordWrap(true);
            l->setToolTip(tip);
            nameField(l, w, label, tip);
            form->addRow(l, w);
        }
    }
    layout_->addStretch();
    showValues();
}

void OptionsPanel::showValues()
{
    for (const OptionInfo& o : options_) {
        QWidget* w = findChild<QWidget*>(widgetName(o));
        if (!w)
            continue;
        const QSignalBlocker block(w);
        if (auto* c = qobject_cast<QCheckBox*>(w)) {
            c->setChecked(o.value != 0);
        } else if (auto* c = qobject_cast<QComboBox*>(w)) {
            if (o.type == OptionType::String)
                c->setCurrentIndex(c->findText(QString::fromStdString(o.text)));
            else
                c->setCurrentIndex(c->findData(o.value));
        } else if (auto* e = qobject_cast<QLineEdit*>(w)) {
            e->setText(o.type == OptionType::String ? QString::fromStdString(o.text) : valuesText(o));
            e->setModified(false);
        } else if (auto* s = qobject_cast<QSpinBox*>(w)) {
            s->setValue(int(o.value));
        } else if (auto* s = qobject_cast<QDoubleSpinBox*>(w)) {
            s->setValue(o.value);
        }
    }
}

} // namespace eztw32
