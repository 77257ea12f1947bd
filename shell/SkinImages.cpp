#include "shell/SkinImages.h"

#include "shell/FileIO.h"

#include <QBuffer>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QHash>
#include <QImage>
#include <QImageReader>
#include <QImageWriter>
#include <QLoggingCategory>
#include <QPixmapCache>
#include <QRegularExpression>
#include <QScreen>

#include <cmath>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace orvane {

namespace {

Q_LOGGING_CATEGORY(lcSkin, "orvane.skin", QtInfoMsg)

// A skin names at most this many images; the rest are left out.
constexpr int MaxImages = 256;
// A file up to this size whose picture needs no reduction is handed on as
// it is; any other is decoded and handed on reduced.
constexpr qint64 RawCopyBytes = 8 * 1024 * 1024;
// What one image may take while it is decoded, before its reduction
// (JPEG decodes at an eighth of its size and less on its way).
constexpr int DecodeLimitMiB = 64;

// The decoded copies, for as long as the program runs: the sheets in force
// name them by descriptor.
std::vector<int>& keptCopies()
{
    static std::vector<int> fds;
    return fds;
}

// The file at `path` opened for reading when it is a regular file; never
// opened when it is anything else, and opened without waiting.
UniqueFd openRegularFile(const QString& path, qint64& bytes)
{
    const QByteArray native = QFile::encodeName(path);
    struct stat named { };
    if (::stat(native.constData(), &named) != 0 || !S_ISREG(named.st_mode))
        return UniqueFd();
    UniqueFd fd(::open(native.constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    struct stat opened { };
    if (!fd || ::fstat(fd.get(), &opened) != 0 || !S_ISREG(opened.st_mode))
        return UniqueFd();
    bytes = qint64(opened.st_size);
    return fd;
}

// A reader of the open file from its start.
struct FileReader {
    QFile file;
    QImageReader reader;
    explicit FileReader(int fd)
    {
        (void)::lseek(fd, 0, SEEK_SET);
        if (file.open(fd, QIODevice::ReadOnly, QFileDevice::DontCloseHandle))
            reader.setDevice(&file);
        reader.setDecideFormatFromContent(true);
        reader.setAllocationLimit(DecodeLimitMiB);
    }
};

// `bytes` in memory of the program's own, named by a path Qt can open;
// empty when that cannot be had.
QString keptCopy(const QByteArray& bytes)
{
    UniqueFd fd(::memfd_create("orvane-skin-image", MFD_CLOEXEC));
    if (!fd || writeAll(fd.get(), bytes.constData(), std::size_t(bytes.size())) != 0)
        return QString();
    const int kept = fd.release();
    keptCopies().push_back(kept);
    return QStringLiteral("/proc/self/fd/%1").arg(kept);
}

// The picture of `fd` as the bytes of an image file of `size`: the file's
// own when it needs no reduction and is small, else decoded at `size`
// and written as PNG. Empty when it cannot be read.
QByteArray imageBytes(int fd, qint64 fileBytes, QSize natural, QSize size)
{
    if (size == natural && fileBytes <= RawCopyBytes) {
        QByteArray bytes(qsizetype(fileBytes), Qt::Uninitialized);
        return replace::readAllAt(fd, bytes.data(), std::size_t(fileBytes), 0) == 0 ? bytes : QByteArray();
    }
    FileReader in(fd);
    if (size != natural)
        in.reader.setScaledSize(size);
    const QImage picture = in.reader.read();
    if (picture.isNull())
        return QByteArray();
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter out(&buffer, "png");
    out.setQuality(90); // fast: the copy is read once, at start
    return out.write(picture) ? bytes : QByteArray();
}

// What the sheet names for an image left out: one clear pixel of the
// program's own, so that nothing is drawn there, as for a missing file.
QString copyOrNothing(const QString& copy)
{
    static const QString nothing = [] {
        QImage clear(1, 1, QImage::Format_ARGB32);
        clear.fill(Qt::transparent);
        QByteArray bytes;
        QBuffer buffer(&bytes);
        buffer.open(QIODevice::WriteOnly);
        return clear.save(&buffer, "PNG") ? keptCopy(bytes) : QString();
    }();
    return copy.isEmpty() ? nothing : copy;
}

struct Named {
    QString path; // as the sheet names it
    UniqueFd fd;
    qint64 fileBytes = 0;
    QSize natural;
    QSize size; // decoded at
    QString copy; // what the sheet names instead
};

// The stretches of `text` inside /* */ comments.
std::vector<std::pair<qsizetype, qsizetype>> commentsOf(const QString& text)
{
    std::vector<std::pair<qsizetype, qsizetype>> comments;
    for (qsizetype at = text.indexOf(QStringLiteral("/*")); at >= 0;) {
        const qsizetype end = text.indexOf(QStringLiteral("*/"), at + 2);
        comments.emplace_back(at, end < 0 ? text.size() : end + 2);
        if (end < 0)
            break;
        at = text.indexOf(QStringLiteral("/*"), end + 2);
    }
    return comments;
}

} // namespace

QSize largestScreenSize()
{
    QSize largest;
    for (const QScreen* screen : QGuiApplication::screens()) {
        const QSize size = screen->geometry().size() * screen->devicePixelRatio();
        if (qint64(size.width()) * size.height() > qint64(largest.width()) * largest.height())
            largest = size;
    }
    return largest.isValid() && !largest.isEmpty() ? largest : QSize(1920, 1080);
}

QSize drawnSize(QSize size, QSize screen)
{
    if (size.width() <= screen.width() && size.height() <= screen.height())
        return size;
    return size.scaled(screen, Qt::KeepAspectRatio).expandedTo(QSize(1, 1));
}

QString withSkinImages(const QString& styleSheet, QSize screen)
{
    static const QRegularExpression url(
        QStringLiteral("url\\(\\s*(?:\"([^\"]*)\"|'([^']*)'|([^)\"'\\s]*))\\s*\\)"),
        QRegularExpression::CaseInsensitiveOption);
    const auto comments = commentsOf(styleSheet);
    auto inComment = [&](qsizetype at) {
        for (const auto& [from, to] : comments)
            if (at >= from && at < to)
                return true;
        return false;
    };

    struct Use {
        qsizetype at, length;
        int image; // index into `named`, or -1 for a path that stays
    };
    std::vector<Use> uses;
    std::vector<Named> named;
    QHash<QString, int> byPath;
    for (auto it = url.globalMatch(styleSheet); it.hasNext();) {
        const QRegularExpressionMatch m = it.next();
        if (inComment(m.capturedStart()))
            continue;
        QString path = m.captured(1);
        if (path.isEmpty())
            path = m.captured(2);
        if (path.isEmpty())
            path = m.captured(3);
        if (path.startsWith(QLatin1Char(':')) || path.startsWith(QLatin1String("qrc:"))) {
            uses.push_back({m.capturedStart(), m.capturedLength(), -1});
            continue;
        }
        const QString absolute = path.isEmpty() ? QString() : QFileInfo(path).absoluteFilePath();
        auto known = byPath.constFind(absolute);
        int index;
        if (known != byPath.constEnd()) {
            index = *known;
        } else {
            index = int(named.size());
            byPath.insert(absolute, index);
            Named image;
            image.path = absolute;
            if (!absolute.isEmpty() && index < MaxImages)
                image.fd = openRegularFile(absolute, image.fileBytes);
            if (image.fd) {
                FileReader in(image.fd.get());
                image.natural = in.reader.size();
                if (!image.natural.isValid() || image.natural.isEmpty())
                    image.fd.reset();
                else
                    image.size = drawnSize(image.natural, screen);
            }
            if (!image.fd && !absolute.isEmpty())
                qCWarning(lcSkin,
                    "The skin's image %s is left out: it is no readable picture in a regular file",
                    qUtf8Printable(absolute));
            named.push_back(std::move(image));
        }
        uses.push_back({m.capturedStart(), m.capturedLength(), index});
    }
    if (uses.empty())
        return styleSheet;

    // Within the budget for the whole skin, every image reduced alike.
    double total = 0;
    for (const Named& image : named)
        if (image.fd)
            total += double(image.size.width()) * image.size.height() * 4;
    if (total > double(SkinImageBudget)) {
        const double factor = std::sqrt(double(SkinImageBudget) / total);
        for (Named& image : named)
            if (image.fd)
                image.size = QSize(
                    qMax(1, int(image.size.width() * factor)), qMax(1, int(image.size.height() * factor)));
    }
    qint64 decoded = 0;
    for (Named& image : named) {
        if (!image.fd)
            continue;
        const QByteArray bytes = imageBytes(image.fd.get(), image.fileBytes, image.natural, image.size);
        image.copy = bytes.isEmpty() ? QString() : keptCopy(bytes);
        image.fd.reset();
        if (image.copy.isEmpty())
            qCWarning(lcSkin, "The skin's image %s is left out: it cannot be decoded within %d MiB",
                qUtf8Printable(image.path), DecodeLimitMiB);
        else
            decoded += qint64(image.size.width()) * image.size.height() * 4;
    }
    // Qt keeps what it decodes in its pixmap cache, which every window
    // with the same image shares; a cache too small for the skin would
    // decode an image again for each.
    const int neededKiB = int((decoded + 10 * 1024 * 1024) / 1024);
    if (QPixmapCache::cacheLimit() < neededKiB)
        QPixmapCache::setCacheLimit(neededKiB);

    QString sheet;
    qsizetype from = 0;
    for (const Use& use : uses) {
        sheet += QStringView(styleSheet).mid(from, use.at - from);
        if (use.image < 0)
            sheet += QStringView(styleSheet).mid(use.at, use.length);
        else
            sheet += QStringLiteral("url(\"") + copyOrNothing(named[std::size_t(use.image)].copy)
                + QStringLiteral("\")");
        from = use.at + use.length;
    }
    sheet += QStringView(styleSheet).mid(from);
    return sheet;
}

} // namespace orvane
