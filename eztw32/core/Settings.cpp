#include "Settings.h"

#include <QDir>
#include <QSettings>
#include <QStringList>
#include <QUrl>

namespace eztw32 {
namespace {

const QString DevicePrefix = QStringLiteral("device-");

QString group(const std::string& device)
{
    return DevicePrefix + QString::fromLatin1(QUrl::toPercentEncoding(QString::fromStdString(device)));
}

std::optional<double> number(const QSettings& s, const QString& key)
{
    if (!s.contains(key))
        return std::nullopt;
    bool ok = false;
    const double v = s.value(key).toDouble(&ok);
    return ok ? std::optional<double>(v) : std::nullopt;
}

std::vector<OptionSetting> optionsOf(const QSettings& s)
{
    std::vector<OptionSetting> result;
    const QStringList options = s.value(QStringLiteral("options")).toStringList();
    for (const QString& o : options) {
        const qsizetype eq = o.indexOf(QLatin1Char('='));
        if (eq > 0)
            result.emplace_back(o.left(eq).toStdString(), o.mid(eq + 1).toStdString());
    }
    return result;
}

void writeDevice(QSettings& s, const QString& group, const DeviceInfo& d)
{
    s.setValue(group + QStringLiteral("/name"), QString::fromStdString(d.name));
    s.setValue(group + QStringLiteral("/vendor"), QString::fromStdString(d.vendor));
    s.setValue(group + QStringLiteral("/model"), QString::fromStdString(d.model));
    s.setValue(group + QStringLiteral("/type"), QString::fromStdString(d.type));
}

} // namespace

Settings::Settings()
    : path_(path())
    , owner_(std::this_thread::get_id())
{ }

QString Settings::path()
{
    QString base = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (base.isEmpty() || !QDir::isAbsolutePath(base))
        base = QDir::homePath() + QStringLiteral("/.config");
    return base + QStringLiteral("/orvane-capture-desk/scanner.conf");
}

void Settings::checkThread() const
{
    Q_ASSERT_X(std::this_thread::get_id() == owner_, "eztw32::Settings", "used off its own thread");
}

std::optional<DeviceInfo> Settings::rememberedDevice() const
{
    checkThread();
    const QSettings s(path_, QSettings::IniFormat);
    for (const QString& group : {QStringLiteral("last"), QStringLiteral("chosen")}) {
        const QString name = s.value(group + QStringLiteral("/name")).toString();
        if (name.isEmpty())
            continue;
        return DeviceInfo{name.toStdString(),
            s.value(group + QStringLiteral("/vendor")).toString().toStdString(),
            s.value(group + QStringLiteral("/model")).toString().toStdString(),
            s.value(group + QStringLiteral("/type")).toString().toStdString()};
    }
    return std::nullopt;
}

void Settings::rememberDevice(const DeviceInfo& d)
{
    checkThread();
    QSettings s(path_, QSettings::IniFormat);
    s.remove(QStringLiteral("last"));
    writeDevice(s, QStringLiteral("chosen"), d);
}

void Settings::rememberUsed(const DeviceInfo& d)
{
    checkThread();
    QSettings s(path_, QSettings::IniFormat);
    writeDevice(s, QStringLiteral("last"), d);
}

DeviceSettings Settings::device(const std::string& name) const
{
    checkThread();
    DeviceSettings result;
    QSettings s(path_, QSettings::IniFormat);
    s.beginGroup(group(name));
    bool colourOk = false;
    const int colour = s.value(QStringLiteral("colour")).toInt(&colourOk);
    if (colourOk) {
        ScanChoices c;
        if (s.contains(QStringLiteral("source")))
            c.source = s.value(QStringLiteral("source")).toString().toStdString();
        // A mode this program does not know is the device's own.
        c.colour = colour >= int(ColourMode::DeviceDefault) && colour <= int(ColourMode::LineArt)
            ? ColourMode(colour)
            : ColourMode::DeviceDefault;
        c.resolution = number(s, QStringLiteral("resolution"));
        const QStringList area = s.value(QStringLiteral("area")).toStringList();
        if (area.size() == 4) {
            bool ok[4] = {};
            const Area a{area[0].toDouble(&ok[0]), area[1].toDouble(&ok[1]), area[2].toDouble(&ok[2]),
                area[3].toDouble(&ok[3])};
            if (ok[0] && ok[1] && ok[2] && ok[3])
                c.area = a;
        }
        c.brightness = number(s, QStringLiteral("brightness"));
        c.contrast = number(s, QStringLiteral("contrast"));
        const int from = s.value(QStringLiteral("areaFrom")).toInt();
        if (from >= int(ScanChoices::AreaFrom::Device) && from <= int(ScanChoices::AreaFrom::Found))
            c.areaFrom = ScanChoices::AreaFrom(from);
        c.findDocument = s.value(QStringLiteral("findDocument"), true).toBool();
        c.straighten = s.value(QStringLiteral("straighten"), false).toBool();
        const int turn = s.value(QStringLiteral("turn")).toInt();
        if (turn >= int(Turn::None) && turn <= int(Turn::Left))
            c.turn = Turn(turn);
        // Out of range or unreadable: left as it is.
        const auto within = [&](const char* key, double lo, double hi, double& v) {
            if (const auto n = number(s, QString::fromLatin1(key)); n && *n >= lo && *n <= hi)
                v = *n;
        };
        within("softBrightness", -100, 100, c.light.brightness);
        within("softContrast", -100, 100, c.light.contrast);
        within("softGamma", 0.1, 10, c.light.gamma);
        result.choices = c;
    }
    result.options = optionsOf(s);
    return result;
}

RememberedOptions Settings::options() const
{
    checkThread();
    RememberedOptions result;
    QSettings s(path_, QSettings::IniFormat);
    for (const QString& g : s.childGroups()) {
        if (!g.startsWith(DevicePrefix))
            continue;
        const std::string name
            = QUrl::fromPercentEncoding(g.mid(DevicePrefix.size()).toLatin1()).toStdString();
        s.beginGroup(g);
        std::vector<OptionSetting> options = optionsOf(s);
        s.endGroup();
        if (!options.empty())
            result.emplace(name, std::move(options));
    }
    return result;
}

void Settings::saveDevice(const std::string& name, const DeviceSettings& settings)
{
    checkThread();
    QSettings s(path_, QSettings::IniFormat);
    s.remove(group(name));
    s.beginGroup(group(name));
    if (const auto& c = settings.choices) {
        if (c->source)
            s.setValue(QStringLiteral("source"), QString::fromStdString(*c->source));
        s.setValue(QStringLiteral("colour"), int(c->colour));
        if (c->resolution)
            s.setValue(QStringLiteral("resolution"), *c->resolution);
        if (c->area)
            s.setValue(QStringLiteral("area"),
                QStringList{QString::number(c->area->tlX), QString::number(c->area->tlY),
                    QString::number(c->area->brX), QString::number(c->area->brY)});
        if (c->brightness)
            s.setValue(QStringLiteral("brightness"), *c->brightness);
        if (c->contrast)
            s.setValue(QStringLiteral("contrast"), *c->contrast);
        s.setValue(QStringLiteral("areaFrom"), int(c->areaFrom));
        s.setValue(QStringLiteral("findDocument"), c->findDocument);
        s.setValue(QStringLiteral("straighten"), c->straighten);
        s.setValue(QStringLiteral("turn"), int(c->turn));
        s.setValue(QStringLiteral("softBrightness"), c->light.brightness);
        s.setValue(QStringLiteral("softContrast"), c->light.contrast);
        s.setValue(QStringLiteral("softGamma"), c->light.gamma);
    }
    QStringList options;
    for (const auto& [option, value] : settings.options)
        options << QString::fromStdString(option + "=" + value);
    if (!options.isEmpty())
        s.setValue(QStringLiteral("options"), options);
}

void Settings::forgetDevice(const std::string& name)
{
    checkThread();
    QSettings s(path_, QSettings::IniFormat);
    s.remove(group(name));
}

bool Settings::allOptionsShown() const
{
    checkThread();
    const QSettings s(path_, QSettings::IniFormat);
    return s.value(QStringLiteral("dialog/all-options"), false).toBool();
}

void Settings::setAllOptionsShown(bool shown)
{
    checkThread();
    QSettings s(path_, QSettings::IniFormat);
    s.setValue(QStringLiteral("dialog/all-options"), shown);
}

} // namespace eztw32
