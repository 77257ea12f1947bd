#include "shell/SkinFramework.h"

#include "shell/AppError.h"
#include "shell/Appearance.h"
#include "shell/SkinImages.h"

#include <QApplication>
#include <QDialog>
#include <QEvent>
#include <QFile>
#include <QHash>
#include <QPointer>
#include <QRegularExpression>
#include <QStringDecoder>
#include <QWidget>

namespace orvane {

namespace {

// "Invalid file format": the file is there and readable but is no skin.
constexpr int ErrInvalidFileFormat = 321;

[[noreturn]] void skinError(int number, const QString& path, const QString& problem)
{
    raiseError(number, QStringLiteral("Cannot load the skin ") + path + QStringLiteral(": ") + problem);
}

struct HandleTable {
    QHash<qint32, QPointer<QWidget>> windows;
    qint32 next = 0x100;
};

HandleTable& handles()
{
    static HandleTable table;
    return table;
}

const char* const HandleProperty = "orvaneWindowHandle";

// Lines count from 1, as an editor shows them.
int lineAt(const QString& text, qsizetype offset)
{
    return 1 + static_cast<int>(QStringView(text).left(offset).count(QLatin1Char('\n')));
}

} // namespace

qint32 windowHandleOf(QWidget* window)
{
    if (!window)
        return 0;
    bool ok = false;
    const qint32 known = window->property(HandleProperty).toInt(&ok);
    if (ok && known != 0)
        return known;
    HandleTable& table = handles();
    const qint32 handle = table.next++;
    table.windows.insert(handle, window);
    window->setProperty(HandleProperty, handle);
    QObject::connect(window, &QObject::destroyed, [handle] { handles().windows.remove(handle); });
    return handle;
}

QWidget* windowFromHandle(qint32 handle)
{
    return handles().windows.value(handle);
}

SkinContents parseSkin(const QByteArray& raw, const QString& path)
{
    QByteArray bytes = raw;
    if (bytes.startsWith("\xEF\xBB\xBF"))
        bytes.remove(0, 3);
    if (bytes.trimmed().isEmpty())
        skinError(ErrInvalidFileFormat, path, QStringLiteral("the file is empty"));
    for (qsizetype i = 0; i < bytes.size(); ++i) {
        const auto c = static_cast<unsigned char>(bytes[i]);
        const bool textControl = c == '\t' || c == '\n' || c == '\r' || c == '\f';
        if ((c < 0x20 && !textControl) || c == 0x7F)
            skinError(ErrInvalidFileFormat, path,
                QStringLiteral("the file is not text (byte 0x%1 at offset %2)")
                    .arg(c, 2, 16, QLatin1Char('0'))
                    .arg(i));
    }
    QStringDecoder decoder(QStringDecoder::Utf8);
    const QString text = decoder(bytes);
    if (decoder.hasError())
        skinError(ErrInvalidFileFormat, path, QStringLiteral("the file is not UTF-8 text"));

    SkinContents skin;
    skin.styleSheet = text;

    static const QRegularExpression faceDeclaration(
        QStringLiteral("^\\s*face-colou?r\\s*:\\s*(.*?)\\s*;?\\s*$"),
        QRegularExpression::CaseInsensitiveOption | QRegularExpression::DotMatchesEverythingOption);

    // The text with its comments blanked out (line breaks kept), for the
    // check of the declaration form below.
    QString plain = text;
    bool inRule = false;
    bool hasRules = false;
    int line = 1;
    int ruleLine = 0;
    qsizetype pendingText = -1; // where text outside any rule began
    int pendingLine = 0;
    const qsizetype n = text.size();
    for (qsizetype i = 0; i < n; ++i) {
        const QChar c = text[i];
        if (c == QLatin1Char('\n')) {
            ++line;
            continue;
        }
        if (c == QLatin1Char('/') && i + 1 < n && text[i + 1] == QLatin1Char('*')) {
            const qsizetype end = text.indexOf(QStringLiteral("*/"), i + 2);
            if (end < 0)
                skinError(ErrInvalidFileFormat, path,
                    QStringLiteral("the comment opened at line %1 is never closed").arg(line));
            const QString body = text.mid(i + 2, end - i - 2);
            const QRegularExpressionMatch m = faceDeclaration.match(body);
            if (m.hasMatch()) {
                const QString value = m.captured(1);
                const QColor colour = QColor::isValidColor(value) ? QColor(value) : QColor();
                if (!colour.isValid())
                    skinError(ErrInvalidFileFormat, path,
                        QStringLiteral("the face-colour \"%1\" at line %2 is not a colour")
                            .arg(value)
                            .arg(line));
                skin.faceColour = colour;
            }
            for (qsizetype k = i; k < end + 2; ++k) {
                if (plain[k] == QLatin1Char('\n'))
                    ++line;
                else
                    plain[k] = QLatin1Char(' ');
            }
            i = end + 1;
            continue;
        }
        if (c == QLatin1Char('"') || c == QLatin1Char('\'')) {
            qsizetype k = i + 1;
            while (k < n && text[k] != c && text[k] != QLatin1Char('\n')) {
                if (text[k] == QLatin1Char('\\'))
                    ++k;
                ++k;
            }
            if (k >= n || text[k] != c)
                skinError(ErrInvalidFileFormat, path,
                    QStringLiteral("the string opened at line %1 is not closed on its line").arg(line));
            if (!inRule && pendingText < 0) {
                pendingText = i;
                pendingLine = line;
            }
            i = k;
            continue;
        }
        if (c == QLatin1Char('{')) {
            if (inRule)
                skinError(ErrInvalidFileFormat, path,
                    QStringLiteral("the \"{\" at line %1 lies inside the rule opened at line %2")
                        .arg(line)
                        .arg(ruleLine));
            if (pendingText < 0)
                skinError(ErrInvalidFileFormat, path,
                    QStringLiteral("the \"{\" at line %1 has no selector before it").arg(line));
            inRule = true;
            hasRules = true;
            ruleLine = line;
            pendingText = -1;
            continue;
        }
        if (c == QLatin1Char('}')) {
            if (!inRule)
                skinError(ErrInvalidFileFormat, path,
                    QStringLiteral("the \"}\" at line %1 closes no rule").arg(line));
            inRule = false;
            continue;
        }
        if (!inRule && !c.isSpace() && pendingText < 0) {
            pendingText = i;
            pendingLine = line;
        }
    }
    if (inRule)
        skinError(ErrInvalidFileFormat, path,
            QStringLiteral("the rule opened at line %1 is never closed (a \"}\" is missing)").arg(ruleLine));

    if (hasRules) {
        if (pendingText >= 0)
            skinError(ErrInvalidFileFormat, path,
                QStringLiteral("the text at line %1 is not followed by a rule in { }").arg(pendingLine));
        return skin;
    }

    // No rules: the sheet may still be a plain list of declarations, which
    // then style the window itself ("background-color: #eee;").
    if (plain.trimmed().isEmpty()) {
        if (!skin.faceColour)
            skinError(ErrInvalidFileFormat, path, QStringLiteral("the file holds no style rules"));
        return skin;
    }
    static const QRegularExpression declaration(
        QStringLiteral("^[A-Za-z-]+\\s*:\\s*\\S"), QRegularExpression::DotMatchesEverythingOption);
    qsizetype start = 0;
    while (start <= plain.size()) {
        qsizetype end = plain.indexOf(QLatin1Char(';'), start);
        if (end < 0)
            end = plain.size();
        const QString piece = plain.mid(start, end - start);
        const QString trimmed = piece.trimmed();
        if (!trimmed.isEmpty() && !declaration.match(trimmed).hasMatch()) {
            const qsizetype at = start + piece.indexOf(trimmed.front());
            skinError(ErrInvalidFileFormat, path,
                QStringLiteral("\"%1\" at line %2 is neither a rule nor a declaration")
                    .arg(trimmed.section(QLatin1Char('\n'), 0, 0).left(40))
                    .arg(lineAt(text, at)));
        }
        start = end + 1;
    }
    return skin;
}

SkinFramework::SkinFramework(QObject* parent)
    : QObject(parent)
{ }

SkinFramework::~SkinFramework()
{
    if (ownsFaceColour_)
        setSkinFaceColour(std::nullopt);
}

void SkinFramework::LoadSkin(const QString& path, const QString& section)
{
    if (!section.isEmpty())
        skinError(ErrInvalidCall, path,
            QStringLiteral("skin sections (\"%1\") are not supported; the second argument must be empty")
                .arg(section));
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        skinError(file.exists() ? ErrPermissionDenied : ErrFileNotFound, path, file.errorString());
    const QByteArray bytes = file.read(MaxSkinFileSize + 1);
    if (file.error() != QFileDevice::NoError)
        skinError(ErrDeviceIO, path, file.errorString());
    if (bytes.size() > MaxSkinFileSize)
        skinError(ErrInvalidFileFormat, path,
            QStringLiteral("the file is larger than %1 KiB").arg(MaxSkinFileSize / 1024));
    SkinContents skin = parseSkin(bytes, path);
    path_ = path;
    styleSheet_ = std::move(skin.styleSheet);
    sheetInForce_.reset();
    faceColour_ = skin.faceColour;
    loaded_ = true;
}

void SkinFramework::ApplyWindow(qint32 window)
{
    QWidget* target = windowFromHandle(window);
    if (!target)
        raiseError(ErrInvalidCall,
            QStringLiteral("The skin cannot be applied: no window has the handle %1").arg(window));
    if (!loaded_)
        return;
    // The images the sheet names are read once, when it first comes in
    // force.
    if (!sheetInForce_ && ((options_ & ApplyRules) || applyDialogs_))
        sheetInForce_ = withSkinImages(styleSheet_, largestScreenSize());
    if (options_ & ApplyRules)
        target->setStyleSheet(*sheetInForce_);
    if (applyColors_ && faceColour_) {
        ownsFaceColour_ = true;
        setSkinFaceColour(faceColour_);
    }
    if (applyDialogs_) {
        if (dialogSheet_.isEmpty())
            qApp->installEventFilter(this);
        dialogSheet_ = *sheetInForce_;
    }
}

bool SkinFramework::eventFilter(QObject* watched, QEvent* event)
{
    // A dialog about to be shown for the first time takes the skin's rules
    // unless it has a sheet of its own or already inherits one.
    if (event->type() == QEvent::Show && !dialogSheet_.isEmpty()) {
        auto* dialog = qobject_cast<QDialog*>(watched);
        if (dialog && dialog->styleSheet().isEmpty()) {
            bool inherits = false;
            for (QWidget* w = dialog->parentWidget(); w && !inherits; w = w->parentWidget())
                inherits = !w->styleSheet().isEmpty();
            if (!inherits)
                dialog->setStyleSheet(dialogSheet_);
        }
    }
    return QObject::eventFilter(watched, event);
}

} // namespace orvane
