// Loads EZTW32.dll into a small Qt program and acquires like the program
// does, playing the user: it picks the settings asked for in the scan
// dialog, presses Scan or Cancel, may cancel the running scan, and reads and
// closes every message. Runs as a child process so that each case can have
// its own SANE configuration (SANE reads it once per process) and user.
//
//   scan_helper LIBRARY OUTPUT [--set widget=value]... [--cancel-dialog]
//               [--cancel-scan] [--cancel-scan-at PERCENT] [--repeat N]
//               [--then OUTPUT2]...
//               [--limit-memory-mb N] [--select ROW] [--report]
//               [--defaults] [--wait-for FILE] [--then-select ROW]
//               [--cancel-scan-by escape|close] [--preview]
//               [--drag X0,Y0,X1,Y1] [--preview-again] [--all-options]
//               [--cancel-opening]
//
// --set picks an entry of a combo box (by its text), ticks a check box
// (1 or 0), or types into a spin box or text field, one setting at a time
// as the dialog takes them. --select first chooses the device in the
// source dialog's row ROW. --report prints what the scan dialog shows;
// --defaults then presses "Defaults" and reports again ("after ...").
// --wait-for waits after the first acquisitions (after all of them when
// there are no --then ones) until FILE exists, printing "waiting";
// --then-select then chooses the device in row ROW before the --then ones. --preview
// presses "Preview" and waits for it to end; --drag then drags the mouse on
// the preview from one point to the other, each a fraction of the pane's
// width and height (the same point twice is a click); --preview-again then
// presses "Preview" once more. --all-options prints
// whether "All options" is open ("all-options-open 1" or 0), opens it, and
// prints the preview's size before and after ("pane-before WxH",
// "pane-after WxH"), and, before and after opening it, "hscroll 1" when the
// settings would need to scroll sideways and "clipped CLASS NAME" for each
// label or field cut off (see reportClipped). --cancel-opening presses Cancel in the first acquisition's
// progress dialog before the scan dialog, printing "opening TEXT". While
// scanning it prints "progress N" as the bar moves.
//
// The program's SIGPIPE starts at its default (ending the program); the
// library must make it harmless, so a raised SIGPIPE ends this helper with
// a signal when it does not.
//
// Prints "result N" for every acquisition, "message TEXT" and
// "detail TEXT" for every message, "busy-bar" or "percent-bar" for the
// progress dialog seen while scanning, "value NAME=VALUE" for the report,
// "first-status TEXT" and "first-count N" for the source dialog as first
// seen, "select-status TEXT" for it as the row is chosen, "scan-disabled" when Scan cannot be pressed.
#include <EZTW32.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QFileInfo>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QMouseEvent>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QSpinBox>
#include <QTextStream>
#include <QTimer>
#include <QToolButton>
#include <QWidget>

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <dlfcn.h>
#include <malloc.h>
#include <sys/resource.h>

namespace {

QTextStream out(stdout);
QList<QPair<QString, QString>> sets;
bool cancelDialog = false, cancelScan = false, report = false, defaults = false, preview = false,
     cancelOpening = false, previewAgain = false;
QList<double> drag; // x0, y0, x1, y1 as fractions of the pane
int cancelAt = -1; // the percentage at which --cancel-scan-at cancels
bool scanPressed = false, scanCancelled = false, barReported = false;
int selectRow = -1, lastPercent = -1;
QString cancelBy; // "escape", "close" or the Cancel button
// The scan dialog now driven, and how far.
QWidget* dialogSeen = nullptr;
int setsDone = 0;
bool reported = false, defaultsPressed = false, reportedAfter = false, previewPressed = false,
     dragged = false, previewAgainPressed = false;
bool sourceSeen = false;
bool allOptions = false;
int allStage = 0;
QSize paneBefore;

// Puts a value into the widget of that name; false when there is none.
bool setWidget(QWidget* dialog, const QString& name, const QString& value)
{
    QWidget* w = dialog->findChild<QWidget*>(name);
    if (auto* c = qobject_cast<QComboBox*>(w)) {
        const int at = c->findText(value, Qt::MatchContains);
        if (at < 0)
            return false;
        c->setCurrentIndex(at);
    } else if (auto* c = qobject_cast<QCheckBox*>(w)) {
        c->setChecked(value == QLatin1String("1"));
    } else if (auto* s = qobject_cast<QSpinBox*>(w)) {
        s->setValue(value.toInt());
    } else if (auto* s = qobject_cast<QDoubleSpinBox*>(w)) {
        s->setValue(value.toDouble());
    } else if (auto* e = qobject_cast<QLineEdit*>(w)) {
        e->setText(value);
        e->setModified(true);
        Q_EMIT e->editingFinished();
    } else {
        return false;
    }
    return true;
}

void reportDialog(QWidget* dialog, const char* prefix)
{
    for (QWidget* w : dialog->findChildren<QWidget*>()) {
        const QString name = w->objectName();
        if (name.isEmpty() || name.startsWith(QLatin1String("qt_")))
            continue;
        QString value;
        if (auto* c = qobject_cast<QComboBox*>(w))
            value = c->currentText();
        else if (auto* c = qobject_cast<QCheckBox*>(w))
            value = c->isChecked() ? QStringLiteral("1") : QStringLiteral("0");
        else if (auto* s = qobject_cast<QAbstractSpinBox*>(w))
            value = s->text();
        else if (auto* e = qobject_cast<QLineEdit*>(w))
            value = e->text();
        else if (auto* l = qobject_cast<QLabel*>(w))
            value = l->isVisibleTo(dialog) ? l->text() : QString();
        else
            continue;
        out << prefix << "value " << name << '=' << value << Qt::endl;
    }
    if (auto* pane = dialog->findChild<QWidget*>(QStringLiteral("previewPane")))
        out << prefix << "value previewTurn=" << pane->accessibleDescription() << Qt::endl;
    if (auto* l = dialog->findChild<QLabel*>(QStringLiteral("deviceLabel")))
        out << prefix << "value device=" << l->toolTip() << Qt::endl;
}

// "hscroll 1" when the settings would need to scroll sideways, "clipped
// CLASS NAME" for every label or field of theirs cut off at the side or by
// the group it is in, and every label too short for its lines.
void reportClipped(QWidget* dialog)
{
    dialog->layout()->activate();
    auto* area = dialog->findChild<QScrollArea*>(QStringLiteral("settingsArea"));
    out << "hscroll " << (area->horizontalScrollBar()->maximum() > 0 ? 1 : 0) << Qt::endl;
    QWidget* view = area->viewport();
    for (QWidget* f : area->widget()->findChildren<QWidget*>()) {
        const bool row = f->parentWidget() == area->widget() || qobject_cast<QGroupBox*>(f->parentWidget());
        if (!row || !f->isVisibleTo(view))
            continue;
        const QRect r(f->mapTo(view, QPoint(0, 0)), f->size());
        // A wrapped label shorter than its lines loses the last of them.
        const auto* label = qobject_cast<QLabel*>(f);
        const bool short_
            = label && label->wordWrap() && label->height() < label->heightForWidth(label->width());
        if (r.left() < 0 || r.right() >= view->width() || !f->parentWidget()->rect().contains(f->geometry())
            || short_)
            out << "clipped " << f->metaObject()->className() << ' ' << f->objectName() << Qt::endl;
    }
}

void mouse(QWidget* pane, QEvent::Type type, QPointF at)
{
    const Qt::MouseButtons held = type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::LeftButton;
    QMouseEvent e(type, at, pane->mapToGlobal(at), type == QEvent::MouseMove ? Qt::NoButton : Qt::LeftButton,
        held, Qt::NoModifier);
    QCoreApplication::sendEvent(pane, &e);
}

// Pressed at the first point, moved there in ten steps, released.
void dragOn(QWidget* pane)
{
    const QPointF from(drag[0] * pane->width(), drag[1] * pane->height());
    const QPointF to(drag[2] * pane->width(), drag[3] * pane->height());
    mouse(pane, QEvent::MouseButtonPress, from);
    for (int i = 1; i <= 10; ++i)
        mouse(pane, QEvent::MouseMove, from + (to - from) * (i / 10.0));
    mouse(pane, QEvent::MouseButtonRelease, to);
}

void click(QWidget* dialog, const char* name)
{
    if (auto* b = dialog->findChild<QPushButton*>(QString::fromLatin1(name)))
        b->click();
}

void drive()
{
    QWidget* w = QApplication::activeModalWidget();
    if (!w)
        return;
    const QString name = w->objectName();
    if (name == QLatin1String("sourceDialog")) {
        auto* list = w->findChild<QListWidget*>(QStringLiteral("deviceList"));
        auto* status = w->findChild<QLabel*>(QStringLiteral("statusLabel"));
        if (!sourceSeen) {
            sourceSeen = true;
            out << "first-status " << status->text() << Qt::endl;
            out << "first-count " << list->count() << Qt::endl;
        }
        if (list->count() > selectRow) {
            list->setCurrentRow(selectRow);
            out << "select-status " << status->text() << Qt::endl;
            click(w, "selectButton");
        }
    } else if (name == QLatin1String("scanDialog")) {
        if (w != dialogSeen) {
            dialogSeen = w;
            setsDone = 0;
            reported = defaultsPressed = reportedAfter = previewPressed = dragged = previewAgainPressed
                = false;
            allStage = 0;
        }
        // One setting at a time: each goes to the device before the next.
        if (w->property("busy").toBool())
            return;
        if (setsDone < sets.size()) {
            const auto& [widget, value] = sets[setsDone++];
            if (!setWidget(w, widget, value))
                out << "missing " << widget << '=' << value << Qt::endl;
            return;
        }
        if (allOptions && allStage == 0) {
            allStage = 1;
            auto* toggle = w->findChild<QToolButton*>(QStringLiteral("allOptionsToggle"));
            out << "all-options-open " << (toggle->isChecked() ? 1 : 0) << Qt::endl;
            reportClipped(w);
            paneBefore = w->findChild<QWidget*>(QStringLiteral("previewPane"))->size();
            if (!toggle->isChecked())
                toggle->click();
            return;
        }
        if (allOptions && allStage == 1) {
            allStage = 2;
            w->layout()->activate();
            const QSize pane = w->findChild<QWidget*>(QStringLiteral("previewPane"))->size();
            out << "pane-before " << paneBefore.width() << 'x' << paneBefore.height() << Qt::endl;
            out << "pane-after " << pane.width() << 'x' << pane.height() << Qt::endl;
            reportClipped(w);
        }
        if (preview && !previewPressed) {
            previewPressed = true;
            click(w, "previewButton");
            return;
        }
        if (drag.size() == 4 && !dragged) {
            dragged = true;
            dragOn(w->findChild<QWidget*>(QStringLiteral("previewPane")));
            return;
        }
        if (previewAgain && !previewAgainPressed) {
            previewAgainPressed = true;
            click(w, "previewButton");
            return;
        }
        if (report && !reported) {
            reported = true;
            reportDialog(w, "");
        }
        if (defaults && !defaultsPressed) {
            defaultsPressed = true;
            click(w, "defaultsButton");
            return;
        }
        if (defaults && !reportedAfter) {
            reportedAfter = true;
            reportDialog(w, "after ");
        }
        auto* scan = w->findChild<QPushButton*>(QStringLiteral("scanButton"));
        const bool canScan = scan && scan->isEnabled();
        if (!canScan && !cancelDialog)
            out << "scan-disabled" << Qt::endl;
        scanPressed = !cancelDialog && canScan;
        scanCancelled = false;
        barReported = false;
        click(w, scanPressed ? "scanButton" : "cancelButton");
    } else if (name == QLatin1String("progressDialog") && !scanPressed && cancelOpening) {
        // The first acquisition's "Looking for a scanner…", once.
        if (auto* label = w->findChild<QLabel*>(QStringLiteral("progressLabel"))) {
            out << "opening " << label->text() << Qt::endl;
            cancelOpening = false;
            click(w, "cancelButton");
        }
    } else if (name == QLatin1String("progressDialog") && scanPressed) {
        auto* bar = w->findChild<QProgressBar*>(QStringLiteral("progressBar"));
        auto* label = w->findChild<QLabel*>(QStringLiteral("progressLabel"));
        if (!barReported && bar && label && label->text().startsWith(QLatin1String("Scanning"))) {
            out << (bar->maximum() == 0 ? "busy-bar" : "percent-bar") << Qt::endl;
            barReported = true;
        }
        if (bar && bar->maximum() > 0 && bar->value() != lastPercent) {
            lastPercent = bar->value();
            out << "progress " << lastPercent << Qt::endl;
        }
        if (cancelScan && !scanCancelled && lastPercent >= cancelAt) {
            scanCancelled = true;
            cancelScan = cancelAt < 0; // --cancel-scan-at: the first scan only
            if (cancelBy == QLatin1String("escape")) {
                QKeyEvent press(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
                QCoreApplication::sendEvent(w, &press);
            } else if (cancelBy == QLatin1String("close")) {
                w->close(); // the window's close box
            } else {
                click(w, "cancelButton");
            }
        }
    } else if (auto* box = qobject_cast<QMessageBox*>(w); box && name == QLatin1String("scannerMessage")) {
        out << "message " << box->text() << Qt::endl;
        out << "detail " << box->informativeText() << Qt::endl;
        out << "title " << box->windowTitle() << Qt::endl;
        out << "owner " << (box->parentWidget() ? box->parentWidget()->objectName() : QString()) << Qt::endl;
        box->accept();
    }
}

} // namespace

int main(int argc, char** argv)
{
    // A memory limit must leave the picture's allocation the only one that
    // can fail. glibc gives each thread that allocates an arena of its own,
    // reserving 64 MB of address space each time, as many as the timing of
    // the threads asks for; with one arena, what the threads take is only
    // their stacks.
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "--limit-memory-mb") == 0)
            mallopt(M_ARENA_MAX, 1);
    QApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() < 3)
        return 2;
    int repeat = 1, thenSelect = -1;
    QString waitFor;
    QStringList thenPaths;
    long limitMb = 0;
    for (int i = 3; i < args.size(); ++i) {
        if (args[i] == QLatin1String("--set") && i + 1 < args.size()) {
            const QString kv = args[++i];
            sets.append({kv.section(QLatin1Char('='), 0, 0), kv.section(QLatin1Char('='), 1)});
        } else if (args[i] == QLatin1String("--cancel-dialog")) {
            cancelDialog = true;
        } else if (args[i] == QLatin1String("--cancel-opening")) {
            cancelOpening = true;
        } else if (args[i] == QLatin1String("--cancel-scan-at") && i + 1 < args.size()) {
            cancelScan = true;
            cancelAt = args[++i].toInt();
        } else if (args[i] == QLatin1String("--cancel-scan")) {
            cancelScan = true;
        } else if (args[i] == QLatin1String("--cancel-scan-by") && i + 1 < args.size()) {
            cancelScan = true;
            cancelBy = args[++i];
        } else if (args[i] == QLatin1String("--repeat") && i + 1 < args.size()) {
            repeat = args[++i].toInt();
        } else if (args[i] == QLatin1String("--then") && i + 1 < args.size()) {
            thenPaths << args[++i];
        } else if (args[i] == QLatin1String("--select") && i + 1 < args.size()) {
            selectRow = args[++i].toInt();
        } else if (args[i] == QLatin1String("--then-select") && i + 1 < args.size()) {
            thenSelect = args[++i].toInt();
        } else if (args[i] == QLatin1String("--wait-for") && i + 1 < args.size()) {
            waitFor = args[++i];
        } else if (args[i] == QLatin1String("--report")) {
            report = true;
        } else if (args[i] == QLatin1String("--preview")) {
            preview = true;
        } else if (args[i] == QLatin1String("--drag") && i + 1 < args.size()) {
            for (const QString& f : args[++i].split(QLatin1Char(',')))
                drag.append(f.toDouble());
        } else if (args[i] == QLatin1String("--preview-again")) {
            previewAgain = true;
        } else if (args[i] == QLatin1String("--all-options")) {
            allOptions = true;
        } else if (args[i] == QLatin1String("--defaults")) {
            defaults = true;
        } else if (args[i] == QLatin1String("--limit-memory-mb") && i + 1 < args.size()) {
            limitMb = args[++i].toLong();
        }
    }

    void* lib = dlopen(args[1].toLocal8Bit().constData(), RTLD_NOW | RTLD_LOCAL);
    if (!lib) {
        out << "dlopen " << dlerror() << Qt::endl;
        return 3;
    }
    auto isAvailable = reinterpret_cast<TWAIN_IsAvailable_fn>(dlsym(lib, "TWAIN_IsAvailable"));
    auto select = reinterpret_cast<TWAIN_SelectImageSource_fn>(dlsym(lib, "TWAIN_SelectImageSource"));
    auto acquire = reinterpret_cast<TWAIN_AcquireToFilename_fn>(dlsym(lib, "TWAIN_AcquireToFilename"));
    std::signal(SIGPIPE, SIG_DFL);
    if (!isAvailable || !select || !acquire || !isAvailable())
        return 4;
    std::raise(SIGPIPE);

    QWidget window;
    window.setObjectName(QStringLiteral("ownerWindow"));
    window.resize(200, 100);
    window.show();
    window.activateWindow();

    QTimer driver;
    QObject::connect(&driver, &QTimer::timeout, &drive);
    driver.start(10);

    if (limitMb > 0) {
        // Leave room above what is mapped now that the threads run: ample
        // for the dialog, the device's reader thread and their stacks, far
        // less than the picture needs, so only the library's image memory
        // cannot be had.
        FILE* f = std::fopen("/proc/self/statm", "r");
        long pages = 0;
        if (f) {
            if (std::fscanf(f, "%ld", &pages) != 1)
                pages = 0;
            std::fclose(f);
        }
        const rlim_t limit = rlim_t(pages) * 4096 + rlim_t(limitMb) * 1024 * 1024;
        // The soft limit only: the library's helper processes may raise
        // theirs (a ThreadSanitizer build needs to).
        rlimit rl{};
        getrlimit(RLIMIT_AS, &rl);
        rl.rlim_cur = limit;
        setrlimit(RLIMIT_AS, &rl);
    }

    QStringList paths;
    for (int i = 0; i < repeat; ++i)
        paths << args[2];
    paths << thenPaths;
    const auto id = std::int32_t(std::uint32_t(window.winId()));
    // The dialog's own lines are printed while it runs: its answer is
    // printed after it, never into the middle of them.
    if (selectRow >= 0) {
        const std::int32_t selected = select(id);
        out << "selected " << selected << Qt::endl;
    }
    bool waited = false;
    auto waitThere = [&] {
        waited = true;
        out << "waiting" << Qt::endl;
        while (!waitFor.isEmpty() && !QFileInfo::exists(waitFor))
            QApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    };
    for (int i = 0; i < paths.size(); ++i) {
        if (i == repeat && (thenSelect >= 0 || !waitFor.isEmpty()))
            waitThere();
        if (i == repeat && thenSelect >= 0) {
            selectRow = thenSelect;
            sourceSeen = false;
            const std::int32_t selected = select(id);
            out << "selected " << selected << Qt::endl;
        }
        const std::int32_t result = acquire(id, paths[i].toLocal8Bit().constData());
        out << "result " << result << Qt::endl;
    }
    if (!waited && !waitFor.isEmpty())
        waitThere();
    return 0;
}
