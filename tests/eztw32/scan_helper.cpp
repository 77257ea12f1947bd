// Loads EZTW32.dll into a small Qt program and acquires like the program
// does, playing the user: it picks the settings asked for in the scan
// dialog, presses Scan or Cancel, may cancel the running scan, and reads and
// closes every message. Runs as a child process so that each case can have
// its own SANE configuration (SANE reads it once per process) and user.
//
//   scan_helper LIBRARY OUTPUT [--set combo=text]... [--cancel-dialog]
//               [--cancel-scan] [--repeat N] [--then OUTPUT2]...
//               [--limit-memory-mb N]
//
// The program's SIGPIPE starts at its default (ending the program); the
// library must make it harmless, so a raised SIGPIPE ends this helper with
// a signal when it does not.
//
// Prints "result N" for every acquisition, "message TEXT" and
// "detail TEXT" for every message, "busy-bar" or "percent-bar" for the
// progress dialog seen while scanning.
#include <EZTW32.h>

#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QTextStream>
#include <QTimer>
#include <QWidget>

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <dlfcn.h>
#include <sys/resource.h>

namespace {

QTextStream out(stdout);
QList<QPair<QString, QString>> sets;
bool cancelDialog = false, cancelScan = false;
bool scanPressed = false, scanCancelled = false, barReported = false;

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
    if (name == QLatin1String("scanDialog")) {
        for (const auto& [combo, text] : sets) {
            auto* c = w->findChild<QComboBox*>(combo);
            const int at = c ? c->findText(text, Qt::MatchContains) : -1;
            if (at < 0) {
                out << "missing " << combo << '=' << text << Qt::endl;
                continue;
            }
            c->setCurrentIndex(at);
        }
        scanPressed = !cancelDialog;
        scanCancelled = false;
        barReported = false;
        click(w, cancelDialog ? "cancelButton" : "scanButton");
    } else if (name == QLatin1String("progressDialog") && scanPressed) {
        auto* bar = w->findChild<QProgressBar*>(QStringLiteral("progressBar"));
        auto* label = w->findChild<QLabel*>(QStringLiteral("progressLabel"));
        if (!barReported && bar && label && label->text().startsWith(QLatin1String("Scanning"))) {
            out << (bar->maximum() == 0 ? "busy-bar" : "percent-bar") << Qt::endl;
            barReported = true;
        }
        if (cancelScan && !scanCancelled) {
            scanCancelled = true;
            click(w, "cancelButton");
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
    QApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() < 3)
        return 2;
    int repeat = 1;
    QStringList thenPaths;
    long limitMb = 0;
    for (int i = 3; i < args.size(); ++i) {
        if (args[i] == QLatin1String("--set") && i + 1 < args.size()) {
            const QString kv = args[++i];
            sets.append({kv.section(QLatin1Char('='), 0, 0), kv.section(QLatin1Char('='), 1)});
        } else if (args[i] == QLatin1String("--cancel-dialog")) {
            cancelDialog = true;
        } else if (args[i] == QLatin1String("--cancel-scan")) {
            cancelScan = true;
        } else if (args[i] == QLatin1String("--repeat") && i + 1 < args.size()) {
            repeat = args[++i].toInt();
        } else if (args[i] == QLatin1String("--then") && i + 1 < args.size()) {
            thenPaths << args[++i];
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
        // Leave a little room above what is in use now, far less than the
        // picture needs, so the library's image memory cannot be had.
        FILE* f = std::fopen("/proc/self/statm", "r");
        long pages = 0;
        if (f) {
            if (std::fscanf(f, "%ld", &pages) != 1)
                pages = 0;
            std::fclose(f);
        }
        const rlim_t limit = rlim_t(pages) * 4096 + rlim_t(limitMb) * 1024 * 1024;
        const rlimit rl{limit, limit};
        setrlimit(RLIMIT_AS, &rl);
    }

    QStringList paths;
    for (int i = 0; i < repeat; ++i)
        paths << args[2];
    paths << thenPaths;
    const auto id = std::int32_t(std::uint32_t(window.winId()));
    for (const QString& path : paths) {
        const std::int32_t result = acquire(id, path.toLocal8Bit().constData());
        out << "result " << result << Qt::endl;
    }
    return 0;
}
