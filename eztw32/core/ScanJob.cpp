#include "ScanJob.h"

#include "BmpWriter.h"
#include "Corrections.h"
#include "Light.h"
#include "Log.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

namespace eztw32 {
namespace {

constexpr std::size_t ReadChunk = 256 * 1024;

// A device warming up its lamp is given this long to start.
constexpr int WarmUpLimitMs = 120000;
ScanResult failed(Fault fault, SANE_Status status)
{
    return {Outcome::Failed, fault, toStatus(status), {}};
}

ScanResult writeFailed()
{
    return {Outcome::WriteFailed, Fault::None, Status::Good, {}};
}

ScanResult noMemory()
{
    return {Outcome::NoMemory, Fault::None, Status::NoMem, {}};
}

// One sample of a row, reduced to 8 bits. 16-bit samples come in the
// machine's byte order; 1-bit samples are full on or off.
inline std::uint8_t sample8(const std::uint8_t* row, std::size_t index, int depth)
{
    switch (depth) {
    case 8:
        return row[index];
    case 16: {
        std::uint16_t v;
        std::memcpy(&v, row + 2 * index, 2);
        return std::uint8_t(v >> 8);
    }
    default:
        return (row[index / 8] >> (7 - index % 8)) & 1 ? 255 : 0;
    }
}

// One row of SANE's frame as the BMP file stores it.
void convertRow(const std::uint8_t* src, std::uint8_t* dst, int width, int depth, SANE_Frame format)
{
    const auto w = std::size_t(width);
    if (format == SANE_FRAME_RGB) {
        // SANE sends red, green, blue; a 24-bit BMP pixel is blue, green,
        // red, so the first and third samples change places.
        if (depth == 8) {
            for (std::size_t x = 0; x < w; ++x) {
                dst[3 * x + 0] = src[3 * x + 2];
                dst[3 * x + 1] = src[3 * x + 1];
                dst[3 * x + 2] = src[3 * x + 0];
            }
        } else {
            for (std::size_t x = 0; x < w; ++x) {
                dst[3 * x + 0] = sample8(src, 3 * x + 2, depth);
                dst[3 * x + 1] = sample8(src, 3 * x + 1, depth);
                dst[3 * x + 2] = sample8(src, 3 * x + 0, depth);
            }
        }
        return;
    }
    if (depth == 1) {
        // In SANE's line art 1 is black; in our palette index 0 is black.
        const std::size_t bytes = (w + 7) / 8;
        for (std::size_t i = 0; i < bytes; ++i)
            dst[i] = std::uint8_t(~src[i]);
        if (w % 8)
            dst[bytes - 1] &= std::uint8_t(0xFF << (8 - w % 8));
        return;
    }
    if (depth == 8) {
        std::memcpy(dst, src, w);
        return;
    }
    for (std::size_t x = 0; x < w; ++x)
        dst[x] = sample8(src, x, depth);
}

bool validParameters(const SANE_Parameters& p)
{
    if (p.pixels_per_line <= 0 || p.bytes_per_line <= 0 || p.lines == 0 || p.lines < -1)
        return false;
    if (p.depth != 1 && p.depth != 8 && p.depth != 16)
        return false;
    const int channels = p.format == SANE_FRAME_RGB ? 3 : 1;
    switch (p.format) {
    case SANE_FRAME_GRAY:
    case SANE_FRAME_RGB:
    case SANE_FRAME_RED:
    case SANE_FRAME_GREEN:
    case SANE_FRAME_BLUE:
        break;
    default:
        return false;
    }
    const std::int64_t needed = (std::int64_t(p.pixels_per_line) * channels * p.depth + 7) / 8;
    return p.bytes_per_line >= needed;
}

enum class ReadEnd { Eof, Cancelled, Fault, Stopped };

// Reads one frame, handing every complete row (bytes_per_line bytes) to
// onRow; a partial row at the end is dropped. Rows come in place from the
// memory the driver's host reads into; only a row split between two reads
// is put together.
// A device that keeps answering "good" with no data for longer than the
// stall limit has stopped answering.
template <class OnRow>
ReadEnd readFrame(
    Device& device, int bytesPerLine, ScanProgress& progress, SANE_Status& status, OnRow&& onRow)
{
    const auto bpl = std::size_t(bytesPerLine);
    const auto most = SANE_Int(std::min<std::size_t>(std::max(bpl, ReadChunk), 0x7FFFFFFF));
    const int stallMs = stallLimitMs();
    std::vector<std::uint8_t> split(bpl);
    std::size_t splitHave = 0;
    progress.lastDataMs.store(steadyMs());
    for (;;) {
        if (progress.cancelRequested.load())
            return progress.stalled.load() ? ReadEnd::Fault : ReadEnd::Cancelled;
        const std::uint8_t* data = nullptr;
        SANE_Int n = 0;
        status = device.read(most, &data, &n);
        if (status == SANE_STATUS_GOOD) {
            if (n <= 0) {
                if (steadyMs() - progress.lastDataMs.load() > stallMs) {
                    progress.stalled.store(true);
                    status = SANE_STATUS_IO_ERROR;
                    return ReadEnd::Fault;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
                continue;
            }
            progress.lastDataMs.store(steadyMs());
            progress.dataArrived.store(true);
            progress.bytesRead.fetch_add(n);
            const auto have = std::size_t(n);
            std::size_t off = 0;
            if (splitHave > 0) {
                off = std::min(bpl - splitHave, have);
                std::memcpy(split.data() + splitHave, data, off);
                splitHave += off;
                if (splitHave == bpl) {
                    splitHave = 0;
                    if (!onRow(split.data()))
                        return ReadEnd::Stopped;
                }
            }
            for (; have - off >= bpl; off += bpl)
                if (!onRow(data + off))
                    return ReadEnd::Stopped;
            if (off < have) {
                std::memcpy(split.data() + splitHave, data + off, have - off);
                splitHave += have - off;
            }
            continue;
        }
        if (status == SANE_STATUS_EOF)
            return ReadEnd::Eof;
        if (progress.stalled.load())
            return ReadEnd::Fault;
        if (progress.cancelRequested.load() || status == SANE_STATUS_CANCELLED)
            return ReadEnd::Cancelled;
        return ReadEnd::Fault;
    }
}

} // namespace

ScanResult applySettings(Device& device, const ScanSettings& s)
{
    auto settable = [&](const char* name) {
        const auto o = device.option(name);
        return o && o->settable();
    };
    auto check = [](SANE_Status st) { return st == SANE_STATUS_GOOD; };
    SANE_Status st = SANE_STATUS_GOOD;
    if (s.source && settable("source") && !check(st = device.setString("source", *s.source)))
        return failed(Fault::SettingsRejected, st);
    if (s.modeValue && settable("mode") && !check(st = device.setString("mode", *s.modeValue)))
        return failed(Fault::SettingsRejected, st);
    if (const auto depth = device.option("depth"); depth && depth->settable()) {
        if (s.lineArtByDepth) {
            if (!check(st = device.setNumber("depth", 1)))
                return failed(Fault::SettingsRejected, st);
        } else if ((s.colour == ColourMode::Colour || s.colour == ColourMode::Gray) && depth->value == 1
            && depth->offers(8)) {
            if (!check(st = device.setNumber("depth", 8)))
                return failed(Fault::SettingsRejected, st);
        }
    }
    const std::pair<const char*, const std::optional<double>*> numbers[] = {
        {"resolution", &s.resolution},
        {"tl-x", &s.tlX},
        {"tl-y", &s.tlY},
        {"br-x", &s.brX},
        {"br-y", &s.brY},
        {"brightness", &s.brightness},
        {"contrast", &s.contrast},
    };
    for (const auto& [name, value] : numbers) {
        if (*value && settable(name) && !check(st = device.setNumber(name, **value)))
            return failed(Fault::SettingsRejected, st);
    }
    return {};
}

namespace {

// Starts, waiting for a busy device and one that warms up its lamp; `busy`
// tells whether the device said it was busy at any try.
SANE_Status startWithRetry(Device& device, ScanProgress& progress, bool& busy)
{
    BusyBackOff busyBackOff(&progress.cancelRequested);
    BusyBackOff warmUp(&progress.cancelRequested, WarmUpLimitMs);
    for (;;) {
        const SANE_Status st = device.start();
        busy = busy || st == SANE_STATUS_DEVICE_BUSY;
        if (st == SANE_STATUS_DEVICE_BUSY && busyBackOff.wait())
            continue;
        if (toStatus(st) == Status::WarmingUp && warmUp.wait())
            continue;
        return st;
    }
}

// Starts a frame: cancelled when the user or the device cancelled it.
ScanResult startFrame(Device& device, ScanProgress& progress)
{
    bool busy = false;
    const SANE_Status st = startWithRetry(device, progress, busy);
    // No start within the stall limit: a device that kept saying it was
    // busy (a network scanner's "503 busy" is retried inside its driver
    // for half a minute) is busy, not cancelled.
    if (progress.stalled.load())
        return busy ? failed(Fault::Status, SANE_STATUS_DEVICE_BUSY)
                    : failed(Fault::Stalled, SANE_STATUS_IO_ERROR);
    if (progress.cancelRequested.load() || st == SANE_STATUS_CANCELLED)
        return cancelledScan();
    if (st != SANE_STATUS_GOOD)
        return failed(Fault::Status, st);
    return {};
}

// Frames that each carry one colour of the picture (three-pass scanners).
bool isSeparateColour(SANE_Frame format)
{
    return format == SANE_FRAME_RED || format == SANE_FRAME_GREEN || format == SANE_FRAME_BLUE;
}

// The result of a frame's reading that did not reach its end; `stopped`
// is what a row handler's refusal means.
ScanResult readEndResult(ReadEnd end, const ScanProgress& progress, SANE_Status status, ScanResult stopped)
{
    switch (end) {
    case ReadEnd::Stopped:
        return stopped;
    case ReadEnd::Cancelled:
        return cancelledScan();
    case ReadEnd::Fault:
        return progress.stalled.load() ? failed(Fault::Stalled, SANE_STATUS_IO_ERROR)
                                       : failed(Fault::Status, status);
    case ReadEnd::Eof:
        break;
    }
    return {};
}

// Reads every frame of a scan whose first frame has started with
// parameters p: the first, then, until one says it is the last, up to two
// more, each started anew and of the first one's width. Every complete row
// goes to onRow(p, row) (false stops the scan as cancelled); onFrameEnd(p,
// frame) says whether the frame read is complete (a result other than Done
// ends the scan with it).
template <class OnRow, class OnFrameEnd>
ScanResult readFrames(
    Device& device, SANE_Parameters& p, ScanProgress& progress, OnRow&& onRow, OnFrameEnd&& onFrameEnd)
{
    const int width = p.pixels_per_line;
    for (int frame = 0;; ++frame) {
        if (frame > 0) {
            if (ScanResult r = startFrame(device, progress); r.outcome != Outcome::Done)
                return r;
            if (device.parameters(p) != SANE_STATUS_GOOD || !validParameters(p) || p.pixels_per_line != width
                || !isSeparateColour(p.format))
                return failed(Fault::BadFormat, SANE_STATUS_UNSUPPORTED);
        }
        SANE_Status status = SANE_STATUS_GOOD;
        const ReadEnd end = readFrame(device, p.bytes_per_line, progress, status,
            [&](const std::uint8_t* row) { return onRow(p, row); });
        if (ScanResult r = readEndResult(end, progress, status, cancelledScan()); r.outcome != Outcome::Done)
            return r;
        if (ScanResult r = onFrameEnd(p, frame); r.outcome != Outcome::Done)
            return r;
        if (p.last_frame)
            return {};
        if (frame >= 2)
            return failed(Fault::BadFormat, SANE_STATUS_UNSUPPORTED);
    }
}

BmpWriter::Kind kindOf(const SANE_Parameters& p)
{
    return p.format == SANE_FRAME_RGB ? BmpWriter::Kind::Rgb24
        : p.depth == 1                ? BmpWriter::Kind::BlackWhite1
                                      : BmpWriter::Kind::Gray8;
}

// A picture held whole while it is read, 8 bits a sample (line art too,
// as 0 and 255), in the file's blue-green-red order: as big as its known
// height says, or growing for a hand scanner's.
class HeldPicture {
public:
    // Throws std::bad_alloc when a known height does not fit in memory.
    HeldPicture(int width, int channels, int height)
        : width_(width)
        , channels_(channels)
        , height_(height)
        , rowBytes_(std::size_t(width) * std::size_t(channels))
    {
        // Asked without throwing, then thrown: the sanitizers' allocator
        // aborts where a throwing new runs out, instead of throwing.
        if (height > 0) {
            fixed_.reset(new (std::nothrow) std::uint8_t[rowBytes_ * std::size_t(height)]);
            if (!fixed_)
                throw std::bad_alloc();
        }
    }
    // Row y, the rows before it held; nothing past a known height.
    std::uint8_t* row(int y)
    {
        if (height_ > 0)
            return y < height_ ? fixed_.get() + std::size_t(y) * rowBytes_ : nullptr;
        if (growing_.size() < std::size_t(y + 1) * rowBytes_) {
            growing_.reserve(std::max(growing_.size() * 3 / 2, std::size_t(y + 64) * rowBytes_));
            growing_.resize(std::size_t(y + 1) * rowBytes_);
        }
        return growing_.data() + std::size_t(y) * rowBytes_;
    }
    std::size_t rowBytes() const { return rowBytes_; }
    // The first `rows` rows.
    PictureView view(int rows)
    {
        return {height_ > 0 ? fixed_.get() : growing_.data(), width_, rows, channels_, rowBytes_};
    }

private:
    int width_, channels_, height_;
    std::size_t rowBytes_;
    std::unique_ptr<std::uint8_t[]> fixed_;
    std::vector<std::uint8_t> growing_;
};

// SANE's 1-bit row (1 black) as one byte a pixel, 0 black and 255 white.
void unpackBits(const std::uint8_t* src, std::uint8_t* dst, int width)
{
    for (int x = 0; x < width; ++x)
        dst[x] = (src[x / 8] >> (7 - x % 8)) & 1 ? 0 : 255;
}

// A one-pass scan held in memory, then written corrected.
ScanResult scanHeld(Device& device, const SANE_Parameters& p, double dpi, int fd, ScanProgress& progress,
    const Corrections& fix)
{
    const int width = p.pixels_per_line;
    HeldPicture picture(width, p.format == SANE_FRAME_RGB ? 3 : 1, p.lines > 0 ? p.lines : -1);
    SANE_Status status = SANE_STATUS_GOOD;
    int rows = 0;
    const ReadEnd end = readFrame(device, p.bytes_per_line, progress, status, [&](const std::uint8_t* row) {
        std::uint8_t* dst = picture.row(rows);
        if (!dst)
            return true;
        if (p.depth == 1)
            unpackBits(row, dst, width);
        else
            convertRow(row, dst, width, p.depth, p.format);
        if (fix.light)
            applyLight(*fix.light, dst, picture.rowBytes());
        ++rows;
        return true;
    });
    if (ScanResult r = readEndResult(end, progress, status, writeFailed()); r.outcome != Outcome::Done)
        return r;
    if (rows == 0 || (p.lines > 0 && rows < p.lines))
        return failed(Fault::Incomplete, SANE_STATUS_EOF);
    return writeCorrected(picture.view(rows), kindOf(p), dpi, fix, fd) ? ScanResult{} : writeFailed();
}

ScanResult scanSinglePass(Device& device, const SANE_Parameters& p, double dpi, int fd,
    ScanProgress& progress, const Corrections& fix)
{
    if (fix.hold)
        return scanHeld(device, p, dpi, fd, progress, fix);
    const BmpWriter::Kind kind = kindOf(p);
    BmpWriter writer(fd, p.pixels_per_line, p.lines > 0 ? p.lines : -1, kind, dpi);
    if (!writer.begin())
        return writeFailed();
    SANE_Status status = SANE_STATUS_GOOD;
    const ReadEnd end = readFrame(device, p.bytes_per_line, progress, status, [&](const std::uint8_t* row) {
        if (p.lines > 0 && writer.rows() >= p.lines)
            return true;
        std::uint8_t* dst = writer.nextRow();
        convertRow(row, dst, p.pixels_per_line, p.depth, p.format);
        if (fix.light && kind == BmpWriter::Kind::BlackWhite1)
            applyLightToBits(*fix.light, dst, p.pixels_per_line);
        else if (fix.light)
            applyLight(
                *fix.light, dst, std::size_t(p.pixels_per_line) * (kind == BmpWriter::Kind::Rgb24 ? 3 : 1));
        return writer.commitRow();
    });
    if (ScanResult r = readEndResult(end, progress, status, writeFailed()); r.outcome != Outcome::Done)
        return r;
    if (writer.rows() == 0 || (p.lines > 0 && writer.rows() < p.lines))
        return failed(Fault::Incomplete, SANE_STATUS_EOF);
    if (!writer.finish())
        return writeFailed();
    return {};
}

ScanResult scanThreePass(
    Device& device, SANE_Parameters p, double dpi, int fd, ScanProgress& progress, const Corrections& fix)
{
    const int width = p.pixels_per_line;
    const bool knownHeight = p.lines > 0;
    // The frames come one colour at a time, so the picture is assembled in
    // memory before it is written.
    HeldPicture picture(width, 3, knownHeight ? p.lines : -1);
    int height = knownHeight ? p.lines : -1;
    int rows = 0; // of the frame under way
    const ScanResult read = readFrames(
        device, p, progress,
        [&](const SANE_Parameters& f, const std::uint8_t* row) {
            std::uint8_t* dst = picture.row(rows);
            if (!dst)
                return true;
            const int channel = f.format == SANE_FRAME_RED ? 2 : f.format == SANE_FRAME_GREEN ? 1 : 0;
            for (int x = 0; x < width; ++x)
                dst[3 * x + channel] = sample8(row, std::size_t(x), f.depth);
            ++rows;
            return true;
        },
        [&](const SANE_Parameters&, int frame) -> ScanResult {
            const int frameRows = std::exchange(rows, 0);
            if (frameRows == 0 || (knownHeight && frameRows < height))
                return failed(Fault::Incomplete, SANE_STATUS_EOF);
            if (!knownHeight)
                height = frame == 0 ? frameRows : std::min(height, frameRows);
            return {};
        });
    if (read.outcome != Outcome::Done)
        return read;
    const PictureView image = picture.view(height);
    const std::size_t rowBytes = picture.rowBytes();
    if (fix.light)
        applyLight(*fix.light, picture.row(0), rowBytes * std::size_t(height));
    if (fix.hold)
        return writeCorrected(image, BmpWriter::Kind::Rgb24, dpi, fix, fd) ? ScanResult{} : writeFailed();
    BmpWriter writer(fd, width, height, BmpWriter::Kind::Rgb24, dpi);
    if (!writer.begin())
        return writeFailed();
    for (int y = 0; y < height; ++y) {
        std::memcpy(writer.nextRow(), image.data + std::size_t(y) * rowBytes, rowBytes);
        if (!writer.commitRow())
            return writeFailed();
    }
    if (!writer.finish())
        return writeFailed();
    return {};
}

// Applies the settings, starts the scan and checks its first frame.
ScanResult begin(
    Device& device, const ScanSettings& settings, ScanProgress& progress, SANE_Parameters& p, double& dpi)
{
    if (ScanResult r = applySettings(device, settings); r.outcome != Outcome::Done)
        return r;
    if (progress.cancelRequested.load())
        return cancelledScan();
    dpi = settings.resolution.value_or(0);
    if (const auto res = device.option("resolution"); res && res->isNumber())
        dpi = res->value;

    if (ScanResult r = startFrame(device, progress); r.outcome != Outcome::Done)
        return r;
    const SANE_Status pst = device.parameters(p);
    if (pst != SANE_STATUS_GOOD)
        return failed(Fault::Status, pst);
    if (!validParameters(p))
        return failed(Fault::BadFormat, SANE_STATUS_UNSUPPORTED);
    if (p.lines > 0)
        progress.bytesTotal.store(
            std::int64_t(p.lines) * p.bytes_per_line * (isSeparateColour(p.format) ? 3 : 1));
    return {};
}

ScanResult scan(Device& device, const ScanSettings& settings, int fd, ScanProgress& progress)
{
    SANE_Parameters p{};
    double dpi = 0;
    if (ScanResult r = begin(device, settings, progress, p, dpi); r.outcome != Outcome::Done)
        return r;
    const Corrections fix = correctionsFor(settings);
    return isSeparateColour(p.format) ? scanThreePass(device, p, dpi, fd, progress, fix)
                                      : scanSinglePass(device, p, dpi, fd, progress, fix);
}

// The preview: every frame into 8-bit RGB rows in memory.
ScanResult preview(Device& device, const ScanSettings& settings, PreviewBuffer& out, ScanProgress& progress)
{
    SANE_Parameters p{};
    double dpi = 0;
    if (ScanResult r = begin(device, settings, progress, p, dpi); r.outcome != Outcome::Done)
        return r;
    const int width = p.pixels_per_line;
    const std::size_t rowBytes = std::size_t(width) * 3;
    {
        std::lock_guard lock(out.mutex);
        out.width = width;
        out.height = p.lines > 0 ? p.lines : 0;
        out.rows = 0;
        out.pixels.assign(rowBytes * std::size_t(std::max(out.height, 1)), 0);
    }
    int row = 0; // of the frame under way
    return readFrames(
        device, p, progress,
        [&](const SANE_Parameters& f, const std::uint8_t* src) {
            std::lock_guard lock(out.mutex);
            if (f.lines > 0 && row >= out.height)
                return true;
            if (std::size_t(row + 1) * rowBytes > out.pixels.size())
                out.pixels.resize(std::size_t(row + 1) * rowBytes * 2, 0);
            std::uint8_t* dst = out.pixels.data() + std::size_t(row) * rowBytes;
            const int channel = f.format == SANE_FRAME_RED ? 0 : f.format == SANE_FRAME_GREEN ? 1 : 2;
            for (int x = 0; x < width; ++x) {
                const auto i = std::size_t(x);
                if (f.format == SANE_FRAME_RGB) {
                    for (int c = 0; c < 3; ++c)
                        dst[3 * i + std::size_t(c)] = sample8(src, 3 * i + std::size_t(c), f.depth);
                } else if (f.format == SANE_FRAME_GRAY) {
                    // In SANE's line art 1 is black.
                    std::uint8_t v = sample8(src, i, f.depth);
                    if (f.depth == 1)
                        v = std::uint8_t(255 - v);
                    dst[3 * i] = dst[3 * i + 1] = dst[3 * i + 2] = v;
                } else {
                    dst[3 * i + std::size_t(channel)] = sample8(src, i, f.depth);
                }
            }
            ++row;
            if (f.lines <= 0)
                out.height = std::max(out.height, row);
            out.rows = std::max(out.rows, std::min(row, out.height));
            return true;
        },
        [&](const SANE_Parameters&, int) {
            row = 0;
            return ScanResult{};
        });
}

// Runs a preview or a scan, then ends it with sane_cancel (also a finished
// one, as SANE asks), so that the next one starts clean.
template <class Work> ScanResult guarded(Device& device, Work work)
{
    ScanResult result;
    try {
        result = work();
    } catch (const std::bad_alloc&) {
        result = noMemory();
    }
    // After a fault the backend gets a moment first: some backends (the
    // test backend among them) cancel their reader thread asynchronously,
    // which can deadlock while that thread is still setting up right after
    // sane_start.
    if (result.outcome == Outcome::Failed)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    device.cancel();
    return result;
}

} // namespace

ScanResult runScan(Device& device, const ScanSettings& settings, int fd, ScanProgress& progress)
{
    return guarded(device, [&] { return scan(device, settings, fd, progress); });
}

ScanResult runPreview(
    Device& device, const ScanSettings& settings, PreviewBuffer& out, ScanProgress& progress)
{
    return guarded(device, [&] { return preview(device, settings, out, progress); });
}

} // namespace eztw32
