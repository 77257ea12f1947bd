#include "writers/jpeg/StripEncoder.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

namespace orvane::jpeg {

namespace {

static_assert(StripEncoder::StripRows % 64 == 0, "a strip must hold a multiple of 8 rows of 8x8 blocks");

constexpr unsigned char Marker = 0xFF;
constexpr unsigned char StartOfImage = 0xD8;
constexpr unsigned char EndOfImage = 0xD9;
constexpr unsigned char StartOfScan = 0xDA;
constexpr unsigned char BaselineFrame = 0xC0;
constexpr unsigned char FirstRestart = 0xD0;

// Collects one strip's compressed bytes.
class MemoryOutput final : public Output {
public:
    explicit MemoryOutput(std::vector<unsigned char>& bytes)
        : bytes_(bytes)
    { }
    bool write(const unsigned char* data, std::size_t size) override
    {
        try {
            bytes_.insert(bytes_.end(), data, data + size);
            return true;
        } catch (const std::bad_alloc&) {
            outOfMemory = true;
            return false;
        }
    }
    bool outOfMemory = false;

private:
    std::vector<unsigned char>& bytes_;
};

// Where the parts of a strip's file lie: the frame's height field, and the
// compressed data between the scan header and the end marker.
struct Layout {
    std::size_t heightAt = 0;
    std::size_t dataBegin = 0;
    std::size_t dataEnd = 0;
};

bool locate(const std::vector<unsigned char>& file, Layout& at)
{
    const std::size_t size = file.size();
    if (size < 4 || file[0] != Marker || file[1] != StartOfImage || file[size - 2] != Marker
        || file[size - 1] != EndOfImage)
        return false;
    std::size_t pos = 2;
    while (pos + 4 <= size && file[pos] == Marker) {
        const unsigned char code = file[pos + 1];
        const std::size_t length = std::size_t(file[pos + 2]) << 8 | file[pos + 3];
        if (code == BaselineFrame)
            at.heightAt = pos + 5; // after length (2) and sample precision (1)
        if (code == StartOfScan) {
            at.dataBegin = pos + 2 + length;
            at.dataEnd = size - 2;
            return at.heightAt != 0 && at.dataBegin <= at.dataEnd;
        }
        pos += 2 + length;
    }
    return false;
}

bool writeAll(Output& output, const unsigned char* data, std::size_t size)
{
    return size == 0 || output.write(data, size);
}

} // namespace

int StripEncoder::defaultWorkers()
{
    return std::clamp(int(std::thread::hardware_concurrency()), 1, 4);
}

StripEncoder::StripEncoder(int workers)
    : workers_(std::max(1, workers))
{ }

StripEncoder::~StripEncoder()
{
    shutdown();
}

Result StripEncoder::start()
{
    message_.clear();
    if (!compressors_.empty())
        return Result::InvalidArgument;
    for (int i = 0; i < workers_; ++i) {
        auto* compressor = new (std::nothrow) Compressor;
        const Result result = compressor ? compressor->create() : Result::OutOfMemory;
        if (result != Result::Ok) {
            if (compressor)
                message_ = compressor->message();
            delete compressor;
            shutdown();
            return result;
        }
        compressors_.emplace_back(compressor);
    }
    return Result::Ok;
}

void StripEncoder::shutdown()
{
    compressors_.clear(); // each compressor frees its libjpeg object
}

Result StripEncoder::encode(const Parameters& p, RowSource& source, Output& output)
{
    message_.clear();
    if (compressors_.empty() || p.width <= 0 || p.height <= 0)
        return Result::InvalidArgument;
    if (p.width > MaxDimension || p.height > MaxDimension)
        return Result::TooLarge;

    const int strips = (p.height + StripRows - 1) / StripRows;
    const int threads = std::min(int(compressors_.size()), strips);
    const int window = threads * 2; // strips encoded ahead of the writing

    struct Slot {
        bool done = false;
        std::vector<unsigned char> bytes;
    };
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<Slot> slots(std::size_t(strips), Slot{});
    std::vector<std::vector<unsigned char>> spare;
    int next = 0;
    int written = 0;
    Result failure = Result::Ok;
    std::string failureText;

    const auto fail = [&](Result result, const std::string& text) { // with `mutex` held
        if (failure == Result::Ok) {
            failure = result;
            failureText = text;
        }
        changed.notify_all();
    };

    const auto encodeStrip = [&](int strip, int worker, std::vector<unsigned char>& bytes) {
        Parameters sp = p;
        const int first = strip * StripRows;
        sp.height = std::min(StripRows, p.height - first);
        sp.restartEveryRow = strips > 1;
        Compressor& compressor = *compressors_[std::size_t(worker)];
        MemoryOutput out(bytes);
        Result result = compressor.begin(sp, out);
        for (int y = 0; result == Result::Ok && y < sp.height; y += Band) {
            const int count = std::min(Band, sp.height - y);
            const unsigned char* const* rows = source.rows(first + y, count, worker);
            result = rows ? compressor.writeRows(rows, count) : Result::OutOfMemory;
        }
        if (result == Result::Ok)
            result = compressor.finish();
        else
            compressor.abort();
        if (result == Result::OutputFailed && out.outOfMemory)
            result = Result::OutOfMemory;
        return result;
    };

    const auto work = [&](int worker) {
        std::unique_lock lock(mutex);
        for (;;) {
            changed.wait(
                lock, [&] { return failure != Result::Ok || next >= strips || next < written + window; });
            if (failure != Result::Ok || next >= strips)
                return;
            const int strip = next++;
            std::vector<unsigned char> bytes;
            if (!spare.empty()) {
                bytes = std::move(spare.back());
                spare.pop_back();
            }
            lock.unlock();
            bytes.clear();
            Result result = Result::OutOfMemory;
            try {
                result = encodeStrip(strip, worker, bytes);
            } catch (const std::bad_alloc&) {
                compressors_[std::size_t(worker)]->abort();
            }
            const std::string text
                = result == Result::Ok ? std::string() : compressors_[std::size_t(worker)]->message();
            lock.lock();
            if (result != Result::Ok) {
                fail(result, text);
                return;
            }
            slots[std::size_t(strip)].bytes = std::move(bytes);
            slots[std::size_t(strip)].done = true;
            changed.notify_all();
        }
    };

    // The threads are always stopped and joined before the shared state
    // goes, whatever way this function is left.
    std::vector<std::thread> pool;
    struct Joiner {
        std::vector<std::thread>& pool;
        std::mutex& mutex;
        std::condition_variable& changed;
        Result& failure;
        ~Joiner()
        {
            {
                std::lock_guard lock(mutex);
                if (failure == Result::Ok)
                    failure = Result::CodecFailed; // stop the threads; harmless once all is written
                changed.notify_all();
            }
            for (std::thread& t : pool)
                t.join();
        }
    };
    const Joiner joiner{pool, mutex, changed, failure};
    for (int worker = 0; worker < threads; ++worker) {
        try {
            pool.emplace_back(work, worker);
        } catch (const std::system_error&) {
            break; // carry on with the threads there are
        }
    }
    if (pool.empty()) {
        message_ = "Cannot start a thread";
        return Result::OutOfMemory;
    }

    // Write the strips in order as they are done: the first with the full
    // picture height in its frame header, each further one after the
    // restart marker that continues the count, then the end of the image.
    Result result = Result::Ok;
    std::string text;
    for (int strip = 0; strip < strips; ++strip) {
        std::unique_lock lock(mutex);
        changed.wait(lock, [&] { return slots[std::size_t(strip)].done || failure != Result::Ok; });
        if (failure != Result::Ok) {
            result = failure;
            text = failureText;
            break;
        }
        std::vector<unsigned char> bytes = std::move(slots[std::size_t(strip)].bytes);
        lock.unlock();

        Layout at;
        bool ok = locate(bytes, at);
        if (!ok) {
            result = Result::CodecFailed;
            text = "Unexpected layout of a compressed strip";
        } else if (strip == 0) {
            bytes[at.heightAt] = static_cast<unsigned char>(p.height >> 8);
            bytes[at.heightAt + 1] = static_cast<unsigned char>(p.height & 0xFF);
            ok = writeAll(output, bytes.data(), at.dataEnd);
        } else {
            const int restartsBefore = strip * (StripRows / 8); // one per row of blocks
            const unsigned char restart[2]
                = {Marker, static_cast<unsigned char>(FirstRestart + (restartsBefore - 1) % 8)};
            ok = writeAll(output, restart, 2)
                && writeAll(output, bytes.data() + at.dataBegin, at.dataEnd - at.dataBegin);
        }
        if (ok && strip == strips - 1) {
            const unsigned char end[2] = {Marker, EndOfImage};
            ok = writeAll(output, end, 2);
        }
        lock.lock();
        if (!ok) {
            if (result == Result::Ok)
                result = Result::OutputFailed;
            fail(result, text);
            break;
        }
        spare.push_back(std::move(bytes));
        written = strip + 1;
        changed.notify_all();
    }
    if (result != Result::Ok)
        message_ = text;
    return result;
}

} // namespace orvane::jpeg
