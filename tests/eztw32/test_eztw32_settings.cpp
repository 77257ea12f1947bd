// The scanner library's settings file: what is saved comes back, whatever
// the device's name; a damaged or unusable file gives nothing, or the part
// of it that still reads, and never a choice the library does not know.
#include "common/TestFiles.h"

#include "core/Settings.h"

#include <QDir>
#include <QFile>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

using namespace eztw32;
using orvane::test::writeFile;

class TestEztw32Settings : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void init();

    void fileLiesInTheConfigFolder();
    void chosenDeviceRoundTrip();
    void deviceScannedWithIsRememberedUntilTheNextChoice();
    void deviceSettingsRoundTrip_data();
    void deviceSettingsRoundTrip();
    void devicesAreKeptApartAndForgotten();
    void damagedEntriesAreLeftOut();
    void unusableFilesGiveNothing_data();
    void unusableFilesGiveNothing();

private:
    QString config() const { return dir_->filePath(QStringLiteral("config")); }
    QString file() const { return config() + QStringLiteral("/orvane-capture-desk/scanner.conf"); }

    std::unique_ptr<QTemporaryDir> dir_;
};

void TestEztw32Settings::init()
{
    dir_ = std::make_unique<QTemporaryDir>();
    QVERIFY(dir_->isValid());
    qputenv("XDG_CONFIG_HOME", config().toLocal8Bit());
}

void TestEztw32Settings::fileLiesInTheConfigFolder()
{
    QCOMPARE(Settings::path(), file());
    // A relative folder is not taken: the home folder's .config is.
    qputenv("XDG_CONFIG_HOME", "relative/config");
    QCOMPARE(
        Settings::path(), QDir::homePath() + QStringLiteral("/.config/orvane-capture-desk/scanner.conf"));
    qputenv("XDG_CONFIG_HOME", "");
    QCOMPARE(
        Settings::path(), QDir::homePath() + QStringLiteral("/.config/orvane-capture-desk/scanner.conf"));
}

void TestEztw32Settings::chosenDeviceRoundTrip()
{
    QCOMPARE(Settings().rememberedDevice().has_value(), false);
    const DeviceInfo chosen{"net:host.local:airscan:e0:Büro Scanner", "Vendor, Inc.", "Model = 5", "flatbed"};
    Settings().rememberDevice(chosen);
    QVERIFY(QFile::exists(file()));
    const auto back = Settings().rememberedDevice();
    QVERIFY(back.has_value());
    QCOMPARE(back->name, chosen.name);
    QCOMPARE(back->vendor, chosen.vendor);
    QCOMPARE(back->model, chosen.model);
    QCOMPARE(back->type, chosen.type);
}

void TestEztw32Settings::deviceScannedWithIsRememberedUntilTheNextChoice()
{
    // Scanned with, nothing chosen: that one.
    Settings().rememberUsed({"test:0", "Noname", "frontend-tester", "virtual device"});
    QCOMPARE(Settings().rememberedDevice()->name, std::string("test:0"));
    QCOMPARE(Settings().rememberedDevice()->type, std::string("virtual device"));
    // A choice wins over what was scanned with before it...
    Settings().rememberDevice({"test:1", "", "", ""});
    QCOMPARE(Settings().rememberedDevice()->name, std::string("test:1"));
    // ...and a later scan with another device (the chosen one was gone)
    // over the choice, which is kept beneath it.
    Settings().rememberUsed({"test:2", "", "", ""});
    QCOMPARE(Settings().rememberedDevice()->name, std::string("test:2"));
    const QSettings s(file(), QSettings::IniFormat);
    QCOMPARE(s.value(QStringLiteral("chosen/name")).toString(), QStringLiteral("test:1"));
    // A nameless entry is none: the choice beneath it counts.
    writeFile(file(), "[chosen]\nname=test:1\n[last]\nname=\nvendor=x\n");
    QCOMPARE(Settings().rememberedDevice()->name, std::string("test:1"));
}

void TestEztw32Settings::deviceSettingsRoundTrip_data()
{
    QTest::addColumn<QString>("device");
    QTest::newRow("plain") << "test:0";
    QTest::newRow("a path, spaces, percent and non-ASCII")
        << "net:192.168.1.5:pixma:MG5300 /dev/bus 100% Ölmühle";
    QTest::newRow("characters the file format uses") << "a=b;c,d[e]\\f\"g\"#h";
}

void TestEztw32Settings::deviceSettingsRoundTrip()
{
    QFETCH(QString, device);
    const std::string name = device.toStdString();
    ScanChoices c;
    c.source = "Automatic Document Feeder";
    c.colour = ColourMode::LineArt;
    c.resolution = 299.5;
    c.area = Area{1.5, 2, 210.25, 297};
    c.brightness = -12;
    c.contrast = 40;
    const std::vector<OptionSetting> options{
        {"int-constraint-array", "1, 2, 3"}, {"string", "a=b, c"}, {"mode", "Gray"}, {"button", ""}};
    Settings().saveDevice(name, {c, options});

    const DeviceSettings back = Settings().device(name);
    QVERIFY(back.choices.has_value());
    QCOMPARE(back.choices->source, c.source);
    QCOMPARE(back.choices->colour, c.colour);
    QCOMPARE(back.choices->resolution, c.resolution);
    QCOMPARE(back.choices->area, c.area);
    QCOMPARE(back.choices->brightness, c.brightness);
    QCOMPARE(back.choices->contrast, c.contrast);
    QCOMPARE(back.options, options);
    // The same settings by device, as the opening takes them.
    const RememberedOptions all = Settings().options();
    QCOMPARE(all.size(), std::size_t(1));
    QCOMPARE(all.begin()->first, name);
    QCOMPARE(all.begin()->second, options);

    // Saving again replaces everything: choices absent stay absent.
    ScanChoices fewer;
    fewer.colour = ColourMode::Gray;
    Settings().saveDevice(name, {fewer, {}});
    const DeviceSettings again = Settings().device(name);
    QVERIFY(again.choices.has_value());
    QCOMPARE(again.choices->colour, ColourMode::Gray);
    QVERIFY(!again.choices->source && !again.choices->resolution && !again.choices->area);
    QVERIFY(!again.choices->brightness && !again.choices->contrast);
    QVERIFY(again.options.empty());
    QVERIFY(Settings().options().empty());
}

void TestEztw32Settings::devicesAreKeptApartAndForgotten()
{
    Settings s;
    s.rememberDevice({"test:1", "", "", ""});
    s.saveDevice("test:0", {std::nullopt, {{"int", "1"}}});
    s.saveDevice("test:1", {std::nullopt, {{"int", "2"}}});
    QCOMPARE(s.options(), (RememberedOptions{{"test:0", {{"int", "1"}}}, {"test:1", {{"int", "2"}}}}));
    QVERIFY(!s.device("test:0").choices.has_value());

    QVERIFY(!s.allOptionsShown());
    s.setAllOptionsShown(true);

    s.forgetDevice("test:0");
    QVERIFY(s.device("test:0").options.empty());
    QCOMPARE(s.device("test:1").options, (std::vector<OptionSetting>{{"int", "2"}}));
    // Forgetting a device's settings keeps the device chosen, and the
    // dialog as it was left.
    QCOMPARE(s.rememberedDevice()->name, std::string("test:1"));
    QVERIFY(Settings().allOptionsShown());
}

void TestEztw32Settings::damagedEntriesAreLeftOut()
{
    // The group's name as the file has it.
    Settings().saveDevice("test:0", {ScanChoices{}, {}});
    const QByteArray group = orvane::test::contents(file()).split('\n').value(0) + '\n';
    QVERIFY(group.startsWith("[device-"));
    writeFile(file(),
        group
            + "colour=7\n"
              "resolution=lots\n"
              "area=1, 2, 3\n"
              "brightness=\n"
              "contrast=12\n"
              "options=no equals sign, =no name, int=5, string=x=y\n"
              "[chosen]\n"
              "vendor=Nobody\n");
    const DeviceSettings s = Settings().device("test:0");
    QVERIFY(s.choices.has_value());
    // A colour mode this library does not know is the device's own.
    QCOMPARE(s.choices->colour, ColourMode::DeviceDefault);
    QVERIFY(!s.choices->resolution);
    QVERIFY(!s.choices->area);
    QVERIFY(!s.choices->brightness);
    QCOMPARE(s.choices->contrast, std::optional<double>(12));
    QCOMPARE(s.options, (std::vector<OptionSetting>{{"int", "5"}, {"string", "x=y"}}));
    // A chosen device without a name is none.
    QVERIFY(!Settings().rememberedDevice());

    // An area that does not read as numbers is left out too.
    writeFile(file(), group + "colour=1\narea=a, b, c, d\n");
    const DeviceSettings t = Settings().device("test:0");
    QCOMPARE(t.choices->colour, ColourMode::Colour);
    QVERIFY(!t.choices->area);
}

void TestEztw32Settings::unusableFilesGiveNothing_data()
{
    QTest::addColumn<QString>("kind");
    QTest::newRow("binary garbage") << "garbage";
    QTest::newRow("empty") << "empty";
    QTest::newRow("a folder where the file should be") << "folder";
    QTest::newRow("a file where the folder should be") << "blocked";
}

void TestEztw32Settings::unusableFilesGiveNothing()
{
    QFETCH(QString, kind);
    if (kind == QLatin1String("garbage")) {
        QByteArray bytes;
        for (int i = 0; i < 4096; ++i)
            bytes += char((i * 7919) & 0xFF);
        writeFile(file(), bytes);
    } else if (kind == QLatin1String("empty")) {
        writeFile(file(), QByteArray());
    } else if (kind == QLatin1String("folder")) {
        QVERIFY(QDir().mkpath(file()));
    } else {
        writeFile(config() + QStringLiteral("/orvane-capture-desk"), "not a folder");
    }
    Settings s;
    QVERIFY(!s.rememberedDevice());
    QVERIFY(!s.device("test:0").choices);
    QVERIFY(s.device("test:0").options.empty());
    QVERIFY(s.options().empty());
    // Saving where it cannot be saved loses the settings, nothing more.
    s.saveDevice("test:0", {ScanChoices{}, {{"int", "1"}}});
    s.rememberDevice({"test:0", "", "", ""});
    if (kind == QLatin1String("folder") || kind == QLatin1String("blocked")) {
        QVERIFY(!Settings().rememberedDevice());
        return;
    }
    // Over a damaged file, the settings saved come back.
    QCOMPARE(Settings().rememberedDevice()->name, std::string("test:0"));
    QCOMPARE(Settings().device("test:0").options, (std::vector<OptionSetting>{{"int", "1"}}));
}

QTEST_GUILESS_MAIN(TestEztw32Settings)
#include "test_eztw32_settings.moc"
