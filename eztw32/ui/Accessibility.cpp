// What a screen reader hears of the library's dialogs beyond what Qt tells
// it by itself: the value of every combo box, the chosen entry of a list,
// and the end of work that has no window of its own.
#include "Dialogs.h"

#include <QAbstractItemView>
#include <QAccessible>
#include <QAccessibleWidget>
#include <QComboBox>
#include <QEvent>
#include <QListWidget>
#include <QPointer>
#include <QTimer>

namespace eztw32 {
namespace {

// A combo box that is read as its label and its value. Qt's own names a
// combo box by its value on this platform, which a screen reader drops as
// soon as a label is linked to it, and tells no value otherwise; here the
// name is the field's own (its accessible name, or its label's text), and
// the value is the combo box's text, all of it selected, as an editable
// combo box shows a chosen entry. A new value is told as that text
// replaced, which a screen reader speaks for the field it is on.
class ComboBoxAccessible : public QAccessibleWidget, public QAccessibleTextInterface {
public:
    explicit ComboBoxAccessible(QComboBox* combo)
        : QAccessibleWidget(combo, QAccessible::ComboBox)
    {
        // Each new value while the user is on the field (once, however often
        // the interface is made).
        if (combo->property("eztw32ValueTold").toBool())
            return;
        combo->setProperty("eztw32ValueTold", true);
        QObject::connect(combo, &QComboBox::currentIndexChanged, combo, [combo] {
            if (!QAccessible::isActive() || !combo->hasFocus())
                return;
            QAccessibleTextInsertEvent inserted(combo, 0, combo->currentText());
            QAccessible::updateAccessibility(&inserted);
        });
    }

    void* interface_cast(QAccessible::InterfaceType type) override
    {
        if (type == QAccessible::TextInterface)
            return static_cast<QAccessibleTextInterface*>(this);
        return QAccessibleWidget::interface_cast(type);
    }

    QString text(QAccessible::Text t) const override
    {
        if (t == QAccessible::Value)
            return value();
        return QAccessibleWidget::text(t);
    }

    QAccessible::State state() const override
    {
        QAccessible::State s = QAccessibleWidget::state();
        s.expandable = true;
        s.expanded = combo()->view() && combo()->view()->isVisible();
        s.collapsed = !s.expanded;
        return s;
    }

    QStringList actionNames() const override
    {
        return QAccessibleWidget::actionNames() << showMenuAction() << pressAction();
    }

    void doAction(const QString& action) override
    {
        if (action == showMenuAction() || action == pressAction())
            combo()->showPopup();
        else
            QAccessibleWidget::doAction(action);
    }

    QStringList keyBindingsForAction(const QString& action) const override
    {
        if (action == showMenuAction())
            return {QKeySequence(Qt::ALT | Qt::Key_Down).toString(QKeySequence::NativeText)};
        return QAccessibleWidget::keyBindingsForAction(action);
    }

    // The value as text.
    QString text(int start, int end) const override { return value().mid(start, end - start); }
    int characterCount() const override { return int(value().size()); }
    int cursorPosition() const override { return 0; }
    void setCursorPosition(int) override { }
    int selectionCount() const override { return value().isEmpty() ? 0 : 1; }
    void selection(int index, int* start, int* end) const override
    {
        *start = 0;
        *end = index == 0 ? characterCount() : 0;
    }
    void addSelection(int, int) override { }
    void removeSelection(int) override { }
    void setSelection(int, int, int) override { }
    QRect characterRect(int) const override { return rect(); }
    int offsetAtPoint(const QPoint&) const override { return 0; }
    void scrollToSubstring(int, int) override { }
    QString attributes(int, int* start, int* end) const override
    {
        *start = 0;
        *end = characterCount();
        return {};
    }

private:
    QComboBox* combo() const { return static_cast<QComboBox*>(widget()); }
    QString value() const { return combo()->currentText(); }
};

const char* const announcementProperty = "eztw32Announcement";
constexpr int AnnouncementDelayMs = 1000;

// A hidden object of a window that a screen reader reads out each time it is
// shown: a notification named by its text.
class AnnouncementAccessible : public QAccessibleWidget {
public:
    explicit AnnouncementAccessible(QWidget* w)
        : QAccessibleWidget(w, QAccessible::Notification)
    { }
};

QAccessibleInterface* dialogsAccessibleFactory(const QString& className, QObject* object)
{
    if (!object || !object->isWidgetType())
        return nullptr;
    if (className == QLatin1String("QComboBox"))
        return new ComboBoxAccessible(static_cast<QComboBox*>(object));
    if (className == QLatin1String("QWidget") && object->property(announcementProperty).toBool())
        return new AnnouncementAccessible(static_cast<QWidget*>(object));
    return nullptr;
}

} // namespace

void installAccessibility()
{
    static const bool installed = [] {
        QAccessible::installFactory(dialogsAccessibleFactory);
        return true;
    }();
    Q_UNUSED(installed);
}

void announce(QWidget* window, const QString& text)
{
    if (!window || !QAccessible::isActive())
        return;
    auto* a = window->findChild<QWidget*>(QStringLiteral("announcement"), Qt::FindDirectChildrenOnly);
    if (!a) {
        a = new QWidget(window);
        a->setObjectName(QStringLiteral("announcement"));
        a->setProperty(announcementProperty, true);
        a->setFocusPolicy(Qt::NoFocus);
        a->hide();
    }
    // Told a moment later: what ends a piece of work also refills the
    // window's fields, and a screen reader drops what is neither focus nor
    // window while it catches up with a burst of such changes.
    QTimer::singleShot(AnnouncementDelayMs, a, [a, text] {
        a->setAccessibleName(text);
        QAccessibleEvent shown(a, QAccessible::ObjectShow);
        QAccessible::updateAccessibility(&shown);
    });
}

void tellCurrentItem(QListWidget* list)
{
    // The entry chosen, as the focus: when the list takes the focus (after
    // the list itself is told) and when the choice moves.
    const auto tell = [list] {
        if (!QAccessible::isActive() || !list->hasFocus() || list->currentRow() < 0)
            return;
        QAccessibleEvent focus(list, QAccessible::Focus);
        focus.setChild(list->currentRow());
        QAccessible::updateAccessibility(&focus);
    };
    QObject::connect(
        list, &QListWidget::currentRowChanged, list, [list, tell] { QTimer::singleShot(0, list, tell); });
    class FocusIn : public QObject {
    public:
        explicit FocusIn(QListWidget* list, std::function<void()> tell)
            : QObject(list)
            , tell_(std::move(tell))
        { }
        bool eventFilter(QObject*, QEvent* event) override
        {
            if (event->type() == QEvent::FocusIn)
                QTimer::singleShot(0, parent(), tell_);
            return false;
        }

    private:
        std::function<void()> tell_;
    };
    list->installEventFilter(new FocusIn(list, tell));
}

} // namespace eztw32
