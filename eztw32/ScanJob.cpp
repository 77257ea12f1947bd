#include "ScanJob.h"

#include "BmpWriter.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstring>
#include <memory>
#include <new>
#include <thread>
#include <vector>

namespace eztw32 {
namespace {

constexpr std::size_t kReadChunk = 256 * 1024;

ScanResult failed(Fault fault, SANE_Status status)
{
    return {Outcome::Failed, fault, status, 0};
}

ScanResult cancelled()
{
    return {Outcome::Cancelled, Fault::None, SANE_STATUS_CANCELLED, 0};
}

ScanResult writeFailed(int error)
{
    return {Outcome::WriteFailed, Fault::None, SANE_STATUS_GOOD, error};
}

std::string lower(std::string s)
{
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    return s;
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

void convertRow(const std::uint8_t* src, std::uint8_t* dst, int width, int depth, SANE_Frame format)
{
    const auto w = std::size_t(width);
    if (format == SANE_FRAME_RGB) {
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
// onRow; a partial row at the end is dropped.
template <class OnRow>
ReadEnd readFrame(SANE_Handle h, int bytesPerLine, ScanProgress& progress,
                  std::vector<std::uint8_t>& buf, SANE_Status& status, OnRow&& onRow)
{
    const auto bpl = std::size_t(bytesPerLine);
    std::size_t have = 0;
    for (;;) {
        if (progress.cancelRequested.load())
            return ReadEnd::Cancelled;
        SANE_Int n = 0;
        const auto room = SANE_Int(std::min<std::size_t>(buf.size() - have, 0x7FFFFFFF));
        status = sane_read(h, buf.data() + have, room, &n);
        if (status == SANE_STATUS_GOOD) {
            if (n <= 0) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
                continue;
            }
            progress.dataArrived.store(true);
            progress.bytesRead.fetch_add(n);
            have += std::size_t(n);
            std::size_t off = 0;
            while (have - off >= bpl) {
                if (!onRow(buf.data() + off))
                    return ReadEnd::Stopped;
                off += bpl;
            }
            if (off) {
                std::memmove(buf.data(), buf.data() + off, have - off);
                have -= off;
            }
            continue;
        }
        if (status == SANE_STATUS_EOF)
            return ReadEnd::Eof;
        if (progress.cancelRequested.load() || status == SANE_STATUS_CANCELLED)
            return ReadEnd::Cancelled;
        return ReadEnd::Fault;
    }
}

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
        auto offers = [&](double v) {
            if (depth->constraint == SANE_CONSTRAINT_WORD_LIST)
                return std::find(depth->numbers.begin(), depth->numbers.end(), v) != depth->numbers.end();
            if (depth->constraint == SANE_CONSTRAINT_RANGE)
                return v >= depth->min && v <= depth->max;
            return true;
        };
        if (s.lineArtByDepth) {
            if (!check(st = device.setNumber("depth", 1)))
                return failed(Fault::SettingsRejected, st);
        } else if ((s.colour == ColourMode::Colour || s.colour == ColourMode::Gray) && depth->value == 1
                   && offers(8)) {
            if (!check(st = device.setNumber("depth", 8)))
                return failed(Fault::SettingsRejected, st);
        }
    }
    const std::pair<const char*, const std::optional<double>*> numbers[] = {
        {"resolution", &s.resolution}, {"tl-x", &s.tlX}, {"tl-y", &s.tlY}, {"br-x", &s.brX},
        {"br-y", &s.brY}, {"brightness", &s.brightness}, {"contrast", &s.contrast},
    };
    for (const auto& [name, value] : numbers) {
        if (*value && settable(name) && !check(st = device.setNumber(name, **value)))
            return failed(Fault::SettingsRejected, st);
    }
    return {};
}

SANE_Status startWithRetry(Device& device, ScanProgress& progress)
{
    BusyBackOff backOff(&progress.cancelRequested);
    for (;;) {
        const SANE_Status st = sane_start(device.handle());
        if (st == SANE_STATUS_DEVICE_BUSY && backOff.wait())
            continue;
        return st;
    }
}

ScanResult scanSinglePass(Device& device, const SANE_Parameters& p, double dpi, int fd,
                          ScanProgress& progress)
{
    const BmpWriter::Kind kind = p.format == SANE_FRAME_RGB ? BmpWriter::Kind::Rgb24
                                 : p.depth == 1             ? BmpWriter::Kind::BlackWhite1
                                                            : BmpWriter::Kind::Gray8;
    BmpWriter writer(fd, p.pixels_per_line, p.lines > 0 ? p.lines : -1, kind, dpi);
    if (!writer.begin())
        return writeFailed(writer.error());
    std::vector<std::uint8_t> buf(std::max(std::size_t(p.bytes_per_line),
                                           kReadChunk / std::size_t(p.bytes_per_line) * std::size_t(p.bytes_per_line)));
    SANE_Status status = SANE_STATUS_GOOD;
    const ReadEnd end = readFrame(device.handle(), p.bytes_per_line, progress, buf, status,
                                  [&](const std::uint8_t* row) {
                                      if (p.lines > 0 && writer.rows() >= p.lines)
                                          return true;
                                      convertRow(row, writer.nextRow(), p.pixels_per_line, p.depth, p.format);
                                      return writer.commitRow();
                                  });
    switch (end) {
    case ReadEnd::Stopped: return writeFailed(writer.error());
    case ReadEnd::Cancelled: return cancelled();
    case ReadEnd::Fault: return failed(Fault::Status, status);
    case ReadEnd::Eof: break;
    }
    if (writer.rows() == 0 || (p.lines > 0 && writer.rows() < p.lines))
        return failed(Fault::Incomplete, SANE_STATUS_EOF);
    if (!writer.finish())
        return writeFailed(writer.error());
    return {};
}

ScanResult scanThreePass(Device& device, SANE_Parameters p, double dpi, int fd, ScanProgress& progress)
{
    const int width = p.pixels_per_line;
    const std::size_t rowBytes = std::size_t(width) * 3;
    const bool knownHeight = p.lines > 0;
    // The frames come one colour at a time, so the picture is assembled in
    // memory before it is written.
    std::unique_ptr<std::uint8_t[]> fixed;
    std::vector<std::uint8_t> growing;
    if (knownHeight) {
        fixed.reset(new (std::nothrow) std::uint8_t[rowBytes * std::size_t(p.lines)]);
        if (!fixed)
            return {Outcome::NoMemory, Fault::None, SANE_STATUS_NO_MEM, 0};
    }
    int height = knownHeight ? p.lines : -1;
    std::vector<std::uint8_t> buf;
    for (int frame = 0;; ++frame) {
        if (frame > 0) {
            const SANE_Status st = startWithRetry(device, progress);
            if (progress.cancelRequested.load() || st == SANE_STATUS_CANCELLED)
                return cancelled();
            if (st != SANE_STATUS_GOOD)
                return failed(Fault::Status, st);
            if (sane_get_parameters(device.handle(), &p) != SANE_STATUS_GOOD || !validParameters(p)
                || p.pixels_per_line != width || p.format == SANE_FRAME_RGB || p.format == SANE_FRAME_GRAY)
                return failed(Fault::BadFormat, SANE_STATUS_UNSUPPORTED);
        }
        const int channel = p.format == SANE_FRAME_RED ? 2 : p.format == SANE_FRAME_GREEN ? 1 : 0;
        buf.resize(std::max(std::size_t(p.bytes_per_line),
                            kReadChunk / std::size_t(p.bytes_per_line) * std::size_t(p.bytes_per_line)));
        int rows = 0;
        SANE_Status status = SANE_STATUS_GOOD;
        const ReadEnd end = readFrame(device.handle(), p.bytes_per_line, progress, buf, status,
                                      [&](const std::uint8_t* row) {
                                          std::uint8_t* dst;
                                          if (knownHeight) {
                                              if (rows >= height)
                                                  return true;
                                              dst = fixed.get() + std::size_t(rows) * rowBytes;
                                          } else {
                                              if (std::size_t(rows + 1) * rowBytes > growing.size())
                                                  growing.resize(std::size_t(rows + 1) * rowBytes);
                                              dst = growing.data() + std::size_t(rows) * rowBytes;
                                          }
                                          for (int x = 0; x < width; ++x)
                                              dst[3 * x + channel] = sample8(row, std::size_t(x), p.depth);
                                          ++rows;
                                          return true;
                                      });
        switch (end) {
        case ReadEnd::Stopped:
        case ReadEnd::Cancelled: return cancelled();
        case ReadEnd::Fault: return failed(Fault::Status, status);
        case ReadEnd::Eof: break;
        }
        if (rows == 0 || (knownHeight && rows < height))
            return failed(Fault::Incomplete, SANE_STATUS_EOF);
        if (!knownHeight)
            height = frame == 0 ? rows : std::min(height, rows);
        if (p.last_frame)
            break;
        if (frame >= 2)
            return failed(Fault::BadFormat, SANE_STATUS_UNSUPPORTED);
    }
    const std::uint8_t* image = knownHeight ? fixed.get() : growing.data();
    BmpWriter writer(fd, width, height, BmpWriter::Kind::Rgb24, dpi);
    if (!writer.begin())
        return writeFailed(writer.error());
    for (int y = 0; y < height; ++y) {
        std::memcpy(writer.nextRow(), image + std::size_t(y) * rowBytes, rowBytes);
        if (!writer.commitRow())
            return writeFailed(writer.error());
    }
    if (!writer.finish())
        return writeFailed(writer.error());
    return {};
}

ScanResult scan(Device& device, const ScanSettings& settings, int fd, ScanProgress& progress)
{
    if (ScanResult r = applySettings(device, settings); r.outcome != Outcome::Done)
        return r;
    if (progress.cancelRequested.load())
        return cancelled();
    double dpi = settings.resolution.value_or(0);
    if (const auto res = device.option("resolution"); res && res->isNumber())
        dpi = res->value;

    const SANE_Status st = startWithRetry(device, progress);
    if (progress.cancelRequested.load() || st == SANE_STATUS_CANCELLED)
        return cancelled();
    if (st != SANE_STATUS_GOOD)
        return failed(Fault::Status, st);
    SANE_Parameters p{};
    const SANE_Status pst = sane_get_parameters(device.handle(), &p);
    if (pst != SANE_STATUS_GOOD)
        return failed(Fault::Status, pst);
    if (!validParameters(p))
        return failed(Fault::BadFormat, SANE_STATUS_UNSUPPORTED);
    const bool threePass = p.format == SANE_FRAME_RED || p.format == SANE_FRAME_GREEN || p.format == SANE_FRAME_BLUE;
    if (p.lines > 0)
        progress.bytesTotal.store(std::int64_t(p.lines) * p.bytes_per_line * (threePass ? 3 : 1));
    return threePass ? scanThreePass(device, p, dpi, fd, progress)
                     : scanSinglePass(device, p, dpi, fd, progress);
}

} // namespace

ColourMode classifyMode(const std::string& value)
{
    const std::string v = lower(value);
    if (v.find("lineart") != std::string::npos || v.find("line art") != std::string::npos
        || v.find("binary") != std::string::npos || v == "black & white" || v == "black and white")
        return ColourMode::LineArt;
    if (v.find("gray") != std::string::npos || v.find("grey") != std::string::npos)
        return ColourMode::Gray;
    if (v.find("color") != std::string::npos || v.find("colour") != std::string::npos)
        return ColourMode::Colour;
    return ColourMode::DeviceDefault;
}

ScanResult runScan(Device& device, const ScanSettings& settings, int fd, ScanProgress& progress)
{
    ScanResult result;
    try {
        result = scan(device, settings, fd, progress);
    } catch (const std::bad_alloc&) {
        result = {Outcome::NoMemory, Fault::None, SANE_STATUS_NO_MEM, 0};
    }
    // End the scan (also a finished one, as SANE asks) and let the next
    // acquisition start clean. After a fault the backend gets a moment
    // first: some backends (the test backend among them) cancel their reader
    // thread asynchronously, which can deadlock while that thread is still
    // setting up right after sane_start.
    if (result.outcome == Outcome::Failed)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    device.cancel();
    device.close();
    return result;
}

} // namespace eztw32
