// The scanner library's core, linked directly: the options of SANE's test
// backend in the library's own terms, settings made through the client,
// the scan model, and the session's states through real previews and scans
// on the SANE thread, the scans decoded back.
#include "core/Options.h"
#include "core/ReplacingFile.h"
#include "core/SaneClient.h"

#include "OwnFolders.h"

#include <QImage>
#include <QTemporaryDir>
#include <QTest>
#include <QTransform>

#include <optional>
#include <tuple>
#include <type_traits>

using namespace eztw32;

Q_DECLARE_METATYPE(eztw32::ColourMode)
Q_DECLARE_METATYPE(eztw32::Turn)

namespace {

// The device of the test backend, opened by name (no search).
const DeviceInfo TestDevice{"test", "", "", ""};

// Makes a request of the client and waits for the signal that tells its
// outcome: the signal's arguments (the outcome alone where it is the only
// one), or nothing when it did not come in time.
template <class... Args, class Request>
auto await(SaneClient& client, void (SaneClient::*signal)(Args...), Request request, int ms = 20000)
{
    using Got = std::conditional_t<sizeof...(Args) == 1,
        std::decay_t<std::tuple_element_t<0, std::tuple<Args...>>>, std::tuple<std::decay_t<Args>...>>;
    std::optional<Got> got;
    QObject context;
    QObject::connect(&client, signal, &context, [&](Args... args) { got.emplace(args...); });
    request();
    if (!QTest::qWaitFor([&] { return got.has_value(); }, ms))
        qWarning("no answer within %d ms", ms);
    return got;
}

OptionInfo option(const std::vector<OptionInfo>& options, const char* name)
{
    const auto o = findOption(options, name);
    if (!o)
        qFatal("the test backend has no option %s", name);
    return *o;
}

} // namespace

class TestEztw32Core : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();

    void everyOptionTypeInTheLibrarysTerms();
    void optionsAreSetFromText_data();
    void optionsAreSetFromText();
    void rememberedOptionsAreSetOnOpening();
    void defaultsArePutBack();
    void scanModelOfTheTestBackend();
    void scansDecodeBack_data();
    void scansDecodeBack();
    void correctedScansOfTheTestPattern_data();
    void correctedScansOfTheTestPattern();
    void previewFillsTheBufferAndPutsTheOptionsBack();
    void sessionStatesThroughACancelledScan();
    void cancelBeforeTheScanStartsTouchesNothing();

private:
    // Opens the test device. The backend keeps its values from one opening
    // to the next: without remembered settings they are put back to what
    // it had at the first opening in this run.
    OpenOutcome open(const RememberedOptions& remembered = {});
    SetOutcome set(const std::string& name, const std::string& value);
    ScanResult scan(const ScanSettings& settings, const QString& path);
    // A small colour scan: 50 mm square at 50 dpi, 98 pixels each way.
    static ScanSettings smallScan(ColourMode mode = ColourMode::Colour);

    QTemporaryDir tmp_;
    std::unique_ptr<SaneClient> client_;
};

void TestEztw32Core::initTestCase()
{
    useOwnFolders(tmp_);
}

void TestEztw32Core::init()
{
    client_ = std::make_unique<SaneClient>();
}

void TestEztw32Core::cleanup()
{
    // The device closed before the next case opens it.
    client_->close();
    QTRY_COMPARE(client_->state(), SessionState::Idle);
    client_.reset();
}

OpenOutcome TestEztw32Core::open(const RememberedOptions& remembered)
{
    const auto opened = await(*client_, &SaneClient::opened, [&] { client_->open(TestDevice, remembered); });
    if (!opened)
        qFatal("the test device did not open");
    OpenOutcome out = *opened;
    if (out.fault != Fault::None || !remembered.empty())
        return out;
    const auto restored = await(*client_, &SaneClient::defaultsRestored, [&] { client_->restoreDefaults(); });
    if (!restored)
        qFatal("the test device's defaults were not put back");
    out.options = restored->options;
    return out;
}

SetOutcome TestEztw32Core::set(const std::string& name, const std::string& value)
{
    const auto set = await(*client_, &SaneClient::optionSet, [&] { client_->set({name, value}); });
    if (!set)
        qFatal("setting %s did not end", name.c_str());
    if (std::get<0>(*set) != name)
        qFatal("setting %s ended as setting %s", name.c_str(), std::get<0>(*set).c_str());
    return std::get<1>(*set);
}

ScanResult TestEztw32Core::scan(const ScanSettings& settings, const QString& path)
{
    ReplacingFile file;
    if (!file.create(path.toStdString()))
        qFatal("cannot create %s", qPrintable(path));
    const auto ended = await(
        *client_, &SaneClient::scanEnded, [&] { client_->scan(settings, file.fd()); }, 60000);
    const ScanResult r = ended.value_or(ScanResult{Outcome::Failed, Fault::Stalled, Status::IoError, {}});
    if (r.outcome == Outcome::Done && file.commit(ReplacingFile::Sync::No) != 0)
        qFatal("cannot put %s in place", qPrintable(path));
    return r;
}

ScanSettings TestEztw32Core::smallScan(ColourMode mode)
{
    ScanSettings s;
    s.colour = mode;
    s.modeValue = mode == ColourMode::Colour ? "Color" : "Gray";
    s.lineArtByDepth = mode == ColourMode::LineArt;
    s.resolution = 50;
    s.tlX = 0;
    s.tlY = 0;
    s.brX = 50;
    s.brY = 50;
    return s;
}

void TestEztw32Core::everyOptionTypeInTheLibrarysTerms()
{
    const OpenOutcome opened = open();
    QCOMPARE(opened.fault, Fault::None);
    QCOMPARE(opened.status, Status::Good);
    QCOMPARE(client_->state(), SessionState::Open);
    // The test options are inactive until asked for.
    QVERIFY(!option(opened.options, "int").active());
    const SetOutcome enabled = set("enable-test-options", "1");
    QCOMPARE(enabled.status, Status::Good);
    const std::vector<OptionInfo>& all = enabled.options;

    struct Expected {
        const char* name;
        OptionType type;
        OptionConstraint constraint;
        OptionUnit unit;
        int count;
        bool settable;
    };
    const Expected expected[] = {
        {"bool-soft-select-soft-detect", OptionType::Bool, OptionConstraint::None, OptionUnit::None, 1, true},
        {"bool-hard-select-soft-detect", OptionType::Bool, OptionConstraint::None, OptionUnit::None, 1,
            false},
        {"bool-soft-detect", OptionType::Bool, OptionConstraint::None, OptionUnit::None, 1, false},
        {"int", OptionType::Int, OptionConstraint::None, OptionUnit::None, 1, true},
        {"int-constraint-range", OptionType::Int, OptionConstraint::Range, OptionUnit::Pixel, 1, true},
        {"int-constraint-word-list", OptionType::Int, OptionConstraint::WordList, OptionUnit::Bit, 1, true},
        {"int-constraint-array", OptionType::Int, OptionConstraint::None, OptionUnit::Mm, 6, true},
        {"int-constraint-array-constraint-range", OptionType::Int, OptionConstraint::Range, OptionUnit::Dpi,
            6, true},
        {"int-constraint-array-constraint-word-list", OptionType::Int, OptionConstraint::WordList,
            OptionUnit::Percent, 6, true},
        {"gamma-table", OptionType::Int, OptionConstraint::Range, OptionUnit::None, 4096, true},
        {"fixed", OptionType::Fixed, OptionConstraint::None, OptionUnit::None, 1, true},
        {"fixed-constraint-range", OptionType::Fixed, OptionConstraint::Range, OptionUnit::Microsecond, 1,
            true},
        {"fixed-constraint-word-list", OptionType::Fixed, OptionConstraint::WordList, OptionUnit::None, 1,
            true},
        {"string", OptionType::String, OptionConstraint::None, OptionUnit::None, 1, true},
        {"string-constraint-string-list", OptionType::String, OptionConstraint::StringList, OptionUnit::None,
            1, true},
        {"button", OptionType::Button, OptionConstraint::None, OptionUnit::None, 1, true},
        {"resolution", OptionType::Fixed, OptionConstraint::Range, OptionUnit::Dpi, 1, true},
        {"br-x", OptionType::Fixed, OptionConstraint::Range, OptionUnit::Mm, 1, true},
    };
    for (const Expected& e : expected) {
        const OptionInfo o = option(all, e.name);
        const QByteArray what = e.name;
        QVERIFY2(o.type == e.type, what);
        QVERIFY2(o.constraint == e.constraint, what);
        QVERIFY2(o.unit == e.unit, what);
        QVERIFY2(o.count == e.count, what);
        QVERIFY2(o.settable() == e.settable, what);
        if (o.type != OptionType::Button && o.type != OptionType::String && (o.caps & OptionCap::SoftDetect))
            QVERIFY2(int(o.values.size()) == e.count, what);
    }
    // Capabilities and groups come through as the backend gives them.
    QVERIFY(option(all, "bool-soft-select-soft-detect-emulated").caps & OptionCap::Emulated);
    QVERIFY(option(all, "bool-soft-select-soft-detect-auto").caps & OptionCap::Automatic);
    QVERIFY(option(all, "bool-hard-select").caps & OptionCap::HardSelect);
    QVERIFY(option(all, "int").advanced());
    QVERIFY(!option(all, "mode").advanced());
    QCOMPARE(option(all, "int").group, std::string("Int test options"));
    QVERIFY(!option(all, "three-pass-order").active()); // only with three-pass

    // Fixed-point numbers as numbers, lists and ranges as given.
    const OptionInfo range = option(all, "fixed-constraint-range");
    QVERIFY(std::abs(range.min - -42.17) < 1e-4);
    QCOMPARE(range.quant, 2.0);
    const OptionInfo fixedWords = option(all, "fixed-constraint-word-list");
    const std::vector<double> fixedList{-32.7, 12.1, 42, 129.5};
    QCOMPARE(fixedWords.numbers.size(), fixedList.size());
    for (std::size_t i = 0; i < fixedList.size(); ++i)
        QVERIFY(std::abs(fixedWords.numbers[i] - fixedList[i]) < 1e-4);
    const OptionInfo words = option(all, "int-constraint-word-list");
    QVERIFY(words.offers(-42) && words.offers(256) && !words.offers(43));
    QVERIFY(range.offers(0) && !range.offers(-43) && option(all, "int").offers(-1e9));
    QCOMPARE(option(all, "string-constraint-string-list").strings,
        (std::vector<std::string>{"First entry", "Second entry",
            "This is the very long third entry. Maybe the frontend has an idea how to display it"}));
    QCOMPARE(option(all, "source").text, std::string("Flatbed"));
    QCOMPARE(option(all, "resolution").value, 150.0);
}

void TestEztw32Core::optionsAreSetFromText_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("value");
    QTest::addColumn<int>("status");
    // Numbers comma separated, or the text; none: as before.
    QTest::addColumn<QString>("reported");

    const int good = int(Status::Good), inval = int(Status::Inval);
    QTest::newRow("bool") << "bool-soft-select-soft-detect"
                          << "1" << good << "1";
    QTest::newRow("int") << "int"
                         << "-17" << good << "-17";
    QTest::newRow("int, rounded") << "int"
                                  << "16.6" << good << "17";
    QTest::newRow("fixed") << "fixed"
                           << "12.5" << good << "12.5";
    QTest::newRow("array, whole") << "int-constraint-array"
                                  << "1, 2, 3, 4, 5, 6" << good << "1,2,3,4,5,6";
    QTest::newRow("array, the last value fills the rest") << "int-constraint-array"
                                                          << "7,8" << good << "7,8,8,8,8,8";
    QTest::newRow("string") << "string"
                            << "Hello" << good << "Hello";
    QTest::newRow("string from a list") << "string-constraint-string-list"
                                        << "Second entry" << good << "Second entry";
    QTest::newRow("button") << "button" << QString() << good << QString();
    QTest::newRow("not a number") << "int"
                                  << "seventeen" << inval << QString();
    QTest::newRow("one bad number in an array") << "int-constraint-array"
                                                << "1,x,3" << inval << QString();
    QTest::newRow("set by a switch on the device") << "bool-hard-select-soft-detect"
                                                   << "1" << inval << QString();
    QTest::newRow("no such option") << "no-such-option"
                                    << "1" << inval << QString();
}

void TestEztw32Core::optionsAreSetFromText()
{
    QFETCH(QString, name);
    QFETCH(QString, value);
    QFETCH(int, status);
    QFETCH(QString, reported);
    QCOMPARE(open().fault, Fault::None);
    // The backend keeps values from one opening to the next: the test
    // options start from its defaults.
    const SetOutcome enabled = set("enable-test-options", "1");
    QCOMPARE(enabled.status, Status::Good);
    QCOMPARE(client_->state(), SessionState::Open);
    const SetOutcome out = set(name.toStdString(), value.toStdString());
    QCOMPARE(int(out.status), status);
    const auto o = findOption(out.options, name.toStdString());
    if (!o || o->type == OptionType::Button)
        return;
    auto shown = [](const OptionInfo& o) {
        if (o.type == OptionType::String)
            return QString::fromStdString(o.text);
        QStringList numbers;
        for (double v : o.values)
            numbers << QString::number(v);
        return numbers.join(QLatin1Char(','));
    };
    QCOMPARE(shown(*o), reported.isNull() ? shown(option(enabled.options, o->name.c_str())) : reported);
}

void TestEztw32Core::rememberedOptionsAreSetOnOpening()
{
    // In the order they were made: "int" becomes settable only once the
    // test options are on. Another device's settings are not touched.
    const RememberedOptions remembered{
        {"test", {{"enable-test-options", "1"}, {"int", "17"}, {"string", "remembered"}}},
        {"test:1", {{"int", "99"}}},
    };
    const OpenOutcome opened = open(remembered);
    QCOMPARE(opened.fault, Fault::None);
    QCOMPARE(option(opened.options, "int").value, 17.0);
    QCOMPARE(option(opened.options, "string").text, std::string("remembered"));
}

void TestEztw32Core::defaultsArePutBack()
{
    // The first opening in the run is what "defaults" means; a setting
    // made since is undone, also one that made other options active.
    QCOMPARE(open().fault, Fault::None);
    QCOMPARE(set("enable-test-options", "1").status, Status::Good);
    QCOMPARE(set("int", "5").status, Status::Good);
    QCOMPARE(set("mode", "Gray").status, Status::Good);
    const auto restored = await(*client_, &SaneClient::defaultsRestored, [&] { client_->restoreDefaults(); });
    QVERIFY(restored);
    const std::vector<OptionInfo>& now = restored->options;
    QCOMPARE(option(now, "mode").text, std::string("Color"));
    QCOMPARE(option(now, "enable-test-options").value, 0.0);
    QVERIFY(!option(now, "int").active());
}

void TestEztw32Core::scanModelOfTheTestBackend()
{
    const OpenOutcome opened = open();
    QCOMPARE(opened.fault, Fault::None);
    const ScanOptions model(opened.options);
    QCOMPARE(model.sources(), (std::vector<std::string>{"Flatbed", "Automatic Document Feeder"}));
    // No line-art mode of its own: line art is 1-bit gray.
    QCOMPARE(model.colourModes(),
        (std::vector<ColourMode>{ColourMode::Colour, ColourMode::Gray, ColourMode::LineArt}));
    const ScanSettings lineArt
        = model.settings({std::nullopt, ColourMode::LineArt, 300.0, std::nullopt, {}, {}});
    QCOMPARE(lineArt.modeValue, std::optional<std::string>("Gray"));
    QVERIFY(lineArt.lineArtByDepth);
    QCOMPARE(lineArt.resolution, std::optional<double>(300));
    // A range of resolutions offers the common ones inside it.
    QCOMPARE(model.resolutions(), (std::vector<double>{50, 75, 100, 150, 200, 300, 400, 600}));
    QVERIFY(model.hasArea());
    QCOMPARE(model.bounds(), (Area{0, 0, 297, 297}));
    QCOMPARE(model.areaStep(), 1.0);
    // What the device has now; A4 where the bed holds it.
    const ScanChoices now = model.current();
    QCOMPARE(now.source, std::optional<std::string>("Flatbed"));
    QCOMPARE(now.colour, ColourMode::Colour);
    QCOMPARE(now.resolution, std::optional<double>(150));
    QCOMPARE(now.area, std::optional<Area>(Area{0, 0, 210, 297}));
    const ScanOptions::Size size = model.expectedSize(now);
    QCOMPARE(size.width, std::int64_t(1240)); // 210 mm at 150 dpi
    QCOMPARE(size.height, std::int64_t(1753));
    QCOMPARE(size.fileBytes(), 54 + std::int64_t(1240 * 3) * 1753);
    // The preview: the whole bed at the lowest resolution offered from
    // 50 dpi up, in the mode and source chosen for the scan.
    ScanChoices chosen = now;
    const ScanChoices preview = model.previewChoices(chosen);
    QCOMPARE(preview.colour, ColourMode::Colour);
    QCOMPARE(preview.resolution, std::optional<double>(50));
    QCOMPARE(preview.area, std::optional<Area>(model.bounds()));
    chosen.colour = ColourMode::LineArt;
    chosen.source = "Automatic Document Feeder";
    chosen.area = Area{10, 10, 20, 20};
    const ScanChoices lineArtPreview = model.previewChoices(chosen);
    QCOMPARE(lineArtPreview.colour, ColourMode::LineArt);
    QCOMPARE(lineArtPreview.source, chosen.source);
    QCOMPARE(lineArtPreview.area, std::optional<Area>(model.bounds()));
    // A mode the device does not have leaves the device's own.
    chosen.colour = ColourMode::DeviceDefault;
    QCOMPARE(model.previewChoices(chosen).colour, ColourMode::Colour);
    // An area is kept inside the bed, on its steps, corners in order.
    QCOMPARE(model.clamp({250.4, 310, -5, 20.2}), (Area{0, 20, 250, 297}));
    QCOMPARE(model.clamp({100, 100, 100, 100}), (Area{100, 100, 101, 101}));
}

void TestEztw32Core::scansDecodeBack_data()
{
    QTest::addColumn<ColourMode>("mode");
    QTest::addColumn<QString>("frames"); // the test backend's option that changes them, if any
    QTest::addColumn<int>("depth"); // of the decoded picture

    QTest::newRow("colour") << ColourMode::Colour << QString() << 32;
    QTest::newRow("colour, three passes") << ColourMode::Colour << "three-pass" << 32;
    QTest::newRow("colour, hand scanner") << ColourMode::Colour << "hand-scanner" << 32;
    QTest::newRow("colour, three passes, hand scanner")
        << ColourMode::Colour << "three-pass,hand-scanner" << 32;
    QTest::newRow("gray") << ColourMode::Gray << QString() << 8;
    QTest::newRow("gray, hand scanner") << ColourMode::Gray << "hand-scanner" << 8;
    QTest::newRow("line art") << ColourMode::LineArt << QString() << 1;
}

void TestEztw32Core::scansDecodeBack()
{
    QFETCH(ColourMode, mode);
    QFETCH(QString, frames);
    QFETCH(int, depth);
    QCOMPARE(open().fault, Fault::None);
    QCOMPARE(set("test-picture", "Color pattern").status, Status::Good);
    QCOMPARE(set("three-pass", "0").status, Status::Good);
    QCOMPARE(set("hand-scanner", "0").status, Status::Good);
    // The same scan in one pass first, as the picture to match.
    const QString plainPath = tmp_.filePath(QStringLiteral("plain.bmp"));
    QCOMPARE(scan(smallScan(mode), plainPath).outcome, Outcome::Done);
    const QImage plain(plainPath);
    QCOMPARE(plain.size(), QSize(98, 98));
    QCOMPARE(plain.depth(), depth);
    QCOMPARE(plain.dotsPerMeterX(), 1969); // 50 dpi
    if (frames.isEmpty())
        return;

    // A hand scanner's picture has the backend's own size: the one-pass
    // picture to match is a hand scanner's too.
    QImage expected = plain;
    const QStringList options = frames.split(QLatin1Char(','));
    if (options.size() > 1) {
        QCOMPARE(open().fault, Fault::None);
        QCOMPARE(set(options.last().toStdString(), "1").status, Status::Good);
        QCOMPARE(scan(smallScan(mode), plainPath).outcome, Outcome::Done);
        expected = QImage(plainPath);
    }
    QCOMPARE(open().fault, Fault::None);
    for (const QString& o : options)
        QCOMPARE(set(o.toStdString(), "1").status, Status::Good);
    const QString path = tmp_.filePath(QStringLiteral("frames.bmp"));
    const ScanResult r = scan(smallScan(mode), path);
    QCOMPARE(r.outcome, Outcome::Done);
    const QImage image(path);
    QVERIFY(!image.isNull());
    QCOMPARE(image.depth(), depth);
    if (options.contains(QLatin1String("hand-scanner"))) {
        QVERIFY(image.height() > 0);
        if (options.size() == 1)
            return;
    }
    QCOMPARE(image.size(), expected.size());
    QCOMPARE(image.convertToFormat(QImage::Format_RGB32), expected.convertToFormat(QImage::Format_RGB32));
}

void TestEztw32Core::correctedScansOfTheTestPattern_data()
{
    QTest::addColumn<ColourMode>("mode");
    QTest::addColumn<bool>("straighten");
    QTest::addColumn<Turn>("turn");
    QTest::addColumn<int>("degrees"); // that turn the result back

    QTest::newRow("colour, turned right") << ColourMode::Colour << false << Turn::Right << -90;
    QTest::newRow("line art, turned right") << ColourMode::LineArt << false << Turn::Right << -90;
    QTest::newRow("line art, straight, straightened") << ColourMode::LineArt << true << Turn::None << 0;
    QTest::newRow("gray, straight, straightened, half turn")
        << ColourMode::Gray << true << Turn::HalfTurn << 180;
}

void TestEztw32Core::correctedScansOfTheTestPattern()
{
    QFETCH(ColourMode, mode);
    QFETCH(bool, straighten);
    QFETCH(Turn, turn);
    QFETCH(int, degrees);
    ScanSettings s = smallScan(mode);
    s.brY = 30; // 98 x 59 pixels
    const QString plainPath = tmp_.filePath(QStringLiteral("plain.bmp"));
    const QString path = tmp_.filePath(QStringLiteral("corrected.bmp"));
    for (const QString& to : {plainPath, path}) {
        QCOMPARE(open().fault, Fault::None);
        QCOMPARE(set("test-picture", "Color pattern").status, Status::Good);
        QCOMPARE(scan(s, to).outcome, Outcome::Done);
        s.straighten = straighten;
        s.turn = turn;
    }
    const QImage plain(plainPath), got(path);
    QCOMPARE(plain.size(), QSize(98, 59));
    QCOMPARE(got.size(), turn == Turn::Right ? QSize(59, 98) : QSize(98, 59));
    QCOMPARE(got.depth(), plain.depth());
    QCOMPARE(got.dotsPerMeterX(), 1969);
    QCOMPARE(got.dotsPerMeterY(), 1969);
    QCOMPARE(got.transformed(QTransform().rotate(degrees)).convertToFormat(QImage::Format_RGB32),
        plain.convertToFormat(QImage::Format_RGB32));
}

void TestEztw32Core::previewFillsTheBufferAndPutsTheOptionsBack()
{
    const OpenOutcome opened = open();
    QCOMPARE(opened.fault, Fault::None);
    const ScanOptions model(opened.options);
    auto buffer = std::make_shared<PreviewBuffer>();
    const auto ended = await(
        *client_, &SaneClient::previewEnded,
        [&] { client_->preview(model.settings(model.previewChoices(model.current())), buffer); }, 60000);
    QVERIFY(ended);
    const auto& [result, after] = *ended;
    QCOMPARE(result.outcome, Outcome::Done);
    {
        std::lock_guard lock(buffer->mutex);
        QCOMPARE(buffer->width, 584); // 297 mm at 50 dpi
        QCOMPARE(buffer->height, 584);
        QCOMPARE(buffer->rows, buffer->height);
        QCOMPARE(buffer->pixels.size(), std::size_t(584 * 584 * 3));
    }
    for (const char* name : {"mode", "resolution", "tl-x", "br-x", "br-y"}) {
        const OptionInfo was = option(opened.options, name), now = option(after, name);
        QVERIFY2(was.text == now.text && was.values == now.values, name);
    }
    QCOMPARE(client_->state(), SessionState::Open);
}

void TestEztw32Core::sessionStatesThroughACancelledScan()
{
    QCOMPARE(client_->state(), SessionState::Idle);
    QCOMPARE(open().fault, Fault::None);
    QCOMPARE(client_->state(), SessionState::Open);
    // Slow reads, so that the scan is under way long enough to be seen.
    QCOMPARE(set("read-limit", "1").status, Status::Good);
    QCOMPARE(set("read-limit-size", "256").status, Status::Good);
    QCOMPARE(set("read-delay", "1").status, Status::Good);
    QCOMPARE(set("read-delay-duration", "50000").status, Status::Good);

    const QString path = tmp_.filePath(QStringLiteral("cancelled.bmp"));
    ReplacingFile file;
    QVERIFY(file.create(path.toStdString()));
    std::optional<ScanResult> ended;
    connect(client_.get(), &SaneClient::scanEnded, this, [&](const ScanResult& r) { ended = r; });
    client_->scan(smallScan(), file.fd());
    QTRY_VERIFY_WITH_TIMEOUT(client_->progress().dataArrived.load(), 20000);
    QCOMPARE(client_->state(), SessionState::Scanning);
    QVERIFY(client_->progress().bytesTotal.load() == 98 * 98 * 3);
    client_->cancel();
    QCOMPARE(client_->state(), SessionState::Cancelling);
    QTRY_VERIFY_WITH_TIMEOUT(ended.has_value(), 20000);
    QCOMPARE(ended->outcome, Outcome::Cancelled);
    QCOMPARE(ended->fault, Fault::None);
    // The scan closes the device after it.
    QCOMPARE(client_->state(), SessionState::Idle);
    QVERIFY(client_->progress().bytesRead.load() < 98 * 98 * 3);
}

void TestEztw32Core::cancelBeforeTheScanStartsTouchesNothing()
{
    // A cancel that comes while the scan is still queued behind another
    // job: the scan ends at once, the device never started.
    QCOMPARE(open().fault, Fault::None);
    const QString path = tmp_.filePath(QStringLiteral("never.bmp"));
    ReplacingFile file;
    QVERIFY(file.create(path.toStdString()));
    const auto ended = await(*client_, &SaneClient::scanEnded, [&] {
        client_->set({"read-delay", "1"}); // queued first
        client_->scan(smallScan(), file.fd());
        client_->cancel();
    });
    QVERIFY(ended);
    QCOMPARE(ended->outcome, Outcome::Cancelled);
    QCOMPARE(client_->progress().bytesRead.load(), std::int64_t(0));
    QCOMPARE(client_->state(), SessionState::Idle);
}

QTEST_GUILESS_MAIN(TestEztw32Core)
#include "test_eztw32_core.moc"
