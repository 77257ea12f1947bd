#include "writers/SaveAsJPG.h"

#include "shell/AppError.h"
#include "shell/PictureBox.h"
#include "shell/SaveFile.h"
#include "writers/jpeg/StripEncoder.h"

#include "replace/Bmp.h"

#include <array>
#include <cstring>
#include <new>
#include <optional>
#include <vector>

namespace orvane {

namespace {

// The writer's status numbers; 0 is success and the others follow GDI+'s
// Status values of the same meaning.
enum Status : int {
    Ok = 0,
    GenericError = 1,
    InvalidParameter = 2,
    OutOfMemory = 3,
    Win32Error = 7, // the file could not be created, written or put in place
    ValueOverflow = 11, // the picture is larger than a JPEG file can hold
};

// What the encoder said of a failure: libjpeg's words, or the result's.
QString encoderCause(const jpeg::StripEncoder& encoder, jpeg::Result result)
{
    return QString::fromStdString(
        encoder.message().empty() ? std::string(jpeg::resultText(result)) : encoder.message());
}

Status statusOf(jpeg::Result result)
{
    switch (result) {
    case jpeg::Result::Ok:
        return Ok;
    case jpeg::Result::OutOfMemory:
        return OutOfMemory;
    case jpeg::Result::InvalidArgument:
        return InvalidParameter;
    case jpeg::Result::TooLarge:
        return ValueOverflow;
    case jpeg::Result::OutputFailed:
        return Win32Error;
    case jpeg::Result::CodecFailed:
        return GenericError;
    }
    return GenericError;
}

constexpr int Band = jpeg::StripEncoder::Band;

// The picture as the encoder takes it: rows of gray, RGB or 32-bit pixels.
// Pixels that are already in such a layout are passed straight from the
// picture; palette pictures go through a small row buffer and any other
// format through a converted band of rows, so there is never a full-size
// copy of the picture. Each of the encoder's threads has its own buffers.
class JpegBitmap final : public jpeg::RowSource {
public:
    explicit JpegBitmap(const QImage& picture)
        : picture_(picture)
    { }

    // Chooses how the rows are made, for `workers` threads. Throws
    // std::bad_alloc.
    void prepare(int workers);

    jpeg::InputLayout layout() const { return layout_; }
    const unsigned char* const* rows(int first, int count, int worker) override;

private:
    enum class Source { Direct, PaletteGray, PaletteRgb, Converted };

    struct Scratch {
        std::vector<unsigned char> buffer;
        QImage band;
        std::array<const unsigned char*, Band> pointers{};
    };

    void preparePalette();
    void expandRow(int y, unsigned char* out) const;

    QImage picture_; // shares the picture's pixels
    Source source_ = Source::Direct;
    jpeg::InputLayout layout_ = jpeg::InputLayout::Bgrx;
    QImage::Format convertTo_ = QImage::Format_RGB32;
    std::array<unsigned char, 256> grayOf_{};
    std::array<std::array<unsigned char, 3>, 256> rgbOf_{};
    qsizetype bufferStride_ = 0;
    std::vector<Scratch> scratch_;
};

constexpr jpeg::InputLayout Native32
    = Q_BYTE_ORDER == Q_LITTLE_ENDIAN ? jpeg::InputLayout::Bgrx : jpeg::InputLayout::Xrgb;

void JpegBitmap::prepare(int workers)
{
    scratch_.resize(std::size_t(workers));
    switch (picture_.format()) {
    case QImage::Format_RGB32:
    case QImage::Format_ARGB32: // a JPEG has no alpha: the colour is kept
        source_ = Source::Direct;
        layout_ = Native32;
        break;
    case QImage::Format_RGB888:
        source_ = Source::Direct;
        layout_ = jpeg::InputLayout::Rgb;
        break;
    case QImage::Format_Grayscale8:
        source_ = Source::Direct;
        layout_ = jpeg::InputLayout::Gray;
        break;
    case QImage::Format_Indexed8:
    case QImage::Format_Mono:
    case QImage::Format_MonoLSB:
        preparePalette();
        break;
    case QImage::Format_Grayscale16:
        source_ = Source::Converted;
        convertTo_ = QImage::Format_Grayscale8;
        layout_ = jpeg::InputLayout::Gray;
        break;
    default:
        // Premultiplied and other formats: converted band by band the way
        // Qt turns them into plain 32-bit colour.
        source_ = Source::Converted;
        convertTo_ = picture_.hasAlphaChannel() ? QImage::Format_ARGB32 : QImage::Format_RGB32;
        layout_ = Native32;
        break;
    }
}

// Palette pictures: a palette of grays makes a gray JPEG, any other a colour
// one. The palette is the one every writer uses (shownColorTable): entries
// missing from it are filled as Qt fills them; a picture without any
// palette is read as a gray ramp.
void JpegBitmap::preparePalette()
{
    const int entries = picture_.format() == QImage::Format_Indexed8 ? 256 : 2;
    const QList<QRgb> table = shownColorTable(picture_, entries);
    bool gray = true;
    bool identity = entries == 256;
    for (int i = 0; i < entries; ++i) {
        const QRgb c = table.at(i);
        rgbOf_[i] = {uchar(qRed(c)), uchar(qGreen(c)), uchar(qBlue(c))};
        grayOf_[i] = uchar(qRed(c));
        gray = gray && qRed(c) == qGreen(c) && qGreen(c) == qBlue(c);
        identity = identity && qRed(c) == i;
    }
    if (gray && identity) { // the scanner's 8-bit gray: indices are the levels
        source_ = Source::Direct;
        layout_ = jpeg::InputLayout::Gray;
        return;
    }
    source_ = gray ? Source::PaletteGray : Source::PaletteRgb;
    layout_ = gray ? jpeg::InputLayout::Gray : jpeg::InputLayout::Rgb;
    bufferStride_ = qsizetype(picture_.width()) * (gray ? 1 : 3);
    for (Scratch& s : scratch_)
        s.buffer.resize(std::size_t(bufferStride_) * Band);
}

void JpegBitmap::expandRow(int y, unsigned char* out) const
{
    const uchar* in = picture_.constScanLine(y);
    const int width = picture_.width();
    const bool gray = source_ == Source::PaletteGray;
    const auto put = [&](int x, int index) {
        if (gray) {
            out[x] = grayOf_[index];
        } else {
            std::memcpy(out + 3 * x, rgbOf_[index].data(), 3);
        }
    };
    switch (picture_.format()) {
    case QImage::Format_Indexed8:
        for (int x = 0; x < width; ++x)
            put(x, in[x]);
        break;
    case QImage::Format_Mono:
        for (int x = 0; x < width; ++x)
            put(x, (in[x >> 3] >> (7 - (x & 7))) & 1);
        break;
    default: // Format_MonoLSB
        for (int x = 0; x < width; ++x)
            put(x, (in[x >> 3] >> (x & 7)) & 1);
        break;
    }
}

const unsigned char* const* JpegBitmap::rows(int first, int count, int worker)
{
    Scratch& s = scratch_[std::size_t(worker)];
    switch (source_) {
    case Source::Direct:
        for (int i = 0; i < count; ++i)
            s.pointers[i] = picture_.constScanLine(first + i);
        break;
    case Source::PaletteGray:
    case Source::PaletteRgb:
        for (int i = 0; i < count; ++i) {
            unsigned char* row = s.buffer.data() + bufferStride_ * i;
            expandRow(first + i, row);
            s.pointers[i] = row;
        }
        break;
    case Source::Converted:
        s.band = QImage(); // let the previous band go before making the next
        s.band = picture_.copy(0, first, picture_.width(), count).convertToFormat(convertTo_);
        if (s.band.isNull())
            return nullptr;
        for (int i = 0; i < count; ++i)
            s.pointers[i] = s.band.constScanLine(i);
        break;
    }
    return s.pointers.data();
}

// Hands the compressed bytes to the file being saved.
class FileOutput final : public jpeg::Output {
public:
    explicit FileOutput(SaveFile& file)
        : file_(file)
    { }
    bool write(const unsigned char* data, std::size_t size) override { return file_.write(data, size) == 0; }

private:
    SaveFile& file_;
};

// JFIF density from the picture's resolution, in dots per inch; without a
// resolution only the aspect ratio 1:1 is stored.
void setDensity(const QImage& picture, jpeg::Parameters& p)
{
    const int dpmX = picture.dotsPerMeterX();
    const int dpmY = picture.dotsPerMeterY();
    if (dpmX <= 0 || dpmY <= 0) {
        p.densityUnit = 0;
        p.xDensity = p.yDensity = 1;
        return;
    }
    p.densityUnit = 1;
    p.xDensity = qBound(1, qRound(dpmX * replace::MetresPerInch), 65535);
    p.yDensity = qBound(1, qRound(dpmY * replace::MetresPerInch), 65535);
}

// The description of a failed file step, with its real cause.
template <class Step> bool fileStep(QString& cause, Step&& step)
{
    try {
        step();
        return true;
    } catch (const AppError& e) {
        cause = e.description();
        return false;
    }
}

// Step 1: start the encoder.
Status start(jpeg::StripEncoder& encoder, QString& cause)
{
    const jpeg::Result result = encoder.start();
    if (result != jpeg::Result::Ok)
        cause = encoderCause(encoder, result);
    return statusOf(result);
}

// Step 2: the bitmap the encoder reads, made from the picture.
Status createBitmap(const QImage& picture, int workers, std::optional<JpegBitmap>& bitmap, QString& cause)
{
    if (picture.isNull()) {
        cause = QStringLiteral("There is no picture to save.");
        return InvalidParameter;
    }
    if (picture.width() > jpeg::MaxDimension || picture.height() > jpeg::MaxDimension) {
        cause = QStringLiteral("The picture (%1 x %2 pixels) is larger than a JPEG file can hold "
                               "(%3 pixels each way).")
                    .arg(picture.width())
                    .arg(picture.height())
                    .arg(jpeg::MaxDimension);
        return ValueOverflow;
    }
    try {
        bitmap.emplace(picture);
        bitmap->prepare(workers);
    } catch (const std::bad_alloc&) {
        bitmap.reset();
        cause = QStringLiteral("Out of memory.");
        return OutOfMemory;
    }
    return Ok;
}

// Steps 3 to 5: encode the bitmap into a temporary file beside the target and
// put it in place of the target once it is complete.
Status save(JpegBitmap& bitmap, const QImage& picture, const QString& path, quint8 quality,
    jpeg::StripEncoder& encoder, QString& cause)
{
    if (path.isEmpty()) {
        cause = QStringLiteral("No file name was given.");
        return InvalidParameter;
    }
    if (quality > 100) {
        cause = QStringLiteral("The quality %1 is outside 0 to 100.").arg(quality);
        return InvalidParameter;
    }
    std::optional<SaveFile> file;
    if (!fileStep(cause, [&] { file.emplace(path); }))
        return Win32Error;
    FileOutput output(*file);
    jpeg::Parameters p;
    p.width = picture.width();
    p.height = picture.height();
    p.layout = bitmap.layout();
    p.quality = qMax(1, int(quality)); // quality 0 is the lowest, as 1
    setDensity(picture, p);

    const jpeg::Result result = encoder.encode(p, bitmap, output);
    if (result != jpeg::Result::Ok) { // the unfinished temporary file goes with `file`
        if (result == jpeg::Result::OutputFailed && file->error() != 0)
            fileStep(cause, [&] { file->raiseFailure(file->error()); });
        else
            cause = encoderCause(encoder, result);
        return statusOf(result);
    }
    if (!fileStep(cause, [&] { file->commit(); }))
        return Win32Error;
    return Ok;
}

} // namespace

void WriteJpegFile(const QImage& picture, const QString& path, quint8 quality)
{
    QString cause;
    jpeg::StripEncoder encoder;
    Status status = start(encoder, cause);
    if (status == Ok) { // no shut-down when the encoder did not start
        std::optional<JpegBitmap> bitmap;
        status = createBitmap(picture, encoder.workers(), bitmap, cause);
        if (status == Ok) { // no bitmap to dispose of when it was not made
            try {
                status = save(*bitmap, picture, path, quality, encoder, cause);
            } catch (const std::bad_alloc&) {
                cause = QStringLiteral("Out of memory.");
                status = OutOfMemory;
            }
            bitmap.reset(); // dispose of the bitmap
        }
        encoder.shutdown(); // shut the encoder down
    }
    if (status != Ok) {
        QString description
            = QStringLiteral("Cannot save the image. GDI+ Error:") + QString::number(int(status));
        if (!cause.isEmpty())
            description += QLatin1Char('\n') + cause;
        raiseError(ErrInvalidCall, description);
    }
}

} // namespace orvane
