// The scanner library EZTW32.dll through real SANE and its test backend.
// The dialogs are driven as a user would drive them. Scans run in a child
// process (scan_helper) with a SANE configuration of their own, and every
// picture is compared with what SANE's own scanimage gets from the backend
// with the same configuration.
#include "common/Spawn.h"
#include "common/TestFiles.h"
#include "common/Unprivileged.h"

#include "Pages.h"
#include "core/Light.h"

#include <EZTW32.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QDoubleSpinBox>
#include <QFile>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QLocale>
#include <QMap>
#include <QProcessEnvironment>
#include <QPushButton>
#include <QScopeGuard>
#include <QScrollArea>
#include <QSettings>
#include <QSlider>
#include <QSpinBox>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <QTransform>
#include <QWheelEvent>

#include <arpa/inet.h>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <dlfcn.h>
#include <functional>
#include <netinet/in.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace orvane::test;

namespace {

const QString Helper = QStringLiteral(EZTW32_SCAN_HELPER);
const QString Library = QStringLiteral(EZTW32_LIBRARY);

// The case's test.conf: a small colour page, 40 x 40 mm at 50 dpi; the
// case's own lines come after these and win.
const QStringList BaseConfig = {QStringLiteral("number_of_devices 1"), QStringLiteral("mode Color"),
    QStringLiteral("depth 8"), QStringLiteral("resolution_min 1.0"), QStringLiteral("resolution_max 600.0"),
    QStringLiteral("resolution_quant 1.0"), QStringLiteral("resolution 50.0"),
    QStringLiteral("test-picture \"Color pattern\""), QStringLiteral("geometry_min 0.0"),
    QStringLiteral("geometry_max 40.0"), QStringLiteral("geometry_quant 1.0"), QStringLiteral("tl_x 0.0"),
    QStringLiteral("tl_y 0.0"), QStringLiteral("br_x 40.0"), QStringLiteral("br_y 40.0")};

QProcessEnvironment scanEnvironment(const QString& configDir)
{
    QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
    e.insert(QStringLiteral("SANE_CONFIG_DIR"), configDir);
    e.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    e.insert(QStringLiteral("LC_ALL"), QStringLiteral("C"));
    e.insert(QStringLiteral("LANGUAGE"), QStringLiteral("C"));
    // The backends of the tests' own, beside SANE's.
    const QString path = e.value(QStringLiteral("LD_LIBRARY_PATH"));
    e.insert(QStringLiteral("LD_LIBRARY_PATH"),
        QStringLiteral(EZTW32_TEST_BACKENDS) + (path.isEmpty() ? QString() : QLatin1Char(':') + path));
    // The library's settings stay in the case's folder.
    e.insert(QStringLiteral("XDG_CONFIG_HOME"), QFileInfo(configDir).path() + QStringLiteral("/config"));
    // Under the sanitizers an allocation that cannot be had fails as in the
    // normal build, instead of ending the helper. The helper returns from
    // main while the library's SANE thread may still be closing the device,
    // so what is in flight then is no leak of the scan under test: leaks
    // are looked for in the test's own process, which runs the library's
    // dialogs and scans too (the program itself ends with _exit).
    for (const char* name : {"ASAN_OPTIONS", "TSAN_OPTIONS"}) {
        const QString options = e.value(QLatin1String(name));
        e.insert(QLatin1String(name),
            options + (options.isEmpty() ? "" : ":") + QStringLiteral("allocator_may_return_null=1")
                + (QLatin1String(name) == QLatin1String("ASAN_OPTIONS") ? ":detect_leaks=0" : ""));
    }
    return e;
}

// The environment of a helper whose device search hangs: the tests'
// backend beside the test backend in the case's folder, its search held
// until a file that never comes, its pid written to <dir>/search.pid.
QProcessEnvironment hangingSearch(const QString& dir)
{
    const QString sane = dir + QStringLiteral("/sane.d");
    writeFile(sane + QStringLiteral("/dll.d/searchfault"), "searchfault\n");
    QProcessEnvironment e = scanEnvironment(sane);
    e.insert(QStringLiteral("SEARCHFAULT_HANG_UNTIL"), dir + QStringLiteral("/never"));
    e.insert(QStringLiteral("SEARCHFAULT_PID_FILE"), dir + QStringLiteral("/search.pid"));
    return e;
}

struct HelperRun {
    int exitCode = -1;
    QList<int> results;
    QStringList messages, details, titles, owners, bars, missing;
    QMap<QString, QString> values, after; // what the scan dialog showed, before and after "Defaults"
    QString firstStatus; // the source dialog as first seen
    int firstCount = -1;
    bool scanDisabled = false;
    int progress = -1; // the highest percentage the bar showed
    bool waiting = false; // for the file of --wait-for
    QStringList lines; // everything printed
};

HelperRun parseHelper(const QByteArray& output)
{
    HelperRun r;
    for (const QByteArray& raw : output.split('\n')) {
        const QString line = QString::fromUtf8(raw);
        r.lines.append(line);
        const QString rest = line.section(QLatin1Char(' '), 1);
        if (line.startsWith(QLatin1String("result ")))
            r.results.append(rest.toInt());
        else if (line.startsWith(QLatin1String("message ")))
            r.messages.append(rest);
        else if (line.startsWith(QLatin1String("detail ")))
            r.details.append(rest);
        else if (line.startsWith(QLatin1String("title ")))
            r.titles.append(rest);
        else if (line.startsWith(QLatin1String("owner ")))
            r.owners.append(rest);
        else if (line.startsWith(QLatin1String("missing ")))
            r.missing.append(rest);
        else if (line.endsWith(QLatin1String("-bar")))
            r.bars.append(line);
        else if (line.startsWith(QLatin1String("value ")))
            r.values.insert(rest.section(QLatin1Char('='), 0, 0), rest.section(QLatin1Char('='), 1));
        else if (line.startsWith(QLatin1String("after value ")))
            r.after.insert(line.section(QLatin1Char(' '), 2).section(QLatin1Char('='), 0, 0),
                line.section(QLatin1Char(' '), 2).section(QLatin1Char('='), 1));
        else if (line.startsWith(QLatin1String("first-status ")))
            r.firstStatus = rest;
        else if (line.startsWith(QLatin1String("first-count ")))
            r.firstCount = rest.toInt();
        else if (line == QLatin1String("scan-disabled"))
            r.scanDisabled = true;
        else if (line.startsWith(QLatin1String("progress ")))
            r.progress = std::max(r.progress, rest.toInt());
        else if (line == QLatin1String("waiting"))
            r.waiting = true;
    }
    return r;
}

HelperRun runHelper(
    const QString& configDir, const QString& output, const QStringList& args, bool asNobody = false)
{
    QProcessEnvironment e = scanEnvironment(configDir);
    if (asNobody) {
        const QString config = e.value(QStringLiteral("XDG_CONFIG_HOME"));
        e = nobodyEnvironment(e);
        e.insert(QStringLiteral("XDG_CONFIG_HOME"), config);
    }
    const QStringList helperArgs = QStringList{Library, output} + args;
    Spawn p;
    const bool ended = asNobody ? p.run(setprivPath(),
                           QStringList{QStringLiteral("--reuid=nobody"), QStringLiteral("--regid=nogroup"),
                               QStringLiteral("--clear-groups"), Helper}
                               + helperArgs,
                           e)
                                : p.run(Helper, helperArgs, e);
    HelperRun r = parseHelper(p.output());
    r.exitCode = ended ? p.exitCode() : -1;
    return r;
}

// A PNM file as scanimage writes it.
struct Pnm {
    char type = 0; // '4' bitmap, '5' gray, '6' colour
    int width = 0, height = 0, maxval = 1;
    QByteArray data;
    int stride = 0;
};

bool readPnm(const QString& path, Pnm& pnm)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return false;
    const QByteArray all = f.readAll();
    int pos = 0;
    auto token = [&]() {
        for (;;) {
            while (pos < all.size() && QChar::isSpace(uchar(all[pos])))
                ++pos;
            if (pos < all.size() && all[pos] == '#') {
                while (pos < all.size() && all[pos] != '\n')
                    ++pos;
                continue;
            }
            break;
        }
        const int start = pos;
        while (pos < all.size() && !QChar::isSpace(uchar(all[pos])))
            ++pos;
        return all.mid(start, pos - start);
    };
    const QByteArray magic = token();
    if (magic.size() != 2 || magic[0] != 'P')
        return false;
    pnm.type = magic[1];
    pnm.width = token().toInt();
    pnm.height = token().toInt();
    if (pnm.type != '4')
        pnm.maxval = token().toInt();
    ++pos; // the one white-space character before the data
    pnm.data = all.mid(pos);
    // scanimage writes the device's rows as they come: bytes_per_line each,
    // which is wider than the picture when pixels are lost at the line end.
    pnm.stride = pnm.height > 0 ? int(pnm.data.size() / pnm.height) : 0;
    return pnm.width > 0 && pnm.height > 0 && pnm.stride > 0;
}

// One 8-bit sample of the reference, reduced like the library reduces it.
int referenceSample(const Pnm& pnm, int x, int y, int channel)
{
    const auto* row = reinterpret_cast<const uchar*>(pnm.data.constData()) + qsizetype(y) * pnm.stride;
    if (pnm.type == '4')
        return (row[x / 8] >> (7 - x % 8)) & 1 ? 0 : 255; // 1 is black
    const int channels = pnm.type == '6' ? 3 : 1;
    const int bytes = pnm.maxval > 255 ? 2 : 1;
    const uchar* s = row + (qsizetype(x) * channels + channel) * bytes;
    return s[0]; // 16-bit PNM is big-endian: the first byte is the high one
}

quint32 le32(const QByteArray& b, int at)
{
    return quint32(uchar(b[at])) | quint32(uchar(b[at + 1])) << 8 | quint32(uchar(b[at + 2])) << 16
        | quint32(uchar(b[at + 3])) << 24;
}

// Something accepts connections on 127.0.0.1 at this port.
bool listening(quint16 port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool ok = ::connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0;
    ::close(fd);
    return ok;
}

// saned on 127.0.0.1 (the net backend knows only SANE's own port), serving
// the backends of its configuration folder; kill() ends it and the
// processes serving its connections, as a host that goes away would.
class Saned {
public:
    explicit Saned(QString config)
        : config_(std::move(config))
    { }
    ~Saned() { kill(); }
    bool start(const QString& program)
    {
        QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
        e.insert(QStringLiteral("SANE_CONFIG_DIR"), config_);
        return process_.start(program,
            {QStringLiteral("-l"), QStringLiteral("-e"), QStringLiteral("-d"), QStringLiteral("0"),
                QStringLiteral("-b"), QStringLiteral("127.0.0.1")},
            e);
    }
    void kill()
    {
        if (!process_.running())
            return;
        const qint64 pid = process_.pid();
        QFile children(QStringLiteral("/proc/%1/task/%1/children").arg(pid));
        if (children.open(QIODevice::ReadOnly))
            for (const QByteArray& child : children.readAll().split(' '))
                if (child.trimmed().toLongLong() > 0)
                    ::kill(pid_t(child.trimmed().toLongLong()), SIGKILL);
        process_.kill();
    }

private:
    QString config_;
    Spawn process_;
};

// The process of that id has ended (gone, or a zombie nobody reaps).
bool processGone(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return true;
    const QByteArray line = stat.readAll();
    const qsizetype end = line.lastIndexOf(')');
    return end < 0 || line.mid(end + 2, 1) == "Z";
}

// The id the search backend wrote, 0 before it has.
qint64 searchPid(const QString& file)
{
    QFile f(file);
    return f.open(QIODevice::ReadOnly) ? f.readAll().trimmed().toLongLong() : 0;
}

QStringList leftovers(const QString& dir)
{
    return QDir(dir).entryList(QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot);
}

} // namespace

class TestEztw32 : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();

    // In this process, with the configuration CTest gives (two devices).
    void available();
    void sourceDialogListsChoosesAndRemembers();
    void scanDialogOffersTheDeviceOptions();
    void areaIsInInchesForUsLocale();
    void previewAndDrawnAreaGiveThatScan();
    void previewInTheModeAndDrawingWhenZoomed_data();
    void previewInTheModeAndDrawingWhenZoomed();
    void enterScansAfterPreviewAndDefaults();
    void everyOptionTypeIsShownAndSet();
    void numberArraysAreEditedAsACurve();

    // In child processes, one configuration each.
    void scansMatchTheBackend_data();
    void scansMatchTheBackend();
    void faultsShowOneMessage_data();
    void faultsShowOneMessage();
    void failedPreviewShowsTheScansMessage();
    void cancelsShowNothing_data();
    void cancelsShowNothing();
    void progressBarFollowsTheHeight_data();
    void progressBarFollowsTheHeight();
    void uncreatableFileGivesMinus2();
    void unwritableFolderGivesMinus2AsUnprivilegedUser();
    void fullFilesystemGivesMinus4AndTheNextScanWorks();
    void noImageMemoryGivesMinus3();
    void chosenDeviceIsRememberedAcrossRuns();
    void settingsAreRememberedAndDefaultsPutBack();
    void goneDeviceIsReplacedWithANote();
    void dragOnThePresetDrawsAClickKeepsIt_data();
    void dragOnThePresetDrawsAClickKeepsIt();
    void foundPageIsStraightenedAndTurned_data();
    void foundPageIsStraightenedAndTurned();
    void softwareLightIsSavedAsItsTableSays();
    void tooLargePictureIsRefusedBeforeScanning();
    void allOptionsFitAndStayOpen();
    void predictedSizeIsTheScannedSize_data();
    void predictedSizeIsTheScannedSize();
    void networkScannerThatDiesEndsAsAFault();
    void misbehavingDriverCostsOneScan_data();
    void misbehavingDriverCostsOneScan();
    void lastScannedDeviceOpensWhileTheSearchHangs();
    void crashingSearchLeavesTheLibraryWorking();
    void localDevicesComeWhileAHostDoesNotAnswer();
    void hungSearchIsStoppedAtItsTimeout();
    void cancelWhileLookingLeavesTheSearchBehind();
    // Last: it unloads the library.
    void unloadingLeavesTheLibrarysThreadsTheirCode();

private:
    // Calls fn while driver() runs every 10 ms on the GUI thread.
    template <class Fn> auto withDriver(std::function<void(QWidget*)> driver, Fn fn)
    {
        QTimer t;
        connect(&t, &QTimer::timeout, this, [&] {
            if (QWidget* w = QApplication::activeModalWidget())
                driver(w);
        });
        t.start(10);
        return fn();
    }

    // A case's folder with its SANE configuration: the test backend's
    // device, through `backend` when given.
    QString caseDir(const QStringList& extra, const QString& backend = QStringLiteral("test"))
    {
        const QString dir = tmp_.filePath(QStringLiteral("case%1").arg(++cases_));
        writeSaneConfig(dir + QStringLiteral("/sane.d"), BaseConfig + extra);
        if (backend != QLatin1String("test")) {
            QFile::remove(dir + QStringLiteral("/sane.d/dll.d/test"));
            writeFile(dir + QStringLiteral("/sane.d/dll.d/") + backend, backend.toUtf8() + '\n');
        }
        return dir;
    }

    // A case whose device ends its scan with `status` at the first read.
    QString deviceFaultCase(const QString& status)
    {
        const QString dir = caseDir({}, QStringLiteral("devicefault"));
        writeFile(dir + QStringLiteral("/sane.d/devicefault.conf"), "status " + status.toLatin1() + '\n');
        return dir;
    }

    QTemporaryDir tmp_;
    int cases_ = 0;
    QString scanimage_;
    void* lib_ = nullptr;
    TWAIN_IsAvailable_fn isAvailable_ = nullptr;
    TWAIN_SelectImageSource_fn select_ = nullptr;
    TWAIN_AcquireToFilename_fn acquire_ = nullptr;
    QWidget window_;
};

void TestEztw32::initTestCase()
{
    QVERIFY(tmp_.isValid());
    openPathFor(tmp_.path());
    // The library's settings of this process stay in the temporary folder.
    qputenv("XDG_CONFIG_HOME", tmp_.filePath(QStringLiteral("config")).toLocal8Bit());
    scanimage_ = QStandardPaths::findExecutable(QStringLiteral("scanimage"));
    lib_ = dlopen(Library.toLocal8Bit().constData(), RTLD_NOW | RTLD_LOCAL);
    QVERIFY2(lib_, dlerror());
    isAvailable_ = reinterpret_cast<TWAIN_IsAvailable_fn>(dlsym(lib_, "TWAIN_IsAvailable"));
    select_ = reinterpret_cast<TWAIN_SelectImageSource_fn>(dlsym(lib_, "TWAIN_SelectImageSource"));
    acquire_ = reinterpret_cast<TWAIN_AcquireToFilename_fn>(dlsym(lib_, "TWAIN_AcquireToFilename"));
    QVERIFY(isAvailable_ && select_ && acquire_);
    // Nothing but the three entry points is visible.
    QVERIFY(!dlsym(lib_, "_ZN6eztw3221ensureSaneInitialisedEv"));
    window_.setObjectName(QStringLiteral("ownerWindow"));
    window_.resize(300, 200);
    window_.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window_, 60000));
}

void TestEztw32::available()
{
    // (SIGPIPE: every helper run raises one after loading the library.)
    QVERIFY(isAvailable_() != 0);
}

void TestEztw32::sourceDialogListsChoosesAndRemembers()
{
    const auto id = std::int32_t(std::uint32_t(window_.winId()));
    QString searchingText;
    bool refreshDisabledWhileSearching = false, refreshed = false;
    QWidget* parent = nullptr;
    const std::int32_t first = withDriver(
        [&](QWidget* w) {
            if (w->objectName() != QLatin1String("sourceDialog"))
                return;
            auto* list = w->findChild<QListWidget*>(QStringLiteral("deviceList"));
            auto* status = w->findChild<QLabel*>(QStringLiteral("statusLabel"));
            auto* refresh = w->findChild<QPushButton*>(QStringLiteral("refreshButton"));
            if (!list || !status || !refresh || list->count() < 2)
                return;
            if (!refreshed) {
                // Refresh searches again in the background.
                refreshed = true;
                refresh->click();
                searchingText = status->text();
                refreshDisabledWhileSearching = !refresh->isEnabled() && list->count() == 0;
                return;
            }
            QVERIFY(list->item(0)->text().contains(QLatin1String("Noname frontend-tester")));
            QVERIFY(list->item(0)->text().contains(QLatin1String("virtual device")));
            parent = w->parentWidget();
            list->setCurrentRow(1);
            w->findChild<QPushButton*>(QStringLiteral("selectButton"))->click();
        },
        [&] { return select_(id); });
    QCOMPARE(first, 1);
    QCOMPARE(searchingText, QStringLiteral("Searching…"));
    QVERIFY(refreshDisabledWhileSearching);
    QCOMPARE(parent, &window_);

    // Opened after a search has ended, the dialog shows its list at once.
    // Cancel keeps the earlier choice, which the dialog shows selected.
    int shownRow = -1, firstCount = -1;
    QString firstStatus;
    const std::int32_t second = withDriver(
        [&](QWidget* w) {
            auto* list = w->findChild<QListWidget*>(QStringLiteral("deviceList"));
            if (w->objectName() != QLatin1String("sourceDialog") || !list)
                return;
            if (firstCount < 0) {
                firstCount = list->count();
                firstStatus = w->findChild<QLabel*>(QStringLiteral("statusLabel"))->text();
            }
            if (list->count() < 2)
                return;
            shownRow = list->currentRow();
            w->findChild<QPushButton*>(QStringLiteral("cancelButton"))->click();
        },
        [&] { return select_(id); });
    QCOMPARE(second, 0);
    QCOMPARE(shownRow, 1);
    QCOMPARE(firstCount, 2);
    QCOMPARE(firstStatus, QStringLiteral("2 scanners found"));

    // The acquisition uses the chosen device.
    QString device;
    const QString path = tmp_.filePath(QStringLiteral("chosen.bmp"));
    const std::int32_t r = withDriver(
        [&](QWidget* w) {
            if (w->objectName() != QLatin1String("scanDialog"))
                return;
            device = w->findChild<QLabel*>(QStringLiteral("deviceLabel"))->toolTip();
            w->findChild<QPushButton*>(QStringLiteral("cancelButton"))->click();
        },
        [&] { return acquire_(id, path.toLocal8Bit().constData()); });
    QCOMPARE(r, EZTW32_FAILED);
    QCOMPARE(device, QStringLiteral("test:1"));
    QVERIFY(!QFile::exists(path));
}

void TestEztw32::scanDialogOffersTheDeviceOptions()
{
    QStringList modes, sources, areas, resolutions;
    QString area;
    QWidget* parent = nullptr;
    const QString path = tmp_.filePath(QStringLiteral("options.bmp"));
    // An unknown window id falls back to the active window.
    QApplication::setActiveWindow(&window_);
    const std::int32_t r = withDriver(
        [&](QWidget* w) {
            if (w->objectName() != QLatin1String("scanDialog"))
                return;
            auto items = [w](const char* name) {
                QStringList l;
                if (auto* c = w->findChild<QComboBox*>(QString::fromLatin1(name)))
                    for (int i = 0; i < c->count(); ++i)
                        l << c->itemText(i);
                return l;
            };
            modes = items("modeCombo");
            sources = items("sourceCombo");
            areas = items("areaCombo");
            resolutions = items("resolutionCombo");
            area = w->findChild<QComboBox*>(QStringLiteral("areaCombo"))->currentText();
            parent = w->parentWidget();
            w->findChild<QPushButton*>(QStringLiteral("cancelButton"))->click();
        },
        [&] { return acquire_(0x7ffffff0, path.toLocal8Bit().constData()); });
    QCOMPARE(r, EZTW32_FAILED);
    QVERIFY(!QFile::exists(path));
    QCOMPARE(parent, &window_);
    // The test backend has no line-art mode: 1-bit gray serves.
    QCOMPARE(modes,
        (QStringList{
            QStringLiteral("Colour"), QStringLiteral("Gray"), QStringLiteral("Black and white (line art)")}));
    QCOMPARE(sources, (QStringList{QStringLiteral("Flatbed"), QStringLiteral("Automatic Document Feeder")}));
    // A 200 x 200 mm device: A4 and Letter are clamped to it; the full area
    // is the default when A4 does not fit.
    QCOMPARE(areas.size(), 3);
    QVERIFY2(
        areas[0].startsWith(QStringLiteral("A4 (200 × 200 mm)")), qPrintable(areas.join(QLatin1Char('|'))));
    QVERIFY(areas[1].startsWith(QStringLiteral("Letter (200 × 200 mm)")));
    QVERIFY(area.startsWith(QStringLiteral("Full area (200 × 200 mm)")));
    // A resolution range of 25 to 600 dpi: the usual steps within it.
    QCOMPARE(resolutions,
        (QStringList{QStringLiteral("25 dpi"), QStringLiteral("50 dpi"), QStringLiteral("75 dpi"),
            QStringLiteral("100 dpi"), QStringLiteral("150 dpi"), QStringLiteral("200 dpi"),
            QStringLiteral("300 dpi"), QStringLiteral("400 dpi"), QStringLiteral("600 dpi")}));
}

void TestEztw32::areaIsInInchesForUsLocale()
{
    // Where the locale measures in inches, so does the dialog; the device
    // still gets mm. The 200 mm bed is 7.87 in.
    const QLocale before;
    QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
    QString preset, suffix, spoken;
    double width = 0;
    const auto id = std::int32_t(std::uint32_t(window_.winId()));
    const QString path = tmp_.filePath(QStringLiteral("inches.bmp"));
    const std::int32_t r = withDriver(
        [&](QWidget* w) {
            if (w->objectName() != QLatin1String("scanDialog"))
                return;
            auto* c = w->findChild<QComboBox*>(QStringLiteral("areaCombo"));
            preset = c->itemText(c->count() - 1);
            auto* s = w->findChild<QDoubleSpinBox*>(QStringLiteral("areaWidth"));
            suffix = s->suffix();
            spoken = s->accessibleName();
            width = s->value();
            w->findChild<QPushButton*>(QStringLiteral("cancelButton"))->click();
        },
        [&] { return acquire_(id, path.toLocal8Bit().constData()); });
    QLocale::setDefault(before);
    QCOMPARE(r, EZTW32_FAILED);
    QCOMPARE(preset, QStringLiteral("Full area (7.9 × 7.9 in)"));
    QCOMPARE(suffix, QStringLiteral(" in"));
    QCOMPARE(spoken, QStringLiteral("Area width, in inches")); // what a screen reader says
    QCOMPARE(width, 7.87);
}

void TestEztw32::previewAndDrawnAreaGiveThatScan()
{
    if (scanimage_.isEmpty())
        QSKIP("scanimage (sane-utils) is not installed; it gives the reference picture");
    // The preview of the whole bed, an area drawn on it with the mouse, then
    // the scan of exactly that area at 100 dpi.
    enum { Start, Previewing, Drawn } step = Start;
    double left = 0, top = 0, width = 0, height = 0;
    QString sizeText, deviceName;
    QImage shown;
    const QString path = tmp_.filePath(QStringLiteral("area.bmp"));
    const auto id = std::int32_t(std::uint32_t(window_.winId()));
    const std::int32_t r = withDriver(
        [&](QWidget* w) {
            if (w->objectName() != QLatin1String("scanDialog"))
                return;
            auto* pane = w->findChild<QWidget*>(QStringLiteral("previewPane"));
            auto value = [w](const char* name) {
                return w->findChild<QDoubleSpinBox*>(QString::fromLatin1(name))->value();
            };
            switch (step) {
            case Start:
                QVERIFY(!pane->property("hasPicture").toBool());
                w->findChild<QPushButton*>(QStringLiteral("previewButton"))->click();
                step = Previewing;
                return;
            case Previewing: {
                if (w->property("busy").toBool() || !pane->property("hasPicture").toBool())
                    return;
                // The square bed lies centred in the pane: a new area from a
                // quarter of it to three quarters across, less down.
                const QPoint centre = pane->rect().center();
                const int quarter = (std::min(pane->width(), pane->height()) - 8) / 4;
                const QPoint from = centre - QPoint(quarter, quarter),
                             to = centre + QPoint(quarter, quarter / 2);
                QTest::mousePress(pane, Qt::LeftButton, {}, from);
                QTest::mouseMove(pane, (from + to) / 2);
                QTest::mouseMove(pane, to);
                QTest::mouseRelease(pane, Qt::LeftButton, {}, to);
                // Then moved by dragging inside it, 10 pixels right.
                const QPoint inside = (from + to) / 2;
                QTest::mousePress(pane, Qt::LeftButton, {}, inside);
                QTest::mouseMove(pane, inside + QPoint(10, 0));
                QTest::mouseRelease(pane, Qt::LeftButton, {}, inside + QPoint(10, 0));
                auto* res = w->findChild<QComboBox*>(QStringLiteral("resolutionCombo"));
                res->setCurrentIndex(res->findText(QStringLiteral("100 dpi")));
                step = Drawn;
                return;
            }
            case Drawn:
                if (w->property("busy").toBool())
                    return;
                left = value("areaLeft");
                top = value("areaTop");
                width = value("areaWidth");
                height = value("areaHeight");
                sizeText = w->findChild<QLabel*>(QStringLiteral("sizeLabel"))->text();
                deviceName = w->findChild<QLabel*>(QStringLiteral("deviceLabel"))->toolTip();
                w->findChild<QPushButton*>(QStringLiteral("scanButton"))->click();
                return;
            }
        },
        [&] { return acquire_(id, path.toLocal8Bit().constData()); });
    QCOMPARE(r, EZTW32_OK);
    // A real area inside the 200 x 200 mm bed, not the whole of it.
    QVERIFY2(left > 20 && top > 20 && width > 50 && height > 50 && left + width < 200 && top + height < 200,
        qPrintable(QStringLiteral("%1 %2 %3 %4").arg(left).arg(top).arg(width).arg(height)));

    // scanimage, the same area at the same resolution, gives the reference.
    Spawn ref;
    QVERIFY(ref.run(scanimage_,
        {QStringLiteral("-d"), deviceName, QStringLiteral("--format=pnm"), QStringLiteral("--resolution"),
            QStringLiteral("100"), QStringLiteral("-l"), QString::number(left), QStringLiteral("-t"),
            QString::number(top), QStringLiteral("-x"), QString::number(width), QStringLiteral("-y"),
            QString::number(height)},
        QProcessEnvironment::systemEnvironment(), 120000, Spawn::Errors::Inherit,
        tmp_.filePath(QStringLiteral("area.pnm"))));
    QCOMPARE(ref.exitCode(), 0);
    Pnm pnm;
    QVERIFY(readPnm(tmp_.filePath(QStringLiteral("area.pnm")), pnm));
    const QImage img(path);
    QCOMPARE(img.size(), QSize(pnm.width, pnm.height));
    QCOMPARE(img.size(), QSize(int(width / 25.4 * 100), int(height / 25.4 * 100)));
    // The dialog said so before the scan.
    QVERIFY2(sizeText.startsWith(QStringLiteral("%1 × %2 pixels").arg(img.width()).arg(img.height())),
        qPrintable(sizeText));

    // The preview stays for the next acquisition.
    bool kept = false;
    withDriver(
        [&](QWidget* w) {
            if (w->objectName() != QLatin1String("scanDialog"))
                return;
            kept = w->findChild<QWidget*>(QStringLiteral("previewPane"))->property("hasPicture").toBool();
            w->findChild<QPushButton*>(QStringLiteral("cancelButton"))->click();
        },
        [&] { return acquire_(id, path.toLocal8Bit().constData()); });
    QVERIFY(kept);
}

void TestEztw32::enterScansAfterPreviewAndDefaults()
{
    const auto id = std::int32_t(std::uint32_t(window_.winId()));
    // The keys go to the dialog once it is the active window, as a user's do.
    auto active = [](QWidget* w) {
        if (w->objectName() != QLatin1String("scanDialog") || w->property("busy").toBool())
            return false;
        if (QApplication::activeWindow() != w)
            w->activateWindow();
        return QApplication::activeWindow() == w;
    };

    // Enter in a field takes what was typed there, then scans.
    const QString typedPath = tmp_.filePath(QStringLiteral("enter-typed.bmp"));
    bool typed = false;
    std::int32_t r = withDriver(
        [&](QWidget* w) {
            if (typed || !active(w))
                return;
            typed = true;
            auto* res = w->findChild<QComboBox*>(QStringLiteral("resolutionCombo"));
            res->setCurrentIndex(res->findText(QStringLiteral("25 dpi")));
            auto* width = w->findChild<QDoubleSpinBox*>(QStringLiteral("areaWidth"));
            width->setFocus();
            width->selectAll();
            QTest::keyClicks(width, QStringLiteral("50.8"));
            QTest::keyClick(width, Qt::Key_Return);
        },
        [&] { return acquire_(id, typedPath.toLocal8Bit().constData()); });
    QCOMPARE(r, EZTW32_OK);
    QCOMPARE(QImage(typedPath).width(), 50); // 2 inches at 25 dpi

    // Alt+P previews, Alt+D puts the defaults back; each time the focus
    // comes back to the button pressed (Cancel, the one button left enabled
    // meanwhile, would close the dialog), and Enter scans. Defaults last:
    // the next cases start from them.
    for (const Qt::Key mnemonic : {Qt::Key_P, Qt::Key_D}) {
        const char* pressed = mnemonic == Qt::Key_P ? "previewButton" : "defaultsButton";
        const QString path = tmp_.filePath(QStringLiteral("enter-%1.bmp").arg(QLatin1String(pressed)));
        bool started = false, entered = false, wasBusy = false;
        QString focusAfter;
        r = withDriver(
            [&](QWidget* w) {
                if (entered || w->objectName() != QLatin1String("scanDialog"))
                    return;
                if (!started) {
                    if (!active(w))
                        return;
                    auto* button = w->findChild<QPushButton*>(QString::fromLatin1(pressed));
                    // The mnemonic presses the button a moment later, as if
                    // clicked: the dialog is busy from then on.
                    connect(
                        button, &QPushButton::clicked, w, [&, w] { wasBusy = w->property("busy").toBool(); });
                    button->setFocus();
                    QTest::keyClick(w, mnemonic, Qt::AltModifier);
                    started = true;
                    return;
                }
                if (!wasBusy || w->property("busy").toBool())
                    return;
                QWidget* focus = QApplication::focusWidget();
                focusAfter = focus ? focus->objectName() : QString();
                entered = true;
                QTest::keyClick(focus ? focus : w, Qt::Key_Return);
            },
            [&] { return acquire_(id, path.toLocal8Bit().constData()); });
        QVERIFY2(wasBusy, pressed); // the mnemonic pressed the button
        QCOMPARE(focusAfter, QLatin1String(pressed));
        QCOMPARE(r, EZTW32_OK);
        QVERIFY(!QImage(path).isNull());
    }
}

void TestEztw32::previewInTheModeAndDrawingWhenZoomed_data()
{
    QTest::addColumn<QString>("mode");
    QTest::addColumn<bool>("colour"); // whether the preview shows colour

    QTest::newRow("colour") << "Colour" << true;
    QTest::newRow("gray") << "Gray" << false;
}

void TestEztw32::previewInTheModeAndDrawingWhenZoomed()
{
    QFETCH(QString, mode);
    QFETCH(bool, colour);
    // The colour pattern previewed in the mode chosen; then the view zoomed
    // with the wheel around the middle of the 200 x 200 mm bed, an area
    // drawn there, and the scan of it at 100 dpi.
    enum { Start, Previewing, Drawn, Done } step = Start;
    int coloured = -1, inspected = 0;
    double zoom = 0, zoomToArea = 0, afterFit = 0, expectedLeft = 0, expectedWidth = 0, expectedHeight = 0;
    double left = 0, top = 0, width = 0, height = 0;
    const QString path = tmp_.filePath(QStringLiteral("zoomed-%1.bmp").arg(mode));
    const auto id = std::int32_t(std::uint32_t(window_.winId()));
    const std::int32_t r = withDriver(
        [&](QWidget* w) {
            if (w->objectName() != QLatin1String("scanDialog") || w->property("busy").toBool())
                return;
            auto* pane = w->findChild<QWidget*>(QStringLiteral("previewPane"));
            auto value = [w](const char* name) {
                return w->findChild<QDoubleSpinBox*>(QString::fromLatin1(name))->value();
            };
            auto button
                = [w](const char* name) { return w->findChild<QPushButton*>(QString::fromLatin1(name)); };
            switch (step) {
            case Start: {
                auto* modes = w->findChild<QComboBox*>(QStringLiteral("modeCombo"));
                modes->setCurrentIndex(modes->findText(mode));
                auto* res = w->findChild<QComboBox*>(QStringLiteral("resolutionCombo"));
                res->setCurrentIndex(res->findText(QStringLiteral("100 dpi")));
                // The whole bed, which a drag replaces (the earlier case
                // left a drawn area).
                auto* areas = w->findChild<QComboBox*>(QStringLiteral("areaCombo"));
                areas->setCurrentIndex(areas->count() - 1);
                button("previewButton")->click();
                step = Previewing;
                return;
            }
            case Previewing: {
                if (!pane->property("hasPicture").toBool())
                    return;
                // The bed as the pane shows it, inside its frame.
                const QImage shown = pane->grab().toImage().convertToFormat(QImage::Format_RGB32);
                const int side = std::min(pane->width(), pane->height()) - 8;
                const QRect bed(pane->rect().center() - QPoint(side / 2, side / 2), QSize(side, side));
                coloured = 0;
                const QRect inner = bed.adjusted(6, 6, -6, -6);
                for (int y = inner.top(); y <= inner.bottom(); y += 2)
                    for (int x = inner.left(); x <= inner.right(); x += 2) {
                        const QRgb p = shown.pixel(x, y);
                        ++inspected;
                        if (qRed(p) != qGreen(p) || qGreen(p) != qBlue(p)) // not a gray
                            ++coloured;
                    }
                // Two notches of the wheel in the middle of the bed.
                const QPointF centre = QRectF(pane->rect()).adjusted(4, 4, -4, -4).center();
                QWheelEvent wheel(centre, pane->mapToGlobal(centre), {}, QPoint(0, 240), Qt::NoButton,
                    Qt::NoModifier, Qt::NoScrollPhase, false);
                QCoreApplication::sendEvent(pane, &wheel);
                zoom = pane->property("zoom").toDouble();
                // 80 x 60 pixels drawn from 40 pixels up and left of the middle.
                const double pxPerMm = zoom * (std::min(pane->width(), pane->height()) - 8) / 200.0;
                expectedLeft = 100 - 40 / pxPerMm;
                expectedWidth = 80 / pxPerMm;
                expectedHeight = 60 / pxPerMm;
                const QPoint from = centre.toPoint() - QPoint(40, 40), to = centre.toPoint() + QPoint(40, 20);
                QTest::mousePress(pane, Qt::LeftButton, {}, from);
                QTest::mouseMove(pane, (from + to) / 2);
                QTest::mouseMove(pane, to);
                QTest::mouseRelease(pane, Qt::LeftButton, {}, to);
                left = value("areaLeft");
                top = value("areaTop");
                width = value("areaWidth");
                height = value("areaHeight");
                // Zoomed on the area drawn, then the whole bed again; the
                // area stays as drawn.
                button("zoomButton")->click();
                zoomToArea = pane->property("zoom").toDouble();
                QVERIFY(button("fitButton")->isEnabled());
                button("fitButton")->click();
                afterFit = pane->property("zoom").toDouble();
                QCOMPARE(value("areaWidth"), width);
                step = Drawn;
                return;
            }
            case Drawn:
                step = Done;
                button("scanButton")->click();
                return;
            case Done:
                return;
            }
        },
        [&] { return acquire_(id, path.toLocal8Bit().constData()); });
    QCOMPARE(r, EZTW32_OK);
    QVERIFY(inspected > 1000);
    if (colour)
        QVERIFY2(
            coloured > inspected / 4, qPrintable(QStringLiteral("%1 of %2").arg(coloured).arg(inspected)));
    else
        QCOMPARE(coloured, 0);
    QVERIFY2(std::fabs(zoom - 1.5625) < 1e-6, qPrintable(QString::number(zoom)));
    // Where the drag went on the zoomed view, within the device's 1 mm steps.
    const QString got = QStringLiteral("%1 %2 %3 %4 (expected %5 %5 %6 %7)")
                            .arg(left)
                            .arg(top)
                            .arg(width)
                            .arg(height)
                            .arg(expectedLeft)
                            .arg(expectedWidth)
                            .arg(expectedHeight);
    QVERIFY2(std::fabs(left - expectedLeft) <= 1.5 && std::fabs(top - expectedLeft) <= 1.5, qPrintable(got));
    QVERIFY2(std::fabs(width - expectedWidth) <= 1.5 && std::fabs(height - expectedHeight) <= 1.5,
        qPrintable(got));
    QVERIFY2(zoomToArea > 3, qPrintable(QString::number(zoomToArea)));
    QCOMPARE(afterFit, 1.0);
    // The scan has the size drawn.
    const QImage img(path);
    QCOMPARE(img.size(), QSize(int(width / 25.4 * 100), int(height / 25.4 * 100)));
    QCOMPARE(img.isGrayscale(), !colour);
}

void TestEztw32::everyOptionTypeIsShownAndSet()
{
    // The test backend's test options: every type and constraint. Each is
    // set through its widget; the value shown afterwards is the one the
    // backend reports when the options are read again.
    struct Case {
        const char* option;
        const char* value; // what is put in
        const char* reported; // what the backend then reports
    };
    const Case cases[] = {
        {"bool-soft-select-soft-detect", "1", "1"},
        {"int", "17", "17"},
        {"int-constraint-range", "100", "100"},
        {"int-constraint-word-list", "256", "256 bit"},
        {"int-constraint-array", "1, 2, 3, 4, 5, 6", "1, 2, 3, 4, 5, 6"},
        {"fixed", "12.5", "12.5"},
        {"fixed-constraint-range", "20", "20"},
        {"fixed-constraint-word-list", "129.5", "129.5"},
        {"string", "Hello", "Hello"},
        {"string-constraint-string-list", "Second entry", "Second entry"},
    };
    auto text = [](QWidget* w) -> QString {
        if (auto* c = qobject_cast<QComboBox*>(w))
            return c->currentText();
        if (auto* c = qobject_cast<QCheckBox*>(w))
            return c->isChecked() ? QStringLiteral("1") : QStringLiteral("0");
        if (auto* s = qobject_cast<QSpinBox*>(w))
            return QString::number(s->value());
        if (auto* s = qobject_cast<QDoubleSpinBox*>(w))
            return QString::number(s->value());
        if (auto* e = qobject_cast<QLineEdit*>(w))
            return e->text();
        return QStringLiteral("<%1>").arg(QString::fromLatin1(w->metaObject()->className()));
    };
    int step = -2;
    QStringList kinds, wrong, advancedHidden;
    QString focusAfter;
    bool buttonPressed = false, sliderMoved = false;
    QList<bool> sliders;
    const auto id = std::int32_t(std::uint32_t(window_.winId()));
    const QString path = tmp_.filePath(QStringLiteral("options-set.bmp"));
    const std::int32_t r = withDriver(
        [&](QWidget* w) {
            if (w->objectName() != QLatin1String("scanDialog") || w->property("busy").toBool())
                return;
            auto option = [w](const char* name) {
                return w->findChild<QWidget*>(QStringLiteral("option-") + QString::fromLatin1(name));
            };
            if (step == -2) {
                // "All options" shows the device's own options; the test
                // options come when the backend is told to offer them, by
                // the user's Space on their check box.
                if (QApplication::activeWindow() != w) {
                    w->activateWindow();
                    return;
                }
                w->findChild<QToolButton*>(QStringLiteral("allOptionsToggle"))->click();
                auto* enable = qobject_cast<QCheckBox*>(option("enable-test-options"));
                QVERIFY(enable);
                QVERIFY(!option("int"));
                enable->setFocus(Qt::TabFocusReason);
                QTest::keyClick(enable, Qt::Key_Space);
                step = -1;
                return;
            }
            if (step == -1) {
                // Advanced options only on request.
                if (!option("string"))
                    return;
                // The options made anew, the focus is still on the check box.
                focusAfter
                    = QApplication::focusWidget() ? QApplication::focusWidget()->objectName() : QString();
                if (option("int"))
                    advancedHidden << QStringLiteral("int shown");
                w->findChild<QCheckBox*>(QStringLiteral("advancedCheck"))->setChecked(true);
                step = 0;
                return;
            }
            if (step > 0) {
                const Case& c = cases[step - 1];
                if (text(option(c.option)) != QString::fromLatin1(c.reported))
                    wrong << QStringLiteral("%1: %2").arg(
                        QString::fromLatin1(c.option), text(option(c.option)));
            }
            if (step == int(std::size(cases))) {
                // A range's slider, let go at its end, sets the range's end.
                auto* spin = qobject_cast<QDoubleSpinBox*>(option("int-constraint-range"));
                auto* slider = w->findChild<QSlider*>(QStringLiteral("option-int-constraint-range-slider"));
                QVERIFY(spin && slider);
                if (!sliderMoved) {
                    sliderMoved = true;
                    sliders = {slider->isVisibleTo(w),
                        w->findChild<QSlider*>(QStringLiteral("option-fixed-constraint-range-slider"))
                            ->isVisibleTo(w),
                        w->findChild<QSlider*>(QStringLiteral("option-int-slider"))->isVisibleTo(w)};
                    slider->setValue(slider->maximum());
                    return;
                }
                if (spin->value() != spin->maximum())
                    wrong << QStringLiteral("slider: %1 of %2").arg(spin->value()).arg(spin->maximum());
                auto* button = qobject_cast<QPushButton*>(option("button"));
                QVERIFY(button);
                if (!buttonPressed) {
                    buttonPressed = true;
                    button->click();
                    return;
                }
                w->findChild<QPushButton*>(QStringLiteral("cancelButton"))->click();
                return;
            }
            const Case& c = cases[step++];
            QWidget* target = option(c.option);
            QVERIFY2(target, c.option);
            QVERIFY2(!target->toolTip().isEmpty(), c.option);
            kinds << QString::fromLatin1(target->metaObject()->className());
            const QString v = QString::fromLatin1(c.value);
            if (auto* b = qobject_cast<QCheckBox*>(target))
                b->setChecked(v == QLatin1String("1"));
            else if (auto* cb = qobject_cast<QComboBox*>(target))
                cb->setCurrentIndex(cb->findText(v, Qt::MatchStartsWith));
            else if (auto* sp = qobject_cast<QSpinBox*>(target))
                sp->setValue(v.toInt());
            else if (auto* dsp = qobject_cast<QDoubleSpinBox*>(target))
                dsp->setValue(v.toDouble());
            else if (auto* e = qobject_cast<QLineEdit*>(target)) {
                e->setText(v);
                e->setModified(true);
                Q_EMIT e->editingFinished();
            }
        },
        [&] { return acquire_(id, path.toLocal8Bit().constData()); });
    QCOMPARE(r, EZTW32_FAILED);
    QCOMPARE(wrong, QStringList());
    QCOMPARE(advancedHidden, QStringList());
    QCOMPARE(focusAfter, QStringLiteral("option-enable-test-options"));
    // Sliders beside the ranges, not beside a number without one.
    QCOMPARE(sliders, (QList<bool>{true, true, false}));
    QVERIFY(buttonPressed);
    // Check box, spin boxes, lists and text fields as the types ask.
    QCOMPARE(kinds,
        (QStringList{QStringLiteral("QCheckBox"), QStringLiteral("QDoubleSpinBox"),
            QStringLiteral("QDoubleSpinBox"), QStringLiteral("QComboBox"), QStringLiteral("QLineEdit"),
            QStringLiteral("QDoubleSpinBox"), QStringLiteral("QDoubleSpinBox"), QStringLiteral("QComboBox"),
            QStringLiteral("QLineEdit"), QStringLiteral("QComboBox")}));
}

void TestEztw32::numberArraysAreEditedAsACurve()
{
    // The test backend's gamma table, values from 0 to 255, edited on
    // its curve: drawn with the mouse, made linear, raised by a key, put
    // back. Each time the values shown are those the device reports when
    // its options are read again after the setting.
    enum { Start, Shown, Drawn, Linear, Raised, Done } step = Start;
    QStringList first, drawn, linear, raised, reset;
    QString kind, statusAfter;
    QStringList tabbed;
    bool tabbedBack = false;
    int plotWidth = 1;
    const auto id = std::int32_t(std::uint32_t(window_.winId()));
    const QString path = tmp_.filePath(QStringLiteral("gamma.bmp"));
    const std::int32_t r = withDriver(
        [&](QWidget* w) {
            if (w->objectName() != QLatin1String("scanDialog") || w->property("busy").toBool())
                return;
            auto* editor = w->findChild<QWidget*>(QStringLiteral("option-gamma-table"));
            auto values = [&] { return editor->property("values").toString().split(QStringLiteral(", ")); };
            auto press = [w](const char* name) {
                w->findChild<QPushButton*>(QStringLiteral("option-gamma-table-") + QLatin1String(name))
                    ->click();
            };
            switch (step) {
            case Start: {
                auto* toggle = w->findChild<QToolButton*>(QStringLiteral("allOptionsToggle"));
                if (!toggle->isChecked())
                    toggle->click();
                w->findChild<QCheckBox*>(QStringLiteral("advancedCheck"))->setChecked(true);
                if (auto* enable = w->findChild<QCheckBox*>(QStringLiteral("option-enable-test-options")))
                    enable->setChecked(true);
                step = Shown;
                return;
            }
            case Shown: {
                if (!editor)
                    return;
                kind = QString::fromLatin1(editor->metaObject()->className());
                first = values();
                // Drawn flat at the top from a quarter across to the middle.
                auto* area = w->findChild<QScrollArea*>(QStringLiteral("settingsArea"));
                area->ensureWidgetVisible(editor);
                const QRect plot = editor->rect().adjusted(3, 3, -3, -3);
                plotWidth = plot.width();
                const auto at = [&](double fx) {
                    return QPoint(plot.left() + int(std::lround(fx * plot.width())), plot.top());
                };
                QTest::mousePress(editor, Qt::LeftButton, {}, at(0.25));
                QTest::mouseMove(editor, at(0.375));
                QTest::mouseMove(editor, at(0.5));
                QTest::mouseRelease(editor, Qt::LeftButton, {}, at(0.5));
                step = Drawn;
                return;
            }
            case Drawn:
                drawn = values();
                press("linear");
                step = Linear;
                return;
            case Linear:
                linear = values();
                // The last point drawn is the one the keys move.
                editor->setFocus();
                QTest::keyClick(editor, Qt::Key_Up);
                step = Raised;
                return;
            case Raised:
                raised = values();
                press("reset");
                step = Done;
                return;
            case Done: {
                if (reset.isEmpty()) {
                    reset = values();
                    statusAfter = w->findChild<QLabel*>(QStringLiteral("optionStatus"))->text();
                }
                // Tab from Scan round the whole dialog, back to Scan.
                if (QApplication::activeWindow() != w) {
                    w->activateWindow();
                    return;
                }
                auto* scan = w->findChild<QPushButton*>(QStringLiteral("scanButton"));
                scan->setFocus();
                for (int i = 0; i < 400; ++i) {
                    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
                    QWidget* f = QApplication::focusWidget();
                    if (!f || f == scan)
                        break;
                    tabbed << f->objectName();
                }
                tabbedBack = QApplication::focusWidget() == scan;
                w->findChild<QPushButton*>(QStringLiteral("cancelButton"))->click();
                return;
            }
            }
        },
        [&] { return acquire_(id, path.toLocal8Bit().constData()); });
    QCOMPARE(r, EZTW32_FAILED);
    QCOMPARE(kind, QStringLiteral("eztw32::ArrayEditor"));
    const int n = int(first.size());
    QVERIFY2(n > 16, qPrintable(QString::number(n)));
    QCOMPARE(drawn.size(), n);
    QCOMPARE(statusAfter, QString());
    // From a quarter across to the middle at the top (as near as a pixel
    // of the curve goes), the rest as it was.
    int from = -1, to = -1;
    for (int i = 0; i < n; ++i)
        if (drawn[i] != first[i]) {
            from = from < 0 ? i : from;
            to = i;
        }
    const double perPixel = double(n) / plotWidth + 1;
    QVERIFY2(std::fabs(from - (n - 1) / 4.0) <= perPixel && std::fabs(to - (n - 1) / 2.0) <= perPixel,
        qPrintable(QStringLiteral("%1 to %2 of %3").arg(from).arg(to).arg(n)));
    // The stroke leaves the curve where it was pressed without a step and
    // rises steadily to the top, where it stays to the middle.
    const double rise = 255.0 / (to - from) * 2 + 2;
    QVERIFY2(std::fabs(drawn[from].toDouble() - first[from].toDouble()) <= rise,
        qPrintable(QStringLiteral("%1 after %2").arg(drawn[from], first[from])));
    for (int i = from + 1; i <= to; ++i)
        QVERIFY2(drawn[i].toDouble() >= drawn[i - 1].toDouble(),
            qPrintable(QStringLiteral("%1: %2").arg(i).arg(drawn[i])));
    for (int i = int(std::ceil((n - 1) * 0.375 + perPixel)); i <= to; ++i)
        QVERIFY2(drawn[i] == QLatin1String("255"), qPrintable(QStringLiteral("%1: %2").arg(i).arg(drawn[i])));
    // Linear: from 0 to 255 across.
    QStringList straight;
    for (int i = 0; i < n; ++i)
        straight << QString::number(std::lround(255.0 * i / (n - 1)));
    QCOMPARE(linear, straight);
    // Up raised the last point drawn by one.
    QStringList up = straight;
    up[to] = QString::number(std::min(255L, std::lround(255.0 * to / (n - 1)) + 1));
    QCOMPARE(raised, up);
    QCOMPARE(reset, first);
    // Tab reaches the curve, its buttons and the preview's, and comes round.
    QVERIFY(tabbedBack);
    for (const char* name : {"option-gamma-table", "option-gamma-table-linear", "option-gamma-table-reset",
             "zoomButton", "previewButton", "defaultsButton", "cancelButton", "allOptionsToggle"})
        QVERIFY2(tabbed.contains(QLatin1String(name)), qPrintable(tabbed.join(QLatin1Char(' '))));
    // "All options" right after the main settings, before the buttons.
    const auto at = [&](const char* name) { return tabbed.indexOf(QLatin1String(name)); };
    QVERIFY2(at("areaHeight") < at("allOptionsToggle") && at("allOptionsToggle") < at("option-gamma-table")
            && at("option-gamma-table-reset") < at("zoomButton") && at("zoomButton") < at("defaultsButton"),
        qPrintable(tabbed.join(QLatin1Char(' '))));
}

void TestEztw32::scansMatchTheBackend_data()
{
    QTest::addColumn<QStringList>("config");
    QTest::addColumn<QStringList>("choices"); // what the user picks in the scan dialog
    QTest::addColumn<QStringList>("scanimageArgs");
    QTest::addColumn<int>("bits");
    QTest::addColumn<int>("dpi");

    const QStringList none;
    auto set = [](const char* kv) { return QStringList{QStringLiteral("--set"), QString::fromUtf8(kv)}; };
    QTest::newRow("colour") << none << none << none << 24 << 50;
    QTest::newRow("gray") << QStringList{QStringLiteral("mode Gray")} << none << none << 8 << 50;
    QTest::newRow("gray picked") << none << set("modeCombo=Gray")
                                 << QStringList{QStringLiteral("--mode"), QStringLiteral("Gray")} << 8 << 50;
    QTest::newRow("line art picked") << none << set("modeCombo=Black and white")
                                     << QStringList{QStringLiteral("--mode"), QStringLiteral("Gray"),
                                            QStringLiteral("--depth"), QStringLiteral("1")}
                                     << 1 << 50;
    QTest::newRow("line art odd width") << QStringList{QStringLiteral("mode Gray"), QStringLiteral("depth 1"),
        QStringLiteral("geometry_max 38.0"), QStringLiteral("br_x 38.0"), QStringLiteral("br_y 38.0")}
                                        << none << none << 1 << 50;
    QTest::newRow("colour 16-bit") << QStringList{QStringLiteral("depth 16")} << none << none << 24 << 50;
    QTest::newRow("gray 16-bit") << QStringList{QStringLiteral("mode Gray"), QStringLiteral("depth 16")}
                                 << none << none << 8 << 50;
    QTest::newRow("three-pass") << QStringList{QStringLiteral("three-pass true"),
        QStringLiteral("three-pass-order GBR")}
                                << none << none << 24 << 50;
    QTest::newRow("hand-scanner") << QStringList{QStringLiteral("hand-scanner true")} << none << none << 24
                                  << 50;
    QTest::newRow("hand-scanner gray")
        << QStringList{QStringLiteral("hand-scanner true"), QStringLiteral("mode Gray")} << none << none << 8
        << 50;
    QTest::newRow("ppl-loss") << QStringList{QStringLiteral("ppl-loss 7")} << none << none << 24 << 50;
    QTest::newRow("ppl-loss line art")
        << QStringList{QStringLiteral("ppl-loss 5"), QStringLiteral("mode Gray"), QStringLiteral("depth 1")}
        << none << none << 1 << 50;
    QTest::newRow("small reads") << QStringList{QStringLiteral("read-limit true"),
        QStringLiteral("read-limit-size 100")}
                                 << none << none << 24 << 50;
    QTest::newRow("resolution picked")
        << none << set("resolutionCombo=150 dpi")
        << QStringList{QStringLiteral("--resolution"), QStringLiteral("150")} << 24 << 150;
}

void TestEztw32::scansMatchTheBackend()
{
    QFETCH(QStringList, config);
    QFETCH(QStringList, choices);
    QFETCH(QStringList, scanimageArgs);
    QFETCH(int, bits);
    QFETCH(int, dpi);
    if (scanimage_.isEmpty())
        QSKIP("scanimage (sane-utils) is not installed; it gives the reference picture");

    const QString dir = caseDir(config);
    const QString out = dir + QStringLiteral("/scan.bmp");
    const HelperRun run = runHelper(dir + QStringLiteral("/sane.d"), out, choices);
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(run.missing, QStringList());
    QCOMPARE(run.results, QList<int>{EZTW32_OK});
    QCOMPARE(run.messages, QStringList());
    QCOMPARE(leftovers(dir), QStringList{QStringLiteral("scan.bmp")});

    // The reference: scanimage with the same configuration and choices.
    const QString refPath = dir + QStringLiteral("/reference.pnm");
    Spawn ref;
    QVERIFY(ref.run(scanimage_,
        QStringList{QStringLiteral("-d"), QStringLiteral("test:0"), QStringLiteral("--format=pnm")}
            + scanimageArgs,
        scanEnvironment(dir + QStringLiteral("/sane.d")), 120000, Spawn::Errors::Inherit, refPath));
    QCOMPARE(ref.exitCode(), 0);
    Pnm pnm;
    QVERIFY(readPnm(refPath, pnm));

    // A plain BITMAPINFOHEADER file with the resolution in it.
    QFile f(out);
    QVERIFY(f.open(QIODevice::ReadOnly));
    const QByteArray bmp = f.readAll();
    QVERIFY(bmp.startsWith("BM"));
    QCOMPARE(le32(bmp, 2), quint32(bmp.size()));
    QCOMPARE(le32(bmp, 14), 40u);
    QCOMPARE(int(uchar(bmp[28])), bits);
    QCOMPARE(le32(bmp, 30), 0u);
    QCOMPARE(le32(bmp, 38), quint32(std::lround(dpi / 0.0254)));

    // Qt's BMP reader reads it, and every pixel is the backend's.
    const QImage img(out);
    QVERIFY(!img.isNull());
    QCOMPARE(img.width(), pnm.width);
    QCOMPARE(img.height(), pnm.height);
    if (bits == 8) {
        QCOMPARE(img.format(), QImage::Format_Indexed8);
        for (int i = 0; i < 256; ++i)
            QCOMPARE(img.color(i), qRgb(i, i, i));
    }
    if (bits == 1) {
        // Index 0 black, 1 white (Qt's reader may swap them on loading).
        QCOMPARE(img.format(), QImage::Format_Mono);
        QCOMPARE(bmp.mid(54, 8), QByteArray("\0\0\0\0\xff\xff\xff\0", 8));
    }
    int wrong = 0;
    for (int y = 0; y < img.height(); ++y) {
        for (int x = 0; x < img.width(); ++x) {
            const QRgb p = img.pixel(x, y);
            if (bits == 24) {
                wrong += qRed(p) != referenceSample(pnm, x, y, 0)
                    || qGreen(p) != referenceSample(pnm, x, y, 1)
                    || qBlue(p) != referenceSample(pnm, x, y, 2);
            } else {
                wrong += qGray(p) != referenceSample(pnm, x, y, 0);
            }
        }
    }
    QCOMPARE(wrong, 0);
}

void TestEztw32::faultsShowOneMessage_data()
{
    QTest::addColumn<QString>("status");
    QTest::addColumn<QString>("says");
    QTest::addColumn<QString>("detail");
    QTest::newRow("jammed") << "SANE_STATUS_JAMMED"
                            << "jammed"
                            << "Document feeder jammed";
    QTest::newRow("feeder empty") << "SANE_STATUS_NO_DOCS"
                                  << "feeder is empty"
                                  << "Document feeder out of documents";
    QTest::newRow("cover open") << "SANE_STATUS_COVER_OPEN"
                                << "cover is open"
                                << "Scanner cover is open";
    QTest::newRow("busy") << "SANE_STATUS_DEVICE_BUSY"
                          << "busy"
                          << "Device busy";
    QTest::newRow("i/o error") << "SANE_STATUS_IO_ERROR"
                               << "stopped responding"
                               << "Error during device I/O";
    QTest::newRow("no memory") << "SANE_STATUS_NO_MEM"
                               << "out of memory"
                               << "Out of memory";
    QTest::newRow("access denied") << "SANE_STATUS_ACCESS_DENIED"
                                   << "permission"
                                   << "Access to resource has been denied";
    QTest::newRow("invalid") << "SANE_STATUS_INVAL"
                             << "rejected"
                             << "Invalid argument";
    QTest::newRow("unsupported") << "SANE_STATUS_UNSUPPORTED"
                                 << "does not support"
                                 << "Operation not supported";
    QTest::newRow("ends early") << "SANE_STATUS_EOF"
                                << "before the image was complete"
                                << "End of file reached";
}

void TestEztw32::faultsShowOneMessage()
{
    QFETCH(QString, status);
    QFETCH(QString, says);
    QFETCH(QString, detail);
    const QString dir = deviceFaultCase(status);
    const QString out = dir + QStringLiteral("/scan.bmp");
    // Twice: the device is closed after the fault, so the second try meets
    // the same fault again, not a device still held open ("busy").
    const HelperRun run
        = runHelper(dir + QStringLiteral("/sane.d"), out, {QStringLiteral("--repeat"), QStringLiteral("2")});
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(run.results, (QList<int>{EZTW32_FAILED, EZTW32_FAILED}));
    QCOMPARE(run.messages.size(), 2);
    QVERIFY2(run.messages[0].contains(says), qPrintable(run.messages[0]));
    QVERIFY2(run.details[0].contains(detail), qPrintable(run.details[0]));
    QCOMPARE(run.messages[1], run.messages[0]);
    QCOMPARE(run.details[1], run.details[0]);
    QCOMPARE(run.titles, (QStringList{QStringLiteral("Scanner"), QStringLiteral("Scanner")}));
    QCOMPARE(run.owners, (QStringList{QStringLiteral("ownerWindow"), QStringLiteral("ownerWindow")}));
    QCOMPARE(leftovers(dir), QStringList());
}

void TestEztw32::failedPreviewShowsTheScansMessage()
{
    // The cover is open for the preview and for the scan after it: the same
    // message with cause and advice both times, the first over the dialog.
    const QString dir = deviceFaultCase(QStringLiteral("SANE_STATUS_COVER_OPEN"));
    const HelperRun run = runHelper(
        dir + QStringLiteral("/sane.d"), dir + QStringLiteral("/scan.bmp"), {QStringLiteral("--preview")});
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(run.results, QList<int>{EZTW32_FAILED});
    QCOMPARE(run.messages.size(), 2);
    QVERIFY2(run.messages[0].contains(QStringLiteral("cover is open")), qPrintable(run.messages[0]));
    QCOMPARE(run.messages[0], run.messages[1]);
    QCOMPARE(run.details[0], run.details[1]);
    QCOMPARE(run.details[0], QStringLiteral("Scanner's report: Scanner cover is open"));
    QCOMPARE(run.owners, (QStringList{QStringLiteral("scanDialog"), QStringLiteral("ownerWindow")}));
    QCOMPARE(leftovers(dir), QStringList());
}

void TestEztw32::cancelsShowNothing_data()
{
    QTest::addColumn<QStringList>("config");
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("backend");
    const QString test = QStringLiteral("test");
    QTest::newRow("scan dialog") << QStringList() << QStringList{QStringLiteral("--cancel-dialog")} << test;
    QTest::newRow("during the scan") << QStringList{QStringLiteral("read-delay true"),
        QStringLiteral("read-delay-duration 200000"), QStringLiteral("resolution 300.0")}
                                     << QStringList{QStringLiteral("--cancel-scan")} << test;
    QTest::newRow("Esc during the scan")
        << QStringList{QStringLiteral("read-delay true"), QStringLiteral("read-delay-duration 200000"),
               QStringLiteral("resolution 300.0")}
        << QStringList{QStringLiteral("--cancel-scan-by"), QStringLiteral("escape")} << test;
    QTest::newRow("close box during the scan")
        << QStringList{QStringLiteral("read-delay true"), QStringLiteral("read-delay-duration 200000"),
               QStringLiteral("resolution 300.0")}
        << QStringList{QStringLiteral("--cancel-scan-by"), QStringLiteral("close")} << test;
    QTest::newRow("during a hand scan") << QStringList{QStringLiteral("read-delay true"),
        QStringLiteral("read-delay-duration 200000"), QStringLiteral("hand-scanner true")}
                                        << QStringList{QStringLiteral("--cancel-scan")} << test;
    // A cancel reported by the device (its own Cancel key) during the scan
    // is a cancel too.
    QTest::newRow("at the device") << QStringList() << QStringList() << QStringLiteral("devicefault");
}

void TestEztw32::cancelsShowNothing()
{
    QFETCH(QStringList, config);
    QFETCH(QStringList, args);
    QFETCH(QString, backend);
    const QString dir = caseDir(config, backend);
    const HelperRun run = runHelper(dir + QStringLiteral("/sane.d"), dir + QStringLiteral("/scan.bmp"), args);
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(run.results, QList<int>{EZTW32_FAILED});
    QCOMPARE(run.messages, QStringList());
    QCOMPARE(leftovers(dir), QStringList());
}

void TestEztw32::progressBarFollowsTheHeight_data()
{
    QTest::addColumn<QStringList>("config");
    QTest::addColumn<QString>("bar");
    const QStringList slow{QStringLiteral("read-delay true"), QStringLiteral("read-delay-duration 100000"),
        QStringLiteral("resolution 200.0")};
    QTest::newRow("known height") << slow << "percent-bar";
    QTest::newRow("hand scanner") << slow + QStringList{QStringLiteral("hand-scanner true")} << "busy-bar";
}

void TestEztw32::progressBarFollowsTheHeight()
{
    QFETCH(QStringList, config);
    QFETCH(QString, bar);
    const QString dir = caseDir(config);
    const HelperRun run = runHelper(dir + QStringLiteral("/sane.d"), dir + QStringLiteral("/scan.bmp"), {});
    QCOMPARE(run.results, QList<int>{EZTW32_OK});
    QCOMPARE(run.bars, QStringList{bar});
}

void TestEztw32::uncreatableFileGivesMinus2()
{
    const QString dir = caseDir({});
    // The path is a folder: it stays a folder.
    QDir(dir).mkdir(QStringLiteral("folder.bmp"));
    HelperRun run = runHelper(dir + QStringLiteral("/sane.d"), dir + QStringLiteral("/folder.bmp"), {});
    QCOMPARE(run.results, QList<int>{EZTW32_FILE_ACCESS});
    QCOMPARE(run.messages, QStringList());
    QVERIFY(QFileInfo(dir + QStringLiteral("/folder.bmp")).isDir());
    // The folder does not exist.
    run = runHelper(dir + QStringLiteral("/sane.d"), dir + QStringLiteral("/missing/scan.bmp"), {});
    QCOMPARE(run.results, QList<int>{EZTW32_FILE_ACCESS});
    QCOMPARE(run.messages, QStringList());
}

void TestEztw32::unwritableFolderGivesMinus2AsUnprivilegedUser()
{
    const QString why = unprivilegedUnavailable();
    if (!why.isEmpty())
        QSKIP(qPrintable(why));
    const QString dir = caseDir({});
    const QString locked = dir + QStringLiteral("/locked");
    QVERIFY(QDir().mkpath(locked));
    QFile old(locked + QStringLiteral("/scan.bmp"));
    QVERIFY(old.open(QIODevice::WriteOnly));
    old.write("old");
    old.close();
    openPathFor(locked);
    QVERIFY(QFile::setPermissions(locked,
        QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadOther | QFile::ExeOther
            | QFile::ReadGroup | QFile::ExeGroup));
    const HelperRun run
        = runHelper(dir + QStringLiteral("/sane.d"), locked + QStringLiteral("/scan.bmp"), {}, true);
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(run.results, QList<int>{EZTW32_FILE_ACCESS});
    QCOMPARE(run.messages, QStringList());
    QCOMPARE(leftovers(locked), QStringList{QStringLiteral("scan.bmp")});
    QVERIFY(old.open(QIODevice::ReadOnly));
    QCOMPARE(old.readAll(), QByteArray("old"));
}

void TestEztw32::fullFilesystemGivesMinus4AndTheNextScanWorks()
{
    const QString dir = caseDir({});
    const QString small = dir + QStringLiteral("/small");
    QVERIFY(QDir().mkpath(small));
    if (::mount("tmpfs", small.toLocal8Bit().constData(), "tmpfs", 0, "size=1m") != 0)
        QSKIP(qPrintable(
            QStringLiteral("cannot mount a small tmpfs: %1").arg(QString::fromLocal8Bit(strerror(errno)))));
    struct Unmount {
        QByteArray path;
        ~Unmount() { ::umount2(path.constData(), MNT_DETACH); }
    } unmount{small.toLocal8Bit()};

    QFile old(small + QStringLiteral("/scan.bmp"));
    QVERIFY(old.open(QIODevice::WriteOnly));
    old.write("old");
    old.close();
    // 600 dpi colour over 40 x 40 mm: about 2.7 MB for a 1 MB filesystem.
    // The next acquisition, to a folder with room, works.
    const QString next = dir + QStringLiteral("/next.bmp");
    const HelperRun run = runHelper(dir + QStringLiteral("/sane.d"), small + QStringLiteral("/scan.bmp"),
        {QStringLiteral("--set"), QStringLiteral("resolutionCombo=600 dpi"), QStringLiteral("--then"), next});
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(run.missing, QStringList());
    QCOMPARE(run.results, (QList<int>{EZTW32_WRITE_FAILED, EZTW32_OK}));
    QCOMPARE(run.messages, QStringList());
    QCOMPARE(QImage(next).size(), QSize(944, 944)); // 40 mm at 600 dpi
    QCOMPARE(leftovers(small), QStringList{QStringLiteral("scan.bmp")});
    QVERIFY(old.open(QIODevice::ReadOnly));
    QCOMPARE(old.readAll(), QByteArray("old"));
}

void TestEztw32::noImageMemoryGivesMinus3()
{
    // Three-pass frames are assembled in memory: 300 x 300 mm at 1200 dpi
    // needs 602 MB at once. The helper leaves 256 MB of address space above
    // what it has mapped with its threads running: more than twice what
    // everything else needs, less than half of the picture.
    const QString dir = caseDir({QStringLiteral("three-pass true"), QStringLiteral("geometry_max 300.0"),
        QStringLiteral("br_x 300.0"), QStringLiteral("br_y 300.0"), QStringLiteral("resolution_max 1200.0"),
        QStringLiteral("resolution 1200.0"), QStringLiteral("test-picture \"Solid white\"")});
    const HelperRun run = runHelper(dir + QStringLiteral("/sane.d"), dir + QStringLiteral("/scan.bmp"),
        {QStringLiteral("--limit-memory-mb"), QStringLiteral("256")});
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(run.results, QList<int>{EZTW32_MEMORY});
    QCOMPARE(run.messages, QStringList());
    QCOMPARE(leftovers(dir), QStringList());
}

void TestEztw32::chosenDeviceIsRememberedAcrossRuns()
{
    // One run chooses the second device; the next one scans from it without
    // being told.
    const QString dir = caseDir({QStringLiteral("number_of_devices 2")});
    const QString sane = dir + QStringLiteral("/sane.d");
    HelperRun run = runHelper(sane, dir + QStringLiteral("/scan.bmp"),
        {QStringLiteral("--select"), QStringLiteral("1"), QStringLiteral("--cancel-dialog"),
            QStringLiteral("--report")});
    QCOMPARE(run.exitCode, 0);
    QVERIFY2(run.firstCount == 2 || run.firstStatus.startsWith(QStringLiteral("Searching…")),
        qPrintable(QStringLiteral("%1 devices, \"%2\"; the helper printed:\n%3")
                       .arg(run.firstCount)
                       .arg(run.firstStatus, run.lines.join(QLatin1Char('\n')))));
    QCOMPARE(run.values.value(QStringLiteral("device")), QStringLiteral("test:1"));
    QVERIFY(QFile::exists(dir + QStringLiteral("/config/orvane-capture-desk/scanner.conf")));
    run = runHelper(sane, dir + QStringLiteral("/scan.bmp"), {QStringLiteral("--report")});
    QCOMPARE(run.results, QList<int>{EZTW32_OK});
    QCOMPARE(run.values.value(QStringLiteral("device")), QStringLiteral("test:1"));
    QCOMPARE(run.values.value(QStringLiteral("deviceNote")), QString());
}

void TestEztw32::settingsAreRememberedAndDefaultsPutBack()
{
    const QString dir = caseDir({});
    const QString sane = dir + QStringLiteral("/sane.d");
    const QString out = dir + QStringLiteral("/scan.bmp");
    // Chosen in one run: common settings and one of the device's own.
    HelperRun run = runHelper(sane, out,
        {QStringLiteral("--set"), QStringLiteral("resolutionCombo=75 dpi"), QStringLiteral("--set"),
            QStringLiteral("modeCombo=Gray"), QStringLiteral("--set"),
            QStringLiteral("option-test-picture=Grid"), QStringLiteral("--set"),
            QStringLiteral("findDocumentCheck=0"), QStringLiteral("--set"),
            QStringLiteral("straightenCheck=1"), QStringLiteral("--set"), QStringLiteral("rotateCombo=180"),
            QStringLiteral("--set"), QStringLiteral("brightnessSpin=30")});
    QCOMPARE(run.missing, QStringList());
    QCOMPARE(run.results, QList<int>{EZTW32_OK});
    // Shown again in the next; "Defaults" puts the device's own back, and
    // the scan then has them.
    run = runHelper(sane, out, {QStringLiteral("--report"), QStringLiteral("--defaults")});
    QCOMPARE(run.results, QList<int>{EZTW32_OK});
    QCOMPARE(run.values.value(QStringLiteral("resolutionCombo")), QStringLiteral("75 dpi"));
    QCOMPARE(run.values.value(QStringLiteral("modeCombo")), QStringLiteral("Gray"));
    QCOMPARE(run.values.value(QStringLiteral("option-test-picture")), QStringLiteral("Grid"));
    QCOMPARE(run.after.value(QStringLiteral("resolutionCombo")), QStringLiteral("50 dpi"));
    QCOMPARE(run.after.value(QStringLiteral("modeCombo")), QStringLiteral("Colour"));
    QCOMPARE(run.after.value(QStringLiteral("option-test-picture")), QStringLiteral("Color pattern"));
    // The corrections in software, per device too, and their defaults.
    const QStringList corrections{QStringLiteral("findDocumentCheck"), QStringLiteral("straightenCheck"),
        QStringLiteral("rotateCombo"), QStringLiteral("brightnessSpin")};
    QStringList before, after;
    for (const QString& name : corrections)
        before << run.values.value(name), after << run.after.value(name);
    QCOMPARE(before, (QStringList{"0", "1", "180°", "30 %"}));
    QCOMPARE(after, (QStringList{"1", "0", "None", "0 %"}));
    const QImage img(out);
    QCOMPARE(img.depth(), 32); // colour
    QCOMPARE(img.size(), QSize(78, 78)); // 40 mm at 50 dpi
    // And the defaults are what the next run starts with.
    run = runHelper(sane, out, {QStringLiteral("--report"), QStringLiteral("--cancel-dialog")});
    QCOMPARE(run.values.value(QStringLiteral("resolutionCombo")), QStringLiteral("50 dpi"));
    QCOMPARE(run.values.value(QStringLiteral("option-test-picture")), QStringLiteral("Color pattern"));
}

void TestEztw32::goneDeviceIsReplacedWithANote()
{
    // The remembered device is no longer there: the dialog says so and uses
    // the one the search finds.
    const QString dir = caseDir({});
    writeFile(dir + QStringLiteral("/config/orvane-capture-desk/scanner.conf"),
        "[chosen]\nname=test:7\nvendor=Noname\nmodel=gone device\ntype=virtual device\n");
    const HelperRun run = runHelper(
        dir + QStringLiteral("/sane.d"), dir + QStringLiteral("/scan.bmp"), {QStringLiteral("--report")});
    QCOMPARE(run.results, QList<int>{EZTW32_OK});
    QCOMPARE(run.messages, QStringList());
    QCOMPARE(run.values.value(QStringLiteral("device")), QStringLiteral("test:0"));
    const QString note = run.values.value(QStringLiteral("deviceNote"));
    QVERIFY2(note.contains(QStringLiteral("\"Noname gone device\" was not found")), qPrintable(note));
    QVERIFY2(note.contains(QStringLiteral("1 scanner found")), qPrintable(note));
    QCOMPARE(QImage(dir + QStringLiteral("/scan.bmp")).size(), QSize(78, 78));
}

void TestEztw32::dragOnThePresetDrawsAClickKeepsIt_data()
{
    // Where the mouse goes on the preview, as fractions of the pane. The bed
    // (300 x 300 mm) fills the pane's width, centred: all of these lie
    // inside the A4 page the dialog starts with, at its top left.
    QTest::addColumn<QString>("drag");
    QTest::addColumn<bool>("draws");
    QTest::newRow("drag inside A4") << "0.4,0.4,0.6,0.55" << true;
    QTest::newRow("drag from the middle to the top left") << "0.5,0.5,0.3,0.4" << true;
    QTest::newRow("click") << "0.5,0.5,0.5,0.5" << false;
    QTest::newRow("shake of the hand") << "0.5,0.5,0.502,0.501" << false;
    QTest::newRow("sliver along an edge") << "0.3,0.5,0.7,0.501" << false;
}

void TestEztw32::dragOnThePresetDrawsAClickKeepsIt()
{
    QFETCH(QString, drag);
    QFETCH(bool, draws);
    const QString dir = caseDir(
        {QStringLiteral("geometry_max 300.0"), QStringLiteral("br_x 300.0"), QStringLiteral("br_y 300.0")});
    const QString out = dir + QStringLiteral("/scan.bmp");
    const HelperRun run = runHelper(
        dir + QStringLiteral("/sane.d"), out, {QStringLiteral("--drag"), drag, QStringLiteral("--report")});
    QCOMPARE(run.results, QList<int>{EZTW32_OK});
    const QString preset = run.values.value(QStringLiteral("areaCombo"));
    auto mm = [&](const char* name) {
        QString v = run.values.value(QString::fromLatin1(name));
        v.chop(3); // " mm"
        return v.toDouble();
    };
    const double width = mm("areaWidth"), height = mm("areaHeight");
    const QSize picture = QImage(out).size();
    if (!draws) {
        QVERIFY2(preset.startsWith(QStringLiteral("A4")), qPrintable(preset));
        QCOMPARE(width, 210.0);
        QCOMPARE(height, 297.0);
        QCOMPARE(picture, QSize(413, 584)); // A4 at 50 dpi
        return;
    }
    // A new area, no longer the preset, of about the size dragged, and the
    // scan of exactly that area.
    QCOMPARE(preset, QString());
    QVERIFY2(width > 40 && width < 100 && height > 20 && height < 100,
        qPrintable(QStringLiteral("%1 x %2").arg(width).arg(height)));
    QCOMPARE(picture, QSize(int(width / 25.4 * 50), int(height / 25.4 * 50)));
}

void TestEztw32::foundPageIsStraightenedAndTurned_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("expect"); // "page", "turned", "drawn" or "bed"

    const auto set = [](const char* v) { return QStringList{QStringLiteral("--set"), QLatin1String(v)}; };
    const QStringList preview{QStringLiteral("--preview"), QStringLiteral("--report")};
    QTest::newRow("found and straightened") << set("straightenCheck=1") + preview << "page";
    QTest::newRow("turned right") << set("straightenCheck=1") + set("rotateCombo=right") + preview
                                  << "turned";
    // Drawn before the preview: the document found on it does not replace it.
    QTest::newRow("drawn area wins") << QStringList{QStringLiteral("--drag"),
        QStringLiteral("0.3,0.3,0.6,0.5"), QStringLiteral("--preview-again"), QStringLiteral("--report")}
                                     << "drawn";
    QTest::newRow("finding off") << set("findDocumentCheck=0") + preview << "bed";
}

void TestEztw32::foundPageIsStraightenedAndTurned()
{
    QFETCH(QStringList, args);
    QFETCH(QString, expect);
    // A page of 100 x 140 mm on a dark bed of 160 x 200 mm, 5 degrees
    // crooked, served as the bed of the tests' flatbed at 75 dpi.
    constexpr double Dpi = 75, PxPerMm = Dpi / 25.4;
    const QString dir = caseDir({}, QStringLiteral("page"));
    const QString bedPath = dir + QStringLiteral("/bed.ppm");
    QVERIFY(bedWith(QColor(35, 35, 40), QRectF(30, 30, 100, 140), 5, false, Dpi, {160, 200})
                .save(bedPath, "PPM"));
    writeFile(dir + QStringLiteral("/sane.d/page.conf"), "file " + bedPath.toUtf8() + "\ndpi 75\n");
    const QString out = dir + QStringLiteral("/scan.bmp");
    const HelperRun run = runHelper(dir + QStringLiteral("/sane.d"), out, args);
    QCOMPARE(run.missing, QStringList());
    QCOMPARE(run.results, QList<int>{EZTW32_OK});
    const QImage got(out);
    QVERIFY(!got.isNull());
    const QSizeF mm(got.width() / PxPerMm, got.height() / PxPerMm);
    const QString size = QStringLiteral("%1 x %2 mm").arg(mm.width()).arg(mm.height());
    const auto near
        = [&](double w, double h) { return std::abs(mm.width() - w) <= 1 && std::abs(mm.height() - h) <= 1; };
    if (expect == QLatin1String("bed")) {
        QVERIFY2(near(160, 200), qPrintable(size));
        return;
    }
    if (expect == QLatin1String("drawn")) {
        // The area drawn, as the fields show it, not the page's.
        QString w = run.values.value(QStringLiteral("areaWidth")),
                h = run.values.value(QStringLiteral("areaHeight"));
        w.chop(3);
        h.chop(3);
        QVERIFY2(near(w.toDouble(), h.toDouble()) && !near(100, 140) && w.toDouble() < 100, qPrintable(size));
        return;
    }
    const bool turned = expect == QLatin1String("turned");
    QVERIFY2(turned ? near(140, 100) : near(100, 140), qPrintable(size));
    const QImage upright = turned ? got.transformed(QTransform().rotate(-90)) : got;
    const double residual = residualSkew(upright);
    QVERIFY2(std::abs(residual) <= 0.3, qPrintable(QString::number(residual)));
    // The predicted size turned with the picture, and the turn on the preview.
    const QStringList predicted = run.values.value(QStringLiteral("sizeLabel")).split(QLatin1Char(' '));
    QVERIFY(predicted.size() > 3);
    QCOMPARE(predicted[0].toInt() > predicted[2].toInt(), turned);
    QCOMPARE(run.values.value(QStringLiteral("previewTurn")),
        turned ? QStringLiteral("The scan is turned 90° right") : QString());
}

void TestEztw32::softwareLightIsSavedAsItsTableSays()
{
    // The test backend has no brightness or contrast of its own: the dialog
    // corrects them in software, the table's values exactly.
    const QString dir = caseDir({});
    const QString sane = dir + QStringLiteral("/sane.d");
    const QString plainPath = dir + QStringLiteral("/plain.bmp"), litPath = dir + QStringLiteral("/lit.bmp");
    QCOMPARE(runHelper(sane, plainPath, {}).results, QList<int>{EZTW32_OK});
    const HelperRun run = runHelper(sane, litPath,
        {QStringLiteral("--set"), QStringLiteral("brightnessSpin=40"), QStringLiteral("--set"),
            QStringLiteral("contrastSpin=-20")});
    QCOMPARE(run.missing, QStringList());
    QCOMPARE(run.results, QList<int>{EZTW32_OK});
    const QImage plain = QImage(plainPath).convertToFormat(QImage::Format_RGB32);
    const QImage lit = QImage(litPath).convertToFormat(QImage::Format_RGB32);
    QCOMPARE(lit.size(), plain.size());
    const eztw32::LightTable t = eztw32::lightTable({40, -20, 1});
    bool changed = false;
    for (int y = 0; y < plain.height(); ++y)
        for (int x = 0; x < plain.width(); ++x) {
            const QRgb p = plain.pixel(x, y), l = lit.pixel(x, y);
            QCOMPARE(l, qRgb(t[qRed(p)], t[qGreen(p)], t[qBlue(p)]));
            changed = changed || l != p;
        }
    QVERIFY(changed);
}

void TestEztw32::tooLargePictureIsRefusedBeforeScanning()
{
    // An A4 bed up to 2400 dpi: colour at 2400 dpi would not fit in what the
    // program can hold; 1200 dpi does, and so does 2400 dpi in gray.
    const QStringList a4{QStringLiteral("resolution_max 2400.0"), QStringLiteral("geometry_max 297.0"),
        QStringLiteral("br_x 210.0"), QStringLiteral("br_y 297.0")};
    const QString dir = caseDir(a4);
    const QString sane = dir + QStringLiteral("/sane.d");
    HelperRun run = runHelper(sane, dir + QStringLiteral("/scan.bmp"),
        {QStringLiteral("--set"), QStringLiteral("areaCombo=A4"), QStringLiteral("--set"),
            QStringLiteral("resolutionCombo=2400 dpi"), QStringLiteral("--report")});
    QCOMPARE(run.missing, QStringList());
    QVERIFY(run.scanDisabled);
    QCOMPARE(run.results, QList<int>{EZTW32_FAILED});
    QVERIFY2(run.values.value(QStringLiteral("tooLargeLabel"))
                 .contains(QStringLiteral("larger than the program can hold")),
        qPrintable(run.values.value(QStringLiteral("tooLargeLabel"))));
    QVERIFY2(run.values.value(QStringLiteral("sizeLabel")).startsWith(QStringLiteral("19842 × 28062 pixels")),
        qPrintable(run.values.value(QStringLiteral("sizeLabel"))));
    QCOMPARE(leftovers(dir), QStringList());
    for (const char* choice : {"resolutionCombo=1200 dpi", "modeCombo=Gray"}) {
        run = runHelper(sane, dir + QStringLiteral("/scan.bmp"),
            {QStringLiteral("--set"), QStringLiteral("areaCombo=A4"), QStringLiteral("--set"),
                QStringLiteral("resolutionCombo=2400 dpi"), QStringLiteral("--set"),
                QString::fromLatin1(choice), QStringLiteral("--report"), QStringLiteral("--cancel-dialog")});
        QVERIFY(!run.scanDisabled);
        QCOMPARE(run.values.value(QStringLiteral("tooLargeLabel")), QString());
    }
}

void TestEztw32::allOptionsFitAndStayOpen()
{
    // Every test option, the advanced ones too: opening "All options"
    // leaves the preview as it was, and the fields fit across without a
    // scroll bar. The next run finds it open.
    // No label or field is cut off, "All options" open or closed, at
    // scale 1 and 2.
    const QString dir = caseDir({});
    const QString out = dir + QStringLiteral("/scan.bmp");
    for (const char* scale : {"2", "1"}) {
        QDir(dir + QStringLiteral("/config")).removeRecursively(); // closed, as never opened
        qputenv("QT_SCALE_FACTOR", scale);
        const HelperRun first = runHelper(dir + QStringLiteral("/sane.d"), out,
            {QStringLiteral("--set"), QStringLiteral("option-enable-test-options=1"), QStringLiteral("--set"),
                QStringLiteral("advancedCheck=1"), QStringLiteral("--all-options"),
                QStringLiteral("--cancel-dialog")});
        qunsetenv("QT_SCALE_FACTOR");
        QCOMPARE(first.exitCode, 0);
        QCOMPARE(first.missing, QStringList());
        QVERIFY2(
            first.lines.contains(QStringLiteral("all-options-open 0")), qPrintable(first.lines.join('\n')));
        const QStringList before = first.lines.filter(QStringLiteral("pane-before ")),
                          after = first.lines.filter(QStringLiteral("pane-after "));
        QCOMPARE(before.size(), 1);
        QCOMPARE(after.size(), 1);
        QCOMPARE(after[0].section(QLatin1Char(' '), 1), before[0].section(QLatin1Char(' '), 1));
        QCOMPARE(first.lines.filter(QStringLiteral("hscroll ")), QStringList(2, QStringLiteral("hscroll 0")));
        QCOMPARE(first.lines.filter(QStringLiteral("clipped ")), QStringList());
    }
    const HelperRun second = runHelper(dir + QStringLiteral("/sane.d"), out,
        {QStringLiteral("--all-options"), QStringLiteral("--cancel-dialog")});
    QCOMPARE(second.exitCode, 0);
    QVERIFY2(
        second.lines.contains(QStringLiteral("all-options-open 1")), qPrintable(second.lines.join('\n')));
    QVERIFY(second.lines.contains(QStringLiteral("hscroll 0")));
    QCOMPARE(second.results, QList<int>{EZTW32_FAILED}); // cancelled
}

void TestEztw32::predictedSizeIsTheScannedSize_data()
{
    QTest::addColumn<QString>("dpi");
    QTest::newRow("300 dpi") << QStringLiteral("300 dpi");
    QTest::newRow("600 dpi") << QStringLiteral("600 dpi");
}

void TestEztw32::predictedSizeIsTheScannedSize()
{
    // 100 x 80 mm: 944.9 rows at 300 dpi, which the device rounds up; the
    // dialog says what the device will deliver.
    QFETCH(QString, dpi);
    const QString dir = caseDir({});
    const QString out = dir + QStringLiteral("/scan.bmp");
    const HelperRun run = runHelper(dir + QStringLiteral("/sane.d"), out,
        {QStringLiteral("--set"), QStringLiteral("areaLeft=0"), QStringLiteral("--set"),
            QStringLiteral("areaTop=0"), QStringLiteral("--set"), QStringLiteral("areaWidth=100"),
            QStringLiteral("--set"), QStringLiteral("areaHeight=80"), QStringLiteral("--set"),
            QStringLiteral("resolutionCombo=") + dpi, QStringLiteral("--report")});
    QCOMPARE(run.missing, QStringList());
    QCOMPARE(run.results, QList<int>{EZTW32_OK});
    const QImage img(out);
    QVERIFY(!img.isNull());
    const QString said = run.values.value(QStringLiteral("sizeLabel"));
    QVERIFY2(said.startsWith(QStringLiteral("%1 × %2 pixels").arg(img.width()).arg(img.height())),
        qPrintable(QStringLiteral("%1, scanned %2 x %3").arg(said).arg(img.width()).arg(img.height())));
}

void TestEztw32::networkScannerThatDiesEndsAsAFault()
{
    // The test backend through saned and SANE's net backend, slowly; saned
    // and its connection are killed at about 10 %. The scan ends as a fault
    // of its own after the stall limit (3 s here); then, saned back, a new
    // search and scan in the same process work.
    const QString saned = QStandardPaths::findExecutable(QStringLiteral("saned")).isEmpty()
        ? QStandardPaths::findExecutable(QStringLiteral("saned"), {QStringLiteral("/usr/sbin")})
        : QStandardPaths::findExecutable(QStringLiteral("saned"));
    if (saned.isEmpty())
        QSKIP("saned (sane-utils) is not installed");
    if (listening(6566))
        QSKIP("something already serves 127.0.0.1:6566, the port the net backend connects to");
    const QString dir = caseDir({});
    const QString server = dir + QStringLiteral("/server");
    writeSaneConfig(server,
        BaseConfig
            + QStringList{QStringLiteral("mode Gray"), QStringLiteral("geometry_max 200.0"),
                QStringLiteral("br_x 200.0"), QStringLiteral("br_y 200.0"),
                QStringLiteral("resolution 150.0"), QStringLiteral("read-delay true"),
                QStringLiteral("read-delay-duration 200000")});
    writeFile(server + QStringLiteral("/saned.conf"), "127.0.0.1\nlocalhost\n");
    const QString client = dir + QStringLiteral("/client");
    writeFile(client + QStringLiteral("/dll.d/net"), "net\n");
    writeFile(client + QStringLiteral("/net.conf"), "connect_timeout = 5\n127.0.0.1\n");

    Saned host(server);
    QVERIFY(host.start(saned));
    QTRY_VERIFY_WITH_TIMEOUT(listening(6566), 60000);

    const QString first = dir + QStringLiteral("/first.bmp"), second = dir + QStringLiteral("/second.bmp");
    const QString go = dir + QStringLiteral("/go");
    Spawn helper;
    QProcessEnvironment e = scanEnvironment(client);
    e.insert(QStringLiteral("EZTW32_STALL_SECONDS"), QStringLiteral("3"));
    QVERIFY(helper.start(Helper,
        {Library, first, QStringLiteral("--wait-for"), go, QStringLiteral("--then-select"),
            QStringLiteral("0"), QStringLiteral("--then"), second},
        e));
    const auto said = [&] {
        helper.poll();
        return parseHelper(helper.output());
    };
    QTRY_VERIFY_WITH_TIMEOUT(said().progress >= 10, 60000);
    host.kill();
    QTRY_VERIFY_WITH_TIMEOUT(said().waiting, 60000);
    // Back, and quick this time.
    writeSaneConfig(server,
        BaseConfig
            + QStringList{QStringLiteral("mode Gray"), QStringLiteral("geometry_max 200.0"),
                QStringLiteral("br_x 200.0"), QStringLiteral("br_y 200.0"),
                QStringLiteral("resolution 150.0")});
    QVERIFY(host.start(saned));
    QTRY_VERIFY_WITH_TIMEOUT(listening(6566), 60000);
    writeFile(go, "");
    QVERIFY(helper.wait(120000));
    const HelperRun run = parseHelper(helper.output());
    QCOMPARE(helper.exitCode(), 0);
    // What the helper was told goes with a wrong result, so that a failure
    // of the second scan says why.
    QStringList results;
    for (int r : run.results)
        results << QString::number(r);
    QVERIFY2(run.results == (QList<int>{EZTW32_FAILED, EZTW32_OK}) && run.messages.size() == 1,
        qPrintable(QStringLiteral("results %1; messages: %2; the helper said: %3")
                       .arg(results.join(QLatin1Char(' ')), run.messages.join(QStringLiteral(" | ")),
                           QString::fromLocal8Bit(helper.output()).right(2000))));
    QVERIFY2(run.messages[0].contains(QStringLiteral("stopped answering")), qPrintable(run.messages[0]));
    QVERIFY(!QFile::exists(first));
    QCOMPARE(QImage(second).size(), QSize(1181, 1181)); // 200 mm at 150 dpi
}

void TestEztw32::misbehavingDriverCostsOneScan_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QList<int>>("results");
    QTest::addColumn<QString>("says");
    const QStringList twice{QStringLiteral("--then"), QStringLiteral("second.bmp")};
    const QList<int> oneLost{EZTW32_FAILED, EZTW32_OK};
    const QString hung = QStringLiteral("driver stopped responding");
    QTest::newRow("hangs in its read") << "read-hang" << twice << oneLost << hung;
    QTest::newRow("hangs in its read and its cancel") << "read-cancel-hang" << twice << oneLost << hung;
    QTest::newRow("hangs in its opening") << "open-hang" << twice << oneLost << hung;
    QTest::newRow("crashes in its read")
        << "read-crash" << twice << oneLost << QStringLiteral("driver crashed");
    // Cancel while the driver hangs ends the scan as a cancel, without a
    // message; the driver is ended behind it.
    QTest::newRow("cancelled while it hangs")
        << "read-cancel-hang" << QStringList{QStringLiteral("--cancel-scan-at"), QStringLiteral("50")} + twice
        << oneLost << QString();
    // A device whose driver says it is busy until the stall limit, as a
    // network scanner answering "503 busy" does, is said to be busy.
    QTest::newRow("busy until the stall limit")
        << "start-busy" << QStringList() << QList<int>{EZTW32_FAILED} << QStringLiteral("scanner is busy");
}

void TestEztw32::misbehavingDriverCostsOneScan()
{
    QFETCH(QString, fault);
    QFETCH(QStringList, args);
    QFETCH(QList<int>, results);
    QFETCH(QString, says);
    const QString dir = caseDir({}, QStringLiteral("misbehave"));
    writeFile(dir + QStringLiteral("/sane.d/misbehave.conf"),
        "fault " + fault.toLatin1() + "\nonce " + dir.toLocal8Bit() + "/happened\n");
    for (QString& a : args)
        if (a.endsWith(QLatin1String(".bmp")))
            a = dir + QLatin1Char('/') + a;
    // What a scan of a program that was killed left behind goes at the
    // next scan.
    writeFile(dir + QStringLiteral("/.first.bmp.eztw32-Killed"), "half a scan");
    QProcessEnvironment e = scanEnvironment(dir + QStringLiteral("/sane.d"));
    e.insert(QStringLiteral("EZTW32_STALL_SECONDS"), QStringLiteral("2"));
    Spawn helper;
    QVERIFY(helper.run(Helper, QStringList{Library, dir + QStringLiteral("/first.bmp")} + args, e));
    const HelperRun run = parseHelper(helper.output());
    QVERIFY2(helper.exitCode() == 0 && run.results == results,
        qPrintable(QString::fromLocal8Bit(helper.output()).right(3000)));
    if (says.isEmpty()) {
        QCOMPARE(run.messages, QStringList());
    } else {
        QCOMPARE(run.messages.size(), 1);
        QVERIFY2(run.messages[0].contains(says), qPrintable(run.messages[0]));
        // A lost driver's message names the device.
        if (says.contains(QLatin1String("driver")))
            QVERIFY2(run.messages[0].contains(QStringLiteral("Noname frontend-tester")),
                qPrintable(run.messages[0]));
    }
    if (fault == QLatin1String("read-crash"))
        QVERIFY2(run.details[0].contains(QStringLiteral("crashed with signal"))
                || run.details[0].contains(QStringLiteral("exit code")),
            qPrintable(run.details[0]));
    QVERIFY(!QFile::exists(dir + QStringLiteral("/first.bmp")));
    // The next scan in the same process is whole.
    if (results.size() == 2)
        QCOMPARE(QImage(dir + QStringLiteral("/second.bmp")).size(), QSize(78, 78));
    const QStringList hidden = leftovers(dir).filter(QStringLiteral(".eztw32-"));
    QCOMPARE(hidden, QStringList());
}

void TestEztw32::lastScannedDeviceOpensWhileTheSearchHangs()
{
    // The chosen device is gone: the scan is made with the first one found,
    // which is remembered as the one scanned with.
    const QString dir = caseDir({QStringLiteral("number_of_devices 2")});
    const QString sane = dir + QStringLiteral("/sane.d");
    const QString conf = dir + QStringLiteral("/config/orvane-capture-desk/scanner.conf");
    writeFile(conf, "[chosen]\nname=test:7\nvendor=Noname\nmodel=gone device\ntype=virtual device\n");
    HelperRun run = runHelper(sane, dir + QStringLiteral("/first.bmp"), {QStringLiteral("--report")});
    QCOMPARE(run.results, QList<int>{EZTW32_OK});
    QCOMPARE(run.values.value(QStringLiteral("device")), QStringLiteral("test:0"));
    QCOMPARE(QSettings(conf, QSettings::IniFormat).value(QStringLiteral("last/name")).toString(),
        QStringLiteral("test:0"));

    // Next time a backend's search never ends; the device scanned with
    // opens by its name all the same, without a note, and scans.
    QProcessEnvironment e = hangingSearch(dir);
    const QString second = dir + QStringLiteral("/second.bmp");
    Spawn helper;
    QVERIFY(helper.start(Helper, {Library, second, QStringLiteral("--report")}, e));
    QVERIFY(helper.wait(120000));
    QCOMPARE(helper.exitCode(), 0);
    run = parseHelper(helper.output());
    QCOMPARE(run.results, QList<int>{EZTW32_OK});
    QCOMPARE(run.messages, QStringList());
    QCOMPARE(run.values.value(QStringLiteral("device")), QStringLiteral("test:0"));
    QCOMPARE(run.values.value(QStringLiteral("deviceNote")), QString());
    QCOMPARE(QImage(second).size(), QSize(78, 78));
    // The hung search went with the program.
    if (const qint64 pid = searchPid(dir + QStringLiteral("/search.pid")))
        QTRY_VERIFY_WITH_TIMEOUT(processGone(pid), 60000);
}

void TestEztw32::crashingSearchLeavesTheLibraryWorking()
{
    // Nothing remembered, and one backend's search crashes: it costs that
    // backend's devices only. The device of the backend beside it is found
    // and scanned, and the crash is in the log.
    const QString dir = caseDir({});
    const QString sane = dir + QStringLiteral("/sane.d");
    writeFile(sane + QStringLiteral("/dll.d/searchfault"), "searchfault\n");
    const QString crash = dir + QStringLiteral("/crash");
    writeFile(crash, "");
    QProcessEnvironment e = scanEnvironment(sane);
    e.insert(QStringLiteral("SEARCHFAULT_CRASH_WHILE"), crash);
    // Under the sanitizers, the crash kills the search as it would without
    // them, instead of being reported and turned into an exit code.
    for (const char* name : {"ASAN_OPTIONS", "TSAN_OPTIONS"})
        e.insert(QLatin1String(name), e.value(QLatin1String(name)) + QStringLiteral(":handle_segv=0"));
    const QString first = dir + QStringLiteral("/first.bmp");
    Spawn helper;
    QVERIFY(helper.run(Helper, {Library, first}, e, 120000, Spawn::Errors::Capture));
    const HelperRun run = parseHelper(helper.output());
    QCOMPARE(helper.exitCode(), 0);
    QCOMPARE(run.results, QList<int>{EZTW32_OK});
    QCOMPARE(run.messages, QStringList());
    QVERIFY2(
        helper.errors().contains("no device list of searchfault: the device search crashed with signal 11"),
        helper.errors().constData());
    QCOMPARE(QImage(first).size(), QSize(78, 78));
}

void TestEztw32::localDevicesComeWhileAHostDoesNotAnswer()
{
    // Beside the test backend, a network host that takes the connection and
    // never answers (SANE's net backend) and a backend whose search hangs:
    // the source dialog offers the test device at once, says whom it still
    // asks, and the device chosen is scanned while both still hang.
    if (listening(6566))
        QSKIP("something already serves 127.0.0.1:6566, the port the net backend connects to");
    const int host = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    QVERIFY(host >= 0);
    const auto closeHost = qScopeGuard([host] { ::close(host); });
    const int yes = 1;
    ::setsockopt(host, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(6566);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    QVERIFY(::bind(host, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0 && ::listen(host, 8) == 0);
    const QString dir = caseDir({});
    QProcessEnvironment e = hangingSearch(dir);
    writeFile(dir + QStringLiteral("/sane.d/dll.d/net"), "net\n");
    writeFile(dir + QStringLiteral("/sane.d/net.conf"), "127.0.0.1\n");
    Spawn helper;
    QVERIFY(helper.run(Helper,
        {Library, dir + QStringLiteral("/scan.bmp"), QStringLiteral("--select"), QStringLiteral("0")}, e));
    const HelperRun run = parseHelper(helper.output());
    QStringList chosen = run.lines.filter(QStringLiteral("select-status "));
    QVERIFY2(chosen.size() == 1
            && chosen[0]
                == QStringLiteral(
                    "select-status 1 scanner found Still asking: net (127.0.0.1), searchfault."),
        qPrintable(run.lines.join(QLatin1Char('\n'))));
    QCOMPARE(run.results, QList<int>{EZTW32_OK});
    QCOMPARE(QImage(dir + QStringLiteral("/scan.bmp")).size(), QSize(78, 78));
}

void TestEztw32::hungSearchIsStoppedAtItsTimeout()
{
    // A search that never ends is stopped at its time limit (half a second
    // here): "no scanner", the cause in the log, and its helper is gone
    // while the program goes on.
    const QString dir = caseDir({});
    const QString go = dir + QStringLiteral("/go"), pidFile = dir + QStringLiteral("/search.pid");
    QProcessEnvironment e = hangingSearch(dir);
    e.insert(QStringLiteral("EZTW32_SEARCH_TIMEOUT_MS"), QStringLiteral("500"));
    // The hanging backend alone.
    QFile::remove(dir + QStringLiteral("/sane.d/dll.d/test"));
    Spawn helper;
    QVERIFY(
        helper.start(Helper, {Library, dir + QStringLiteral("/scan.bmp"), QStringLiteral("--wait-for"), go},
            e, Spawn::Errors::Capture));
    const auto said = [&] {
        helper.poll();
        return parseHelper(helper.output());
    };
    QTRY_VERIFY_WITH_TIMEOUT(said().waiting, 60000);
    const HelperRun run = said();
    QCOMPARE(run.results, QList<int>{EZTW32_FAILED});
    QCOMPARE(run.messages.size(), 1);
    QVERIFY2(run.messages[0].startsWith(QStringLiteral("No scanner was found")), qPrintable(run.messages[0]));
    QVERIFY2(helper.errors().contains("the device search took longer than 500 ms and was stopped"),
        helper.errors().constData());
    const qint64 pid = searchPid(pidFile);
    QVERIFY(pid > 0);
    QTRY_VERIFY_WITH_TIMEOUT(processGone(pid), 60000);
    QVERIFY(helper.running());
    writeFile(go, "");
    QVERIFY(helper.wait(120000));
    QCOMPARE(helper.exitCode(), 0);
}

void TestEztw32::cancelWhileLookingLeavesTheSearchBehind()
{
    // Nothing remembered and a search that does not end: Cancel in
    // "Looking for a scanner…" leaves at once, and the scanner library is
    // free for the next acquisition, of a device now remembered, while the
    // search still hangs.
    const QString dir = caseDir({});
    const QString go = dir + QStringLiteral("/go"), pidFile = dir + QStringLiteral("/search.pid");
    QProcessEnvironment e = hangingSearch(dir);
    // The hanging backend alone: a backend that answers would end the
    // looking before the cancel. The remembered device below is opened by
    // its name all the same.
    QFile::remove(dir + QStringLiteral("/sane.d/dll.d/test"));
    const QString first = dir + QStringLiteral("/first.bmp"), second = dir + QStringLiteral("/second.bmp");
    Spawn helper;
    QVERIFY(helper.start(Helper,
        {Library, first, QStringLiteral("--cancel-opening"), QStringLiteral("--wait-for"), go,
            QStringLiteral("--then"), second},
        e));
    const auto said = [&] {
        helper.poll();
        return parseHelper(helper.output());
    };
    QTRY_VERIFY_WITH_TIMEOUT(said().waiting, 60000);
    HelperRun run = said();
    QVERIFY2(helper.output().contains("opening Looking for a scanner…"), helper.output().constData());
    QCOMPARE(run.results, QList<int>{EZTW32_FAILED});
    QCOMPARE(run.messages, QStringList());
    QVERIFY(!QFile::exists(first));

    writeFile(dir + QStringLiteral("/config/orvane-capture-desk/scanner.conf"),
        "[chosen]\nname=test:0\nvendor=Noname\nmodel=frontend-tester\ntype=virtual device\n");
    writeFile(go, "");
    QVERIFY(helper.wait(120000));
    QCOMPARE(helper.exitCode(), 0);
    run = parseHelper(helper.output());
    QCOMPARE(run.results, (QList<int>{EZTW32_FAILED, EZTW32_OK}));
    QCOMPARE(QImage(second).size(), QSize(78, 78));
    if (const qint64 pid = searchPid(pidFile))
        QTRY_VERIFY_WITH_TIMEOUT(processGone(pid), 60000);
}

void TestEztw32::unloadingLeavesTheLibrarysThreadsTheirCode()
{
    // The earlier cases scanned in this process, so the library's SANE thread
    // and its watchdog run. The program unloads the library when it closes,
    // before it ends: the threads' code must stay mapped, or the watchdog's
    // next wake-up (every 100 ms) crashes the closing program.
    QVERIFY(acquire_);
    QCOMPARE(dlclose(lib_), 0);
    lib_ = nullptr;
    void* still = dlopen(Library.toLocal8Bit().constData(), RTLD_NOW | RTLD_LOCAL | RTLD_NOLOAD);
    QVERIFY2(still, "the library was unmapped while its threads run");
    dlclose(still);
}

QTEST_MAIN(TestEztw32)
#include "test_eztw32.moc"
