#include "Converter.h"

#include "BmpReader.h"
#include "ColourReduction.h"
#include "Deflate.h"
#include "PngFilter.h"

#include "replace/Bmp.h"
#include "replace/Replace.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <tiffio.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace nconvert {
namespace {

using Bytes = std::vector<std::uint8_t>;

// Uncompressed bytes per band of rows: one PNG IDAT chunk or one TIFF strip.
constexpr std::size_t BandBytes = 512 * 1024;

std::string quoted(const std::string& path)
{
    return "\"" + path + "\"";
}

std::string errnoText(int err)
{
    return std::strerror(err);
}

// ---------------------------------------------------------------------------
// The output target, under the rules of replace/Replace.h: symbolic links
// are followed to the file they name (a dangling link names the file to
// create); a folder, pipe, socket or device there is refused without being
// opened, and so is a file the user may not change.

std::string resolveOutput(const std::string& path, replace::Target& target)
{
    if (const int status = replace::resolve(path.c_str(), target))
        throw Error(
            "cannot write " + quoted(path) + ": " + replace::statusText(status), Error::About::NamedFile);
    return target.path;
}

// ---------------------------------------------------------------------------
// The temporary output file beside the target, named after it, so that
// whoever started the conversion can find what a killed converter left
// behind: "." and the start of the target's name, ".nconvert-" and six
// random characters.

class TempFile {
public:
    explicit TempFile(const replace::Target& target)
        : target_(target.path)
    {
        if (const int status = file_.open(target, ".nconvert-"))
            throw Error("cannot create a file in the folder of " + quoted(target_) + ": "
                    + replace::statusText(status),
                Error::About::NamedFile);
    }

    int fd() const { return file_.fd(); }

    void write(const void* data, std::size_t size)
    {
        if (const int status = file_.write(data, size))
            throw writeError(status);
    }

    Error writeError(int status) const
    {
        return Error(
            "cannot write " + quoted(target_) + ": " + replace::statusText(status), Error::About::NamedFile);
    }

    // Syncs the file, which has its final permissions from the start, and
    // renames it over the target; on failure it is removed.
    void commit()
    {
        if (const int status = file_.commit())
            throw writeError(status);
    }

private:
    std::string target_;
    replace::Beside file_;
};

// ---------------------------------------------------------------------------
// Bands of rows produced on worker threads and consumed in order.

struct WorkerBuffers {
    bmp::RowScratch scratch;
    Bytes rows;
    Bytes stored; // the rows converted to the stored form, when it differs
    Bytes filtered;
    Bytes unfiltered; // palette bands, which are compressed both ways
    Bytes packed;
    std::unique_ptr<RowFilter> rowFilter; // made on the worker's first PNG band
    std::unique_ptr<Deflater> deflater; // made on the worker's first band

    Deflater& compressor()
    {
        if (!deflater)
            deflater = std::make_unique<Deflater>();
        return *deflater;
    }
};

struct Band {
    Bytes data;
    std::uint32_t adler = 1; // of the uncompressed (filtered) bytes
    std::size_t rawBytes = 0;
};

template <class Slot> using Produce = std::function<void(std::size_t index, WorkerBuffers&, Slot&)>;
template <class Slot> using Consume = std::function<void(std::size_t index, Slot&)>;

template <class Slot>
void runBands(std::size_t count, unsigned threads, const Produce<Slot>& produce, const Consume<Slot>& consume)
{
    const std::size_t window = threads + 2;
    std::vector<Slot> slots(window);
    std::vector<char> ready(window, 0);
    std::mutex mutex;
    std::condition_variable changed;
    std::size_t next = 0; // next band to produce
    std::size_t consumed = 0; // bands written so far
    bool stop = false;
    std::exception_ptr failure;

    auto fail = [&](std::exception_ptr e) {
        std::lock_guard lock(mutex);
        if (!failure)
            failure = e;
        stop = true;
        changed.notify_all();
    };

    auto worker = [&] {
        WorkerBuffers buffers;
        for (;;) {
            std::size_t index;
            {
                std::unique_lock lock(mutex);
                changed.wait(lock, [&] { return stop || next >= count || next < consumed + window; });
                if (stop || next >= count)
                    return;
                index = next++;
            }
            try {
                produce(index, buffers, slots[index % window]);
            } catch (...) {
                fail(std::current_exception());
                return;
            }
            std::lock_guard lock(mutex);
            ready[index % window] = 1;
            changed.notify_all();
        }
    };

    std::vector<std::thread> pool;
    try {
        for (unsigned t = 0; t < threads; ++t)
            pool.emplace_back(worker);
    } catch (...) {
        fail(std::current_exception());
    }
    while (true) {
        std::size_t index;
        {
            std::unique_lock lock(mutex);
            changed.wait(lock, [&] { return stop || consumed >= count || ready[consumed % window]; });
            if (stop || consumed >= count)
                break;
            index = consumed;
        }
        try {
            consume(index, slots[index % window]);
        } catch (...) {
            fail(std::current_exception());
            break;
        }
        std::lock_guard lock(mutex);
        ready[index % window] = 0;
        ++consumed;
        changed.notify_all();
    }
    for (auto& t : pool)
        t.join();
    if (failure)
        std::rethrow_exception(failure);
}

// One thread per processor, at most 4.
unsigned threadCount()
{
    return std::clamp(std::thread::hardware_concurrency(), 1u, 4u);
}

std::uint32_t rowsPerBand(std::size_t rowBytes)
{
    return std::uint32_t(
        std::clamp<std::size_t>(BandBytes / std::max<std::size_t>(rowBytes, 1), 1, 1u << 16));
}

// Reads rows [first, first + count) and, when first > 0, the row above
// (into the first row of buffers.rows).
const std::uint8_t* readBand(const bmp::Reader& reader, std::uint32_t first, std::uint32_t count,
    bool withPrevious, WorkerBuffers& buffers)
{
    const std::size_t rowBytes = reader.info().rowBytes();
    const std::uint32_t extra = withPrevious && first > 0 ? 1 : 0;
    buffers.rows.resize((std::size_t(count) + 1) * rowBytes);
    std::uint8_t* start = buffers.rows.data() + (1 - extra) * rowBytes;
    if (extra == 0)
        std::memset(buffers.rows.data(), 0, rowBytes); // the row above the picture is zero
    reader.readRows(first - extra, count + extra, start, buffers.scratch);
    return buffers.rows.data() + rowBytes;
}

// The same rows in the stored form, the row above included as in
// readBand(). The rows are read in pieces of at most a band's bytes, so
// that a band of small stored rows (a page of 24-bit colour stored at 1 bit
// per pixel) never holds its rows as read all at once.
std::uint8_t* readStoredBand(const bmp::Reader& reader, const StoredForm& form, std::uint32_t first,
    std::uint32_t count, bool withPrevious, WorkerBuffers& buffers)
{
    if (form.identity())
        return const_cast<std::uint8_t*>(readBand(reader, first, count, withPrevious, buffers));
    const std::size_t inBytes = reader.info().rowBytes();
    const std::size_t outBytes = form.rowBytes();
    const std::uint32_t extra = withPrevious && first > 0 ? 1 : 0;
    buffers.stored.resize((std::size_t(count) + 1) * outBytes);
    std::uint8_t* out = buffers.stored.data();
    if (extra == 0)
        std::memset(out, 0, outBytes); // the row above the picture is zero
    std::uint8_t* to = out + (1 - extra) * outBytes;
    const std::uint32_t total = count + extra;
    const std::uint32_t piece = rowsPerBand(inBytes);
    for (std::uint32_t done = 0; done < total;) {
        const std::uint32_t n = std::min(piece, total - done);
        buffers.rows.resize(std::size_t(n) * inBytes);
        reader.readRows(first - extra + done, n, buffers.rows.data(), buffers.scratch);
        for (std::uint32_t r = 0; r < n; ++r)
            form.convert(
                buffers.rows.data() + std::size_t(r) * inBytes, to + std::size_t(done + r) * outBytes);
        done += n;
    }
    return out + outBytes;
}

// The stored form of the picture, from one pass over all its rows on the
// worker threads (cut short once the outcome is certain).
StoredForm chooseStoredForm(const bmp::Reader& reader, unsigned threads)
{
    const bmp::ImageInfo& info = reader.info();
    const std::uint32_t bandRows = rowsPerBand(info.rowBytes());
    const std::size_t bands = (info.height + bandRows - 1) / bandRows;
    ColourCensus total(info);
    std::atomic<bool> settled{false};
    struct Slot {
        std::optional<ColourCensus> census;
    };
    Produce<Slot> produce = [&](std::size_t index, WorkerBuffers& buffers, Slot& slot) {
        slot.census.reset();
        if (settled.load(std::memory_order_relaxed))
            return;
        const std::uint32_t first = std::uint32_t(index) * bandRows;
        const std::uint32_t count = std::min(bandRows, info.height - first);
        const std::uint8_t* rows = readBand(reader, first, count, false, buffers);
        slot.census.emplace(info);
        slot.census->count(rows, count);
        if (slot.census->settled())
            settled.store(true, std::memory_order_relaxed);
    };
    Consume<Slot> consume = [&](std::size_t, Slot& slot) {
        if (slot.census)
            total.merge(*slot.census);
        if (total.settled())
            settled.store(true, std::memory_order_relaxed);
    };
    runBands(bands, threads, produce, consume);
    return StoredForm(info, total);
}

// ---------------------------------------------------------------------------
// PNG

void putBE32(std::uint8_t* p, std::uint32_t v)
{
    p[0] = std::uint8_t(v >> 24);
    p[1] = std::uint8_t(v >> 16);
    p[2] = std::uint8_t(v >> 8);
    p[3] = std::uint8_t(v);
}

void appendChunk(Bytes& out, const char type[4], const std::uint8_t* data, std::size_t size)
{
    const std::size_t start = out.size();
    out.resize(start + 8);
    putBE32(out.data() + start, std::uint32_t(size));
    std::memcpy(out.data() + start + 4, type, 4);
    out.insert(out.end(), data, data + size);
    const std::uint32_t crc = std::uint32_t(crc32(0, out.data() + start + 4, uInt(size + 4)));
    out.resize(out.size() + 4);
    putBE32(out.data() + out.size() - 4, crc);
}

void writePng(const bmp::Reader& reader, const StoredForm& form, TempFile& file, unsigned threads)
{
    const bmp::ImageInfo& info = reader.info();
    const std::size_t rowBytes = form.rowBytes();

    int colourType = 2, bitDepth = 8;
    std::size_t pixelBytes = 3;
    const std::vector<bmp::Rgb>* palette = &info.palette;
    switch (form.kind()) {
    case StoredKind::AsRead:
        // An indexed picture is stored as read only when its colours are
        // under a gray profile: with its own palette.
        switch (info.format) {
        case bmp::PixelFormat::Indexed:
            colourType = 3;
            bitDepth = info.indexBits;
            pixelBytes = 1;
            break;
        case bmp::PixelFormat::Rgb8:
            break;
        case bmp::PixelFormat::Rgba8:
            colourType = 6;
            pixelBytes = 4;
            break;
        }
        break;
    case StoredKind::Gray:
        colourType = 0;
        bitDepth = form.bits();
        pixelBytes = 1;
        break;
    case StoredKind::Palette:
        colourType = 3;
        bitDepth = form.bits();
        pixelBytes = 1;
        palette = &form.palette();
        break;
    case StoredKind::Rgb:
        break;
    }
    // Filtering pays only where neighbouring bytes are neighbouring samples.
    // Palette indices are: a palette of the picture's own colours is in
    // order of brightness, and on clean pages filtering makes their bands
    // smaller or larger by a few percent either way; such bands are
    // compressed both ways and the smaller is kept.
    const bool filter = bitDepth == 8;
    const bool alsoUnfiltered = filter && colourType == 3;

    Bytes head = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
    std::uint8_t ihdr[13];
    putBE32(ihdr, info.width);
    putBE32(ihdr + 4, info.height);
    ihdr[8] = std::uint8_t(bitDepth);
    ihdr[9] = std::uint8_t(colourType);
    ihdr[10] = ihdr[11] = ihdr[12] = 0;
    appendChunk(head, "IHDR", ihdr, sizeof ihdr);
    if (info.pixelsPerMetreX != 0 && info.pixelsPerMetreY != 0) {
        std::uint8_t phys[9];
        putBE32(phys, info.pixelsPerMetreX);
        putBE32(phys + 4, info.pixelsPerMetreY);
        phys[8] = 1; // unit: metre
        appendChunk(head, "pHYs", phys, sizeof phys);
    }
    if (!info.iccProfile.empty()) {
        static const char name[] = "ICC profile"; // with its terminating zero
        uLongf packedSize = compressBound(uLong(info.iccProfile.size()));
        Bytes iccp(sizeof name + 1 + packedSize);
        std::memcpy(iccp.data(), name, sizeof name);
        iccp[sizeof name] = 0; // compression method: deflate
        if (compress2(iccp.data() + sizeof name + 1, &packedSize, info.iccProfile.data(),
                uLong(info.iccProfile.size()), 9)
            != Z_OK)
            throw std::runtime_error("cannot compress the colour profile");
        iccp.resize(sizeof name + 1 + packedSize);
        appendChunk(head, "iCCP", iccp.data(), iccp.size());
    }
    if (colourType == 3) {
        Bytes plte;
        for (const auto& c : *palette) {
            plte.push_back(c.r);
            plte.push_back(c.g);
            plte.push_back(c.b);
        }
        appendChunk(head, "PLTE", plte.data(), plte.size());
    }
    // The zlib header (deflate, 32 KiB window, default level) in an IDAT of its own.
    const std::uint8_t zlibHeader[2] = {0x78, 0x9c};
    appendChunk(head, "IDAT", zlibHeader, sizeof zlibHeader);
    file.write(head.data(), head.size());

    const std::uint32_t bandRows = rowsPerBand(rowBytes + 1);
    const std::size_t bands = (info.height + bandRows - 1) / bandRows;
    std::uint32_t adler = 1;

    // The rows of a band with their filter bytes, filtered or not.
    auto lay = [&](const std::uint8_t* rows, std::uint32_t count, bool filtered, WorkerBuffers& buffers,
                   Bytes& raw) {
        raw.resize(std::size_t(count) * (rowBytes + 1));
        if (filtered && !buffers.rowFilter)
            buffers.rowFilter = std::make_unique<RowFilter>(rowBytes, pixelBytes);
        for (std::uint32_t r = 0; r < count; ++r) {
            const std::uint8_t* row = rows + std::size_t(r) * rowBytes;
            std::uint8_t* out = raw.data() + std::size_t(r) * (rowBytes + 1);
            if (filtered) {
                buffers.rowFilter->filter(row, row - rowBytes, out);
            } else {
                out[0] = 0;
                std::memcpy(out + 1, row, rowBytes);
            }
        }
    };
    // One IDAT chunk of the deflate data of raw.
    auto pack = [&](std::size_t index, const Bytes& raw, WorkerBuffers& buffers, Bytes& chunk) {
        // Room for the chunk's length and type, then the deflate data, then its CRC.
        chunk.resize(8);
        buffers.compressor().chunk(
            raw.data(), raw.size(), index + 1 == bands ? ChunkEnd::Final : ChunkEnd::Flush, chunk);
        const std::size_t deflated = chunk.size() - 8;
        putBE32(chunk.data(), std::uint32_t(deflated));
        std::memcpy(chunk.data() + 4, "IDAT", 4);
        const std::uint32_t crc = crc32Of(chunk.data() + 4, deflated + 4);
        chunk.resize(chunk.size() + 4);
        putBE32(chunk.data() + chunk.size() - 4, crc);
    };
    auto produce = [&](std::size_t index, WorkerBuffers& buffers, Band& band) {
        const std::uint32_t first = std::uint32_t(index) * bandRows;
        const std::uint32_t count = std::min(bandRows, info.height - first);
        const std::uint8_t* rows = readStoredBand(reader, form, first, count, filter, buffers);
        lay(rows, count, filter, buffers, buffers.filtered);
        pack(index, buffers.filtered, buffers, band.data);
        const Bytes* raw = &buffers.filtered; // the bytes the kept chunk holds
        if (alsoUnfiltered) {
            lay(rows, count, false, buffers, buffers.unfiltered);
            pack(index, buffers.unfiltered, buffers, buffers.packed);
            if (buffers.packed.size() < band.data.size()) {
                band.data.swap(buffers.packed);
                raw = &buffers.unfiltered;
            }
        }
        band.rawBytes = raw->size();
        band.adler = adler32Of(raw->data(), raw->size());
    };
    auto consume = [&](std::size_t, Band& band) {
        file.write(band.data.data(), band.data.size());
        adler = std::uint32_t(adler32_combine(adler, band.adler, z_off_t(band.rawBytes)));
    };
    runBands<Band>(bands, threads, produce, consume);

    Bytes tail;
    std::uint8_t checksum[4];
    putBE32(checksum, adler);
    appendChunk(tail, "IDAT", checksum, sizeof checksum);
    appendChunk(tail, "IEND", nullptr, 0);
    file.write(tail.data(), tail.size());
}

// ---------------------------------------------------------------------------
// TIFF

// libtiff reports its errors through a global handler; the last one is kept
// for the message. libtiff is only called from the main thread.
std::string g_tiffError;

void tiffErrorHandler(const char* module, const char* format, va_list args)
{
    char text[512];
    std::vsnprintf(text, sizeof text, format, args);
    g_tiffError = text;
    (void)module;
}

void tiffWarningHandler(const char*, const char*, va_list)
{ }

// libtiff writes through these, so that a failing write keeps its errno.
struct TiffIo {
    int fd;
    int error = 0;
};

tmsize_t tiffRead(thandle_t h, void* buf, tmsize_t size)
{
    auto* io = static_cast<TiffIo*>(h);
    const ssize_t n = ::read(io->fd, buf, std::size_t(size));
    if (n < 0)
        io->error = errno;
    return n;
}

tmsize_t tiffWrite(thandle_t h, void* buf, tmsize_t size)
{
    auto* io = static_cast<TiffIo*>(h);
    auto* p = static_cast<const std::uint8_t*>(buf);
    tmsize_t done = 0;
    while (done < size) {
        const ssize_t n = ::write(io->fd, p + done, std::size_t(size - done));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            io->error = errno;
            return -1;
        }
        done += n;
    }
    return done;
}

toff_t tiffSeek(thandle_t h, toff_t offset, int whence)
{
    auto* io = static_cast<TiffIo*>(h);
    const off_t r = ::lseek(io->fd, off_t(offset), whence);
    if (r < 0) {
        io->error = errno;
        return toff_t(-1);
    }
    return toff_t(r);
}

int tiffClose(thandle_t)
{
    return 0;
} // the descriptor belongs to TempFile

toff_t tiffSize(thandle_t h)
{
    auto* io = static_cast<TiffIo*>(h);
    struct stat st { };
    return ::fstat(io->fd, &st) == 0 ? toff_t(st.st_size) : 0;
}

int tiffMap(thandle_t, void**, toff_t*)
{
    return 0;
}
void tiffUnmap(thandle_t, void*, toff_t)
{ }

// Resolution in dots per inch: a whole number when the pixels per metre are
// the rounding of one (600 dpi is stored as 23622 pixels per metre).
float dotsPerInch(std::uint32_t pixelsPerMetre)
{
    const double dpi = pixelsPerMetre * replace::MetresPerInch;
    const double whole = std::round(dpi);
    if (whole > 0 && std::lround(whole / replace::MetresPerInch) == long(pixelsPerMetre))
        return float(whole);
    return float(dpi);
}

// Horizontal differencing, sample by sample, last pixel first: sixteen
// bytes at a time, each block read before the block to its left is changed.
void predictHorizontally(std::uint8_t* rows, std::uint32_t count, std::size_t rowBytes, std::size_t samples)
{
    for (std::uint32_t r = 0; r < count; ++r) {
        std::uint8_t* row = rows + std::size_t(r) * rowBytes;
        std::size_t i = rowBytes;
#if defined(__SSE2__)
        while (i >= samples + 16) {
            i -= 16;
            const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + i));
            const __m128i left = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + i - samples));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(row + i), _mm_sub_epi8(x, left));
        }
#endif
        while (i > samples) {
            --i;
            row[i] = std::uint8_t(row[i] - row[i - samples]);
        }
    }
}

// Whether the horizontal predictor makes the strips smaller. It does on
// scans and photographs, whose neighbouring samples differ by little; on
// clean pages and charts, whose runs of one colour deflate finds as they
// are, it makes them larger. The TIFF predictor holds for the whole picture,
// so a few strips across it are compressed both ways (at a fast level).
bool predictionPays(
    const bmp::Reader& reader, const StoredForm& form, std::uint32_t bandRows, std::size_t samples)
{
    const bmp::ImageInfo& info = reader.info();
    const std::size_t rowBytes = form.rowBytes();
    const std::uint32_t rows = std::min(info.height, std::max<std::uint32_t>(1, bandRows / 4));
    WorkerBuffers buffers;
    Deflater fast(1);
    std::size_t plain = 0, predicted = 0;
    Bytes packed;
    for (int k = 1; k <= 3; ++k) {
        const std::uint32_t first = std::uint32_t(std::uint64_t(info.height - rows) * std::uint32_t(k) / 4);
        std::uint8_t* data = readStoredBand(reader, form, first, rows, false, buffers);
        const std::size_t size = std::size_t(rows) * rowBytes;
        packed.clear();
        fast.zlibStream(data, size, packed);
        plain += packed.size();
        predictHorizontally(data, rows, rowBytes, samples);
        packed.clear();
        fast.zlibStream(data, size, packed);
        predicted += packed.size();
    }
    return predicted < plain;
}

void writeTiff(const bmp::Reader& reader, const StoredForm& form, TempFile& file,
    const std::string& outputPath, unsigned threads)
{
    const bmp::ImageInfo& info = reader.info();
    const std::size_t rowBytes = form.rowBytes();
    const std::uint64_t rawSize = std::uint64_t(rowBytes) * info.height;

    TIFFSetErrorHandler(tiffErrorHandler);
    TIFFSetWarningHandler(tiffWarningHandler);
    g_tiffError.clear();
    TiffIo io{file.fd()};
    // Classic TIFF addresses 4 GiB; beyond that (with room for an
    // incompressible picture) BigTIFF.
    const char* mode = rawSize + rawSize / 8 > 0xf0000000ull ? "w8" : "w";
    TIFF* tif = TIFFClientOpen(outputPath.c_str(), mode, &io, tiffRead, tiffWrite, tiffSeek, tiffClose,
        tiffSize, tiffMap, tiffUnmap);
    auto tiffFailure = [&](const char* what) {
        if (io.error != 0)
            return file.writeError(io.error);
        return Error(std::string("cannot write ") + quoted(outputPath) + ": " + what
                + (g_tiffError.empty() ? std::string() : " (" + g_tiffError + ")"),
            Error::About::NamedFile);
    };
    if (tif == nullptr)
        throw tiffFailure("cannot start the TIFF file");
    struct Closer {
        TIFF*& tif;
        ~Closer()
        {
            if (tif != nullptr)
                TIFFClose(tif);
        }
    } closer{tif};

    std::uint16_t samples = 1, bits = 8, photometric = PHOTOMETRIC_RGB;
    bool predict = true;
    bool alpha = false;
    const std::vector<bmp::Rgb>* palette = &info.palette;
    switch (form.kind()) {
    case StoredKind::AsRead:
        // An indexed picture is stored as read only when its colours are
        // under a gray profile: with its own palette.
        switch (info.format) {
        case bmp::PixelFormat::Indexed:
            bits = std::uint16_t(info.indexBits);
            photometric = PHOTOMETRIC_PALETTE;
            predict = false;
            break;
        case bmp::PixelFormat::Rgb8:
            samples = 3;
            break;
        case bmp::PixelFormat::Rgba8:
            samples = 4;
            alpha = true;
            break;
        }
        break;
    case StoredKind::Gray:
        bits = std::uint16_t(form.bits());
        photometric = PHOTOMETRIC_MINISBLACK;
        predict = bits == 8;
        break;
    case StoredKind::Palette:
        bits = std::uint16_t(form.bits());
        photometric = PHOTOMETRIC_PALETTE;
        predict = false;
        palette = &form.palette();
        break;
    case StoredKind::Rgb:
        samples = 3;
        break;
    }
    const std::uint32_t bandRows = rowsPerBand(rowBytes);
    if (predict)
        predict = predictionPays(reader, form, bandRows, samples);
    bool ok = TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, info.width)
        && TIFFSetField(tif, TIFFTAG_IMAGELENGTH, info.height)
        && TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, bits)
        && TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, samples)
        && TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, photometric)
        && TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG)
        && TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_ADOBE_DEFLATE)
        && TIFFSetField(tif, TIFFTAG_PREDICTOR, predict ? PREDICTOR_HORIZONTAL : PREDICTOR_NONE)
        && TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, bandRows)
        && TIFFSetField(tif, TIFFTAG_ORIENTATION, ORIENTATION_TOPLEFT);
    if (ok && alpha) {
        const std::uint16_t extra[1] = {EXTRASAMPLE_UNASSALPHA};
        ok = TIFFSetField(tif, TIFFTAG_EXTRASAMPLES, 1, extra);
    }
    if (ok && info.pixelsPerMetreX != 0 && info.pixelsPerMetreY != 0) {
        ok = TIFFSetField(tif, TIFFTAG_XRESOLUTION, dotsPerInch(info.pixelsPerMetreX))
            && TIFFSetField(tif, TIFFTAG_YRESOLUTION, dotsPerInch(info.pixelsPerMetreY))
            && TIFFSetField(tif, TIFFTAG_RESOLUTIONUNIT, RESUNIT_INCH);
    }
    if (ok && !info.iccProfile.empty())
        ok = TIFFSetField(
            tif, TIFFTAG_ICCPROFILE, std::uint32_t(info.iccProfile.size()), info.iccProfile.data());
    if (ok && photometric == PHOTOMETRIC_PALETTE) {
        const std::size_t n = std::size_t(1) << bits;
        std::vector<std::uint16_t> red(n, 0), green(n, 0), blue(n, 0);
        for (std::size_t i = 0; i < palette->size(); ++i) {
            red[i] = std::uint16_t((*palette)[i].r * 257);
            green[i] = std::uint16_t((*palette)[i].g * 257);
            blue[i] = std::uint16_t((*palette)[i].b * 257);
        }
        ok = TIFFSetField(tif, TIFFTAG_COLORMAP, red.data(), green.data(), blue.data());
    }
    if (!ok)
        throw tiffFailure("cannot set up the TIFF header");

    const std::size_t strips = (info.height + bandRows - 1) / bandRows;
    auto produce = [&](std::size_t index, WorkerBuffers& buffers, Band& band) {
        const std::uint32_t first = std::uint32_t(index) * bandRows;
        const std::uint32_t count = std::min(bandRows, info.height - first);
        std::uint8_t* rows = readStoredBand(reader, form, first, count, false, buffers);
        if (predict)
            predictHorizontally(rows, count, rowBytes, samples);
        band.data.clear();
        buffers.compressor().zlibStream(rows, std::size_t(count) * rowBytes, band.data);
    };
    auto consume = [&](std::size_t index, Band& band) {
        if (TIFFWriteRawStrip(tif, std::uint32_t(index), band.data.data(), tmsize_t(band.data.size())) < 0)
            throw tiffFailure("cannot write a strip");
    };
    runBands<Band>(strips, threads, produce, consume);

    if (!TIFFWriteDirectory(tif))
        throw tiffFailure("cannot write the TIFF directory");
    TIFFClose(tif);
    tif = nullptr;
    if (io.error != 0)
        throw file.writeError(io.error);
}

} // namespace

void convertBmp(const std::string& inputPath, const std::string& chosenOutput, OutputFormat format)
{
    replace::Target target;
    const std::string outputPath = resolveOutput(chosenOutput, target);

    const int fd = ::open(inputPath.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        throw Error("cannot open " + quoted(inputPath) + ": " + errnoText(errno), Error::About::NamedFile);
    struct FdCloser {
        int fd;
        ~FdCloser() { ::close(fd); }
    } inputCloser{fd};

    try {
        bmp::FileSource source(fd);
        bmp::Reader reader(source);
        TempFile file(target);
        const unsigned threads = threadCount();
        const StoredForm form = chooseStoredForm(reader, threads);
        if (format == OutputFormat::Png)
            writePng(reader, form, file, threads);
        else
            writeTiff(reader, form, file, outputPath, threads);
        file.commit();
    } catch (const Error& e) {
        if (e.about() == Error::About::NamedFile)
            throw;
        throw Error(quoted(inputPath) + ": " + e.what(), Error::About::NamedFile);
    } catch (const std::bad_alloc&) {
        throw Error("out of memory converting " + quoted(inputPath), Error::About::NamedFile);
    } catch (const std::exception& e) {
        throw Error("cannot convert " + quoted(inputPath) + ": " + e.what(), Error::About::NamedFile);
    }
}

} // namespace nconvert
