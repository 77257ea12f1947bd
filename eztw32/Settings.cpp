#include "Settings.h"

#include <QDir>
#include <QSettings>
#include <QUrl>

namespace eztw32 {
namespace {

QSettings open()
{
    return QSettings(settingsPath(), QSettings::IniFormat);
}

QString group(const std::string& device)
{
    return QStringLiteral("device-")
        + QString::fromLatin1(QUrl::toPercentEncoding(QString::fromStdString(device)));
}

} // namespace

QString settingsPath()
{
    QString base = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (base.isEmpty() || !QDir::isAbsolutePath(base))
        base = QDir::homePath() + QStringLiteral("/.config");
    return base + QStringLiteral("/orvane-capture-desk/scanner.conf");
}

std::optional<DeviceInfo> rememberedDevice()
{
    QSettings s = open();
    const QString name = s.value(QStringLiteral("chosen/name")).toString();
    if (name.isEmpty())
        return std::nullopt;
    return DeviceInfo{name.toStdString(), s.value(QStringLiteral("chosen/vendor")).toString().toStdString(),
        s.value(QStringLiteral("chosen/model")).toString().toStdString(),
        s.value(QStringLiteral("chosen/type")).toString().toStdString()};
}

void rememberDevice(const DeviceInfo& d)
{
    QSettings s = open();
    s.setValue(QStringLiteral("chosen/name"), QString::fromStdString(d.name));
    s.setValue(QStringLiteral("chosen/vendor"), QString::fromStdString(d.vendor));
    s.setValue(QStringLiteral("chosen/model"), QString::fromStdString(d.model));
    s.setValue(QStringLiteral("chosen/type"), QString::fromStdString(d.type));
}

DeviceSettings deviceSettings(const std::string& device)
{
    DeviceSettings result;
    QSettings s = open();
    s.beginGroup(group(device));
    if (s.contains(QStringLiteral("colour"))) {
        ScanChoices c;
        if (s.contains(QStringLiteral("source")))
            c.source = s.value(QStringLiteral("source")).toString().toStdString();
        c.colour = ColourMode(s.value(QStringLiteral("colour")).toInt());
        if (s.contains(QStringLiteral("resolution")))
            c.resolution = s.value(QStringLiteral("resolution")).toDouble();
        const QStringList area = s.value(QStringLiteral("area")).toStringList();
        if (area.size() == 4)
            c.area = Area{area[0].toDouble(), area[1].toDouble(), area[2].toDouble(), area[3].toDouble()};
        if (s.contains(QStringLiteral("brightness")))
            c.brightness = s.value(QStringLiteral("brightness")).toDouble();
        if (s.contains(QStringLiteral("contrast")))
            c.contrast = s.value(QStringLiteral("contrast")).toDouble();
        result.choices = c;
    }
    const QStringList options = s.value(QStringLiteral("options")).toStringList();
    for (const QString& o : options) {
        const qsizetype eq = o.indexOf(QLatin1Char('='));
        if (eq > 0)
            result.options.emplace_back(o.left(eq).toStdString(), o.mid(eq + 1).toStdString());
    }
    return result;
}

void saveDeviceSettings(const std::string& device, const DeviceSettings& settings)
{
    QSettings s = open();
    s.remove(group(device));
    s.beginGroup(group(device));
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
    }
    QStringList options;
    for (const auto& [name, value] : settings.options)
        options << QString::fromStdString(name + "=" + value);
    if (!options.isEmpty())
        s.setValue(QStringLiteral("options"), options);
}

void forgetDeviceSettings(const std::string& device)
{
    QSettings s = open();
    s.remove(group(device));
}

} // namespace eztw32
