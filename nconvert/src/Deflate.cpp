#include "Deflate.h"

#include <libdeflate.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <new>
#include <stdexcept>

namespace nconvert {
namespace {

// Bytes per Huffman block: small enough for the code to follow the data,
// large enough that the block header (about 100 bytes) does not matter.
constexpr std::size_t BlockBytes = 32768;
constexpr int MaxCodeLength = 15;
constexpr int MaxCodeLengthCodeLength = 7;
constexpr int EndOfBlock = 256;
constexpr int LiteralCodes = 257; // 0..255 and end of block

// Least significant bit first, as deflate wants; writes whole 64-bit words
// ahead, so the output needs 8 bytes of slack.
class BitWriter {
public:
    explicit BitWriter(std::uint8_t* out)
        : out_(out)
    { }

    void put(std::uint32_t bits, int count)
    {
        buffer_ |= std::uint64_t(bits) << filled_;
        filled_ += count;
        if (filled_ >= 32)
            spill();
    }
    // Caller guarantees that at most 64 - 7 bits are pending.
    void putUnchecked(std::uint32_t bits, int count)
    {
        buffer_ |= std::uint64_t(bits) << filled_;
        filled_ += count;
    }
    void spill()
    {
        std::memcpy(out_, &buffer_, 8); // little-endian host (x86-64, arm64)
        const int bytes = filled_ >> 3;
        out_ += bytes;
        buffer_ = bytes == 8 ? 0 : buffer_ >> (bytes * 8);
        filled_ &= 7;
    }
    // Pads with zero bits to the next byte boundary.
    void alignToByte()
    {
        spill();
        if (filled_ > 0) {
            filled_ = 8;
            spill();
        }
    }
    std::uint8_t* position() const { return out_; } // valid after alignToByte()

private:
    std::uint8_t* out_;
    std::uint64_t buffer_ = 0;
    int filled_ = 0;
};

std::uint32_t reverseBits(std::uint32_t code, int length)
{
    std::uint32_t r = 0;
    for (int i = 0; i < length; ++i) {
        r = (r << 1) | (code & 1);
        code >>= 1;
    }
    return r;
}

// Optimal prefix code lengths limited to maxLength bits (in-place algorithm
// of Moffat and Katajainen on the sorted frequencies, then the over-long codes
// are folded back so that the Kraft sum stays exactly one).
template <std::size_t N>
void buildLengths(
    const std::array<std::uint32_t, N>& freq, int maxLength, std::array<std::uint8_t, N>& lengths)
{
    lengths.fill(0);
    std::array<std::uint32_t, N> symbols{};
    std::array<std::uint32_t, N> work{};
    int n = 0;
    for (std::size_t s = 0; s < N; ++s)
        if (freq[s] != 0)
            symbols[n++] = std::uint32_t(s);
    if (n == 0)
        return;
    if (n == 1) {
        // A single symbol still needs a complete code: give it a partner.
        lengths[symbols[0]] = 1;
        lengths[symbols[0] == 0 ? 1 : 0] = 1;
        return;
    }
    std::sort(symbols.begin(), symbols.begin() + n,
        [&](std::uint32_t a, std::uint32_t b) { return freq[a] < freq[b]; });
    for (int i = 0; i < n; ++i)
        work[i] = freq[symbols[i]];

    // Moffat-Katajainen: work[] becomes code lengths, longest first.
    {
        std::uint32_t* a = work.data();
        int root = 0, leaf = 2;
        a[0] += a[1];
        for (int next = 1; next < n - 1; ++next) {
            if (leaf >= n || a[root] < a[leaf]) {
                a[next] = a[root];
                a[root++] = std::uint32_t(next);
            } else {
                a[next] = a[leaf++];
            }
            if (leaf >= n || (root < next && a[root] < a[leaf])) {
                a[next] += a[root];
                a[root++] = std::uint32_t(next);
            } else {
                a[next] += a[leaf++];
            }
        }
        a[n - 2] = 0;
        for (int next = n - 3; next >= 0; --next)
            a[next] = a[a[next]] + 1;
        int avail = 1, used = 0;
        std::uint32_t depth = 0;
        root = n - 2;
        int next = n - 1;
        while (avail > 0) {
            while (root >= 0 && a[root] == depth) {
                ++used;
                --root;
            }
            while (avail > used) {
                a[next--] = depth;
                --avail;
            }
            avail = 2 * used;
            ++depth;
            used = 0;
        }
    }

    // Count codes per length, fold lengths above the limit, repair the Kraft sum.
    std::array<int, 33> count{};
    for (int i = 0; i < n; ++i)
        ++count[std::min<std::uint32_t>(work[i], 32)];
    for (int len = maxLength + 1; len <= 32; ++len) {
        count[maxLength] += count[len];
        count[len] = 0;
    }
    std::uint64_t kraft = 0;
    for (int len = 1; len <= maxLength; ++len)
        kraft += std::uint64_t(count[len]) << (maxLength - len);
    while (kraft > (std::uint64_t(1) << maxLength)) {
        --count[maxLength];
        for (int len = maxLength - 1; len > 0; --len) {
            if (count[len] != 0) {
                --count[len];
                count[len + 1] += 2;
                break;
            }
        }
        --kraft;
    }
    // Longest codes to the rarest symbols (symbols[] is sorted by frequency).
    int i = 0;
    for (int len = maxLength; len >= 1; --len)
        for (int k = 0; k < count[len]; ++k)
            lengths[symbols[i++]] = std::uint8_t(len);
}

// Canonical codes, bit-reversed for the LSB-first bit order.
template <std::size_t N>
void buildCodes(const std::array<std::uint8_t, N>& lengths, std::array<std::uint16_t, N>& codes)
{
    std::array<int, MaxCodeLength + 2> count{};
    for (auto len : lengths)
        ++count[len];
    count[0] = 0;
    std::array<std::uint32_t, MaxCodeLength + 2> next{};
    std::uint32_t code = 0;
    for (int len = 1; len <= MaxCodeLength; ++len) {
        code = (code + count[len - 1]) << 1;
        next[len] = code;
    }
    for (std::size_t s = 0; s < N; ++s)
        codes[s] = lengths[s] ? std::uint16_t(reverseBits(next[lengths[s]]++, lengths[s])) : 0;
}

struct CodeLengthToken {
    std::uint8_t symbol; // 0..18
    std::uint8_t extra; // value of the extra bits
};

constexpr std::array<std::uint8_t, 19> CodeLengthOrder
    = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};

// Writes one dynamic-Huffman block holding the literals data[0, size).
void writeHuffmanBlock(BitWriter& bits, const std::uint8_t* data, std::size_t size,
    const std::array<std::uint8_t, LiteralCodes>& litLengths, bool final)
{
    std::array<std::uint16_t, LiteralCodes> litCodes{};
    buildCodes(litLengths, litCodes);

    // Code lengths of the 257 literal codes and of two distance codes (never
    // used; two one-bit codes make a complete distance code every decoder takes).
    std::array<std::uint8_t, LiteralCodes + 2> all{};
    std::copy(litLengths.begin(), litLengths.end(), all.begin());
    all[LiteralCodes] = 1;
    all[LiteralCodes + 1] = 1;

    std::array<CodeLengthToken, LiteralCodes + 2> tokens{};
    int tokenCount = 0;
    for (std::size_t i = 0; i < all.size();) {
        const std::uint8_t len = all[i];
        std::size_t run = 1;
        while (i + run < all.size() && all[i + run] == len)
            ++run;
        std::size_t left = run;
        if (len == 0) {
            while (left >= 11) {
                const std::size_t r = std::min<std::size_t>(left, 138);
                tokens[tokenCount++] = {18, std::uint8_t(r - 11)};
                left -= r;
            }
            if (left >= 3) {
                tokens[tokenCount++] = {17, std::uint8_t(left - 3)};
                left = 0;
            }
        } else {
            tokens[tokenCount++] = {len, 0};
            --left;
            while (left >= 3) {
                const std::size_t r = std::min<std::size_t>(left, 6);
                tokens[tokenCount++] = {16, std::uint8_t(r - 3)};
                left -= r;
            }
        }
        while (left > 0) {
            tokens[tokenCount++] = {len, 0};
            --left;
        }
        i += run;
    }

    std::array<std::uint32_t, 19> clFreq{};
    for (int t = 0; t < tokenCount; ++t)
        ++clFreq[tokens[t].symbol];
    std::array<std::uint8_t, 19> clLengths{};
    buildLengths(clFreq, MaxCodeLengthCodeLength, clLengths);
    std::array<std::uint16_t, 19> clCodes{};
    buildCodes(clLengths, clCodes);
    int hclen = 19;
    while (hclen > 4 && clLengths[CodeLengthOrder[hclen - 1]] == 0)
        --hclen;

    bits.put(final ? 1 : 0, 1);
    bits.put(2, 2); // dynamic Huffman
    bits.put(LiteralCodes - 257, 5); // HLIT
    bits.put(2 - 1, 5); // HDIST
    bits.put(std::uint32_t(hclen - 4), 4);
    for (int i = 0; i < hclen; ++i)
        bits.put(clLengths[CodeLengthOrder[i]], 3);
    for (int t = 0; t < tokenCount; ++t) {
        const auto& tok = tokens[t];
        bits.put(clCodes[tok.symbol], clLengths[tok.symbol]);
        if (tok.symbol == 16)
            bits.put(tok.extra, 2);
        else if (tok.symbol == 17)
            bits.put(tok.extra, 3);
        else if (tok.symbol == 18)
            bits.put(tok.extra, 7);
    }

    // The literals: code and length packed in one table word; three codes of at
    // most 15 bits fit in the 64-bit buffer on top of at most 7 pending bits.
    std::array<std::uint32_t, 256> table{};
    for (int s = 0; s < 256; ++s)
        table[s] = std::uint32_t(litCodes[s]) | (std::uint32_t(litLengths[s]) << 16);
    bits.spill();
    std::size_t i = 0;
    for (; i + 3 <= size; i += 3) {
        const std::uint32_t a = table[data[i]], b = table[data[i + 1]], c = table[data[i + 2]];
        bits.putUnchecked(a & 0xffff, int(a >> 16));
        bits.putUnchecked(b & 0xffff, int(b >> 16));
        bits.putUnchecked(c & 0xffff, int(c >> 16));
        bits.spill();
    }
    for (; i < size; ++i) {
        const std::uint32_t a = table[data[i]];
        bits.put(a & 0xffff, int(a >> 16));
    }
    bits.put(litCodes[EndOfBlock], litLengths[EndOfBlock]);
}

void writeStoredBlock(BitWriter& bits, const std::uint8_t* data, std::size_t size, bool final)
{
    bits.put(final ? 1 : 0, 1);
    bits.put(0, 2);
    bits.alignToByte();
    std::uint8_t* out = bits.position();
    const auto len = std::uint16_t(size);
    out[0] = std::uint8_t(len);
    out[1] = std::uint8_t(len >> 8);
    out[2] = std::uint8_t(~len);
    out[3] = std::uint8_t(~len >> 8);
    if (size != 0)
        std::memcpy(out + 4, data, size);
    bits = BitWriter(out + 4 + size);
}

// Whether LZ77 matching may pay: samples the chunk and counts how often eight

// The Huffman code of the literals data[0, size) and the bits they take in it.
std::uint64_t fitCode(const std::uint8_t* p, std::size_t n, std::array<std::uint32_t, LiteralCodes>& freq,
    std::array<std::uint8_t, LiteralCodes>& lengths)
{
    {
        // Four histograms break the store-to-load dependency on repeated bytes.
        std::array<std::array<std::uint32_t, 256>, 4> h{};
        std::size_t i = 0;
        for (; i + 4 <= n; i += 4) {
            ++h[0][p[i]];
            ++h[1][p[i + 1]];
            ++h[2][p[i + 2]];
            ++h[3][p[i + 3]];
        }
        for (; i < n; ++i)
            ++h[0][p[i]];
        for (int s = 0; s < 256; ++s)
            freq[s] = h[0][s] + h[1][s] + h[2][s] + h[3][s];
    }
    freq[EndOfBlock] = 1;
    buildLengths(freq, MaxCodeLength, lengths);
    std::uint64_t bits = 0;
    for (int s = 0; s < LiteralCodes; ++s)
        bits += std::uint64_t(freq[s]) * lengths[s];
    return bits;
}

// What a Huffman-only block of data[0, size) takes, header included.
std::size_t huffmanBytes(const std::uint8_t* data, std::size_t size)
{
    std::array<std::uint32_t, LiteralCodes> freq{};
    std::array<std::uint8_t, LiteralCodes> lengths{};
    return std::min<std::size_t>(std::size_t(fitCode(data, size, freq, lengths) / 8) + 100, size + 5);
}

// Where the last block of a raw deflate stream begins, and how many zero
// bits pad its end to a byte. Found by walking the stream block by block and
// decoding its symbols without producing any output: a match costs as little
// as a literal, so a page that compresses well is walked in no time.
struct LastBlock {
    std::size_t headerBit = 0;
    int paddingBits = 0;
};

class StreamWalker {
public:
    StreamWalker(const std::uint8_t* data, std::size_t size)
        : data_(data)
        , size_(size)
    { }

    LastBlock walk()
    {
        for (;;) {
            LastBlock last;
            last.headerBit = pos_;
            const bool final = take(1) != 0;
            const std::uint32_t type = take(2);
            if (type == 0) {
                skipStored();
            } else if (type == 1) {
                fixedTables();
                skipSymbols();
            } else if (type == 2) {
                dynamicTables();
                skipSymbols();
            } else {
                fail();
            }
            if (final) {
                last.paddingBits = int((8 - pos_ % 8) % 8);
                if ((pos_ + 7) / 8 != size_)
                    fail();
                return last;
            }
        }
    }

private:
    static constexpr unsigned MaxBits = 15;
    // Indexed by the next bits of the stream (as many as the code's longest
    // code): symbol << 4 | code length.
    struct Table {
        std::array<std::uint16_t, 1u << MaxBits> entries;
        unsigned bits = 0;
    };

    [[noreturn]] static void fail() { throw std::runtime_error("the compressed data does not decode"); }

    // The next 57 bits from the position, zeros past the end.
    std::uint64_t peek() const
    {
        const std::size_t byte = pos_ / 8;
        std::uint64_t v = 0;
        if (byte + 8 <= size_) {
            std::memcpy(&v, data_ + byte, 8); // little-endian host (x86-64, arm64)
        } else {
            for (std::size_t i = byte; i < size_; ++i)
                v |= std::uint64_t(data_[i]) << (8 * (i - byte));
        }
        return v >> (pos_ % 8);
    }
    void drop(unsigned bits)
    {
        pos_ += bits;
        if (pos_ > size_ * 8)
            fail();
    }
    std::uint32_t take(unsigned bits)
    {
        const auto v = std::uint32_t(peek() & ((1u << bits) - 1));
        drop(bits);
        return v;
    }
    unsigned decode(const Table& table)
    {
        const std::uint16_t e = table.entries[peek() & ((1u << table.bits) - 1)];
        if ((e & 15) == 0)
            fail();
        drop(e & 15);
        return e >> 4;
    }

    static void build(Table& table, const std::uint8_t* lengths, unsigned count)
    {
        std::array<unsigned, 16> perLength{};
        for (unsigned s = 0; s < count; ++s)
            ++perLength[lengths[s]];
        perLength[0] = 0;
        std::array<unsigned, 16> next{};
        unsigned code = 0;
        table.bits = 1;
        for (unsigned len = 1; len <= MaxBits; ++len) {
            code = (code + perLength[len - 1]) << 1;
            next[len] = code;
            if (perLength[len] != 0)
                table.bits = len;
        }
        const unsigned size = 1u << table.bits;
        std::fill(table.entries.begin(), table.entries.begin() + size, 0);
        for (unsigned s = 0; s < count; ++s) {
            const unsigned len = lengths[s];
            if (len == 0)
                continue;
            unsigned c = next[len]++, reversed = 0;
            if (c >= (1u << len))
                fail(); // over-subscribed code
            for (unsigned i = 0; i < len; ++i, c >>= 1)
                reversed = (reversed << 1) | (c & 1);
            for (unsigned i = reversed; i < size; i += 1u << len)
                table.entries[i] = std::uint16_t(s << 4 | len);
        }
    }

    void fixedTables()
    {
        std::array<std::uint8_t, 320> lengths{};
        std::fill(lengths.begin(), lengths.begin() + 144, 8);
        std::fill(lengths.begin() + 144, lengths.begin() + 256, 9);
        std::fill(lengths.begin() + 256, lengths.begin() + 280, 7);
        std::fill(lengths.begin() + 280, lengths.begin() + 288, 8);
        std::fill(lengths.begin() + 288, lengths.begin() + 320, 5);
        build(literals_, lengths.data(), 288);
        build(distances_, lengths.data() + 288, 32);
    }

    void dynamicTables()
    {
        static constexpr std::uint8_t order[19]
            = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};
        const unsigned hlit = take(5) + 257, hdist = take(5) + 1, hclen = take(4) + 4;
        std::array<std::uint8_t, 19> clLengths{};
        for (unsigned i = 0; i < hclen; ++i)
            clLengths[order[i]] = std::uint8_t(take(3));
        build(literals_, clLengths.data(), 19); // the code-length code, for now
        std::array<std::uint8_t, 320> lengths{};
        for (unsigned i = 0; i < hlit + hdist;) {
            const unsigned sym = decode(literals_);
            unsigned repeat = 1;
            std::uint8_t value = std::uint8_t(sym);
            if (sym == 16) {
                if (i == 0)
                    fail();
                value = lengths[i - 1];
                repeat = 3 + take(2);
            } else if (sym == 17) {
                value = 0;
                repeat = 3 + take(3);
            } else if (sym == 18) {
                value = 0;
                repeat = 11 + take(7);
            }
            if (i + repeat > hlit + hdist)
                fail();
            for (; repeat > 0; --repeat)
                lengths[i++] = value;
        }
        build(literals_, lengths.data(), hlit);
        build(distances_, lengths.data() + hlit, hdist);
    }

    void skipSymbols()
    {
        for (;;) {
            const unsigned sym = decode(literals_);
            if (sym < 256)
                continue;
            if (sym == 256)
                return;
            if (sym > 285)
                fail();
            if (sym >= 265 && sym < 285)
                drop((sym - 261) / 4); // extra bits of the length
            const unsigned dist = decode(distances_);
            if (dist > 29)
                fail();
            if (dist >= 4)
                drop((dist - 2) / 2); // extra bits of the distance
        }
    }

    void skipStored()
    {
        drop((8 - pos_ % 8) % 8);
        const std::uint32_t len = take(16), nlen = take(16);
        if ((len ^ nlen) != 0xffff)
            fail();
        drop(8 * len);
    }

    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0; // in bits
    Table literals_{};
    Table distances_{};
};

LastBlock findLastBlock(const std::uint8_t* data, std::size_t size)
{
    auto walker = std::make_unique<StreamWalker>(data, size); // 128 KiB of tables
    return walker->walk();
}

} // namespace

void deflateHuffmanOnly(
    const std::uint8_t* data, std::size_t size, ChunkEnd end, std::vector<std::uint8_t>& out)
{
    const std::size_t blocks = std::max<std::size_t>(1, (size + BlockBytes - 1) / BlockBytes);
    // Worst case per block: a stored block (5 bytes + data) after a partial
    // byte; then an empty stored block for the flush, and the writer's slack.
    const std::size_t start = out.size();
    out.resize(start + size + blocks * 8 + 32);
    BitWriter bits(out.data() + start);

    for (std::size_t b = 0; b < blocks; ++b) {
        const std::size_t offset = b * BlockBytes;
        const std::size_t n = std::min(BlockBytes, size - offset);
        const std::uint8_t* p = data + offset;
        const bool final = end == ChunkEnd::Final && b + 1 == blocks;

        std::array<std::uint32_t, LiteralCodes> freq{};
        std::array<std::uint8_t, LiteralCodes> lengths{};
        const std::uint64_t huffmanBits = fitCode(p, n, freq, lengths);
        // A generous allowance for the block header.
        if (huffmanBits + 8 * 150 < std::uint64_t(n) * 8)
            writeHuffmanBlock(bits, p, n, lengths, final);
        else
            writeStoredBlock(bits, p, n, final);
    }
    if (end == ChunkEnd::Flush) {
        writeStoredBlock(bits, nullptr, 0, false); // the sync-flush marker
    } else {
        bits.alignToByte();
    }
    bits.alignToByte();
    out.resize(std::size_t(bits.position() - out.data()));
}

Deflater::Deflater(int level)
    : compressor_(libdeflate_alloc_compressor(level))
    , probe_(libdeflate_alloc_compressor(1))
{
    if (compressor_ == nullptr || probe_ == nullptr) {
        libdeflate_free_compressor(compressor_);
        libdeflate_free_compressor(probe_);
        throw std::bad_alloc();
    }
}

Deflater::~Deflater()
{
    libdeflate_free_compressor(compressor_);
    libdeflate_free_compressor(probe_);
}

Deflater::Matching Deflater::matchingPays(const std::uint8_t* data, std::size_t size)
{
    constexpr std::size_t Window = 8 * 1024;
    constexpr std::size_t Windows = 4;
    if (size <= Windows * Window)
        return Matching::Maybe; // as fast to try as to guess
    std::size_t matched = 0, literal = 0;
    for (std::size_t k = 0; k < Windows; ++k) {
        const std::uint8_t* p = data + (size - Window) * k / (Windows - 1);
        scratch_.resize(libdeflate_deflate_compress_bound(probe_, Window));
        matched += libdeflate_deflate_compress(probe_, p, Window, scratch_.data(), scratch_.size());
        literal += huffmanBytes(p, Window);
    }
    // Where matching halves the samples, Huffman-only blocks cannot win.
    return 2 * matched < literal ? Matching::Clearly : matched < literal ? Matching::Maybe : Matching::Not;
}

void Deflater::withMatches(
    const std::uint8_t* data, std::size_t size, ChunkEnd end, std::vector<std::uint8_t>& out)
{
    const std::size_t start = out.size();
    // Five bytes more for the empty stored block of a flush.
    out.resize(start + libdeflate_deflate_compress_bound(compressor_, size) + 5);
    const std::size_t n
        = libdeflate_deflate_compress(compressor_, data, size, out.data() + start, out.size() - start);
    if (n == 0)
        throw std::runtime_error("compression failed"); // cannot happen with the bound's room
    out.resize(start + n);
    if (end == ChunkEnd::Final)
        return;
    const LastBlock last = findLastBlock(out.data() + start, n);
    out[start + last.headerBit / 8] &= std::uint8_t(~(1u << (last.headerBit % 8)));
    // An empty stored block: three zero header bits (in the padding when it
    // has room for them), zero bits to the next byte, then LEN 0 and NLEN.
    if (last.paddingBits < 3)
        out.push_back(0);
    for (std::uint8_t b : {0x00, 0x00, 0xff, 0xff})
        out.push_back(b);
}

void Deflater::chunk(const std::uint8_t* data, std::size_t size, ChunkEnd end, std::vector<std::uint8_t>& out)
{
    switch (matchingPays(data, size)) {
    case Matching::Not:
        deflateHuffmanOnly(data, size, end, out);
        return;
    case Matching::Clearly:
        withMatches(data, size, end, out);
        return;
    case Matching::Maybe:
        break;
    }
    const std::size_t start = out.size();
    deflateHuffmanOnly(data, size, end, out);
    scratch_.clear();
    withMatches(data, size, end, scratch_);
    if (scratch_.size() < out.size() - start) {
        out.resize(start);
        out.insert(out.end(), scratch_.begin(), scratch_.end());
    }
}

void Deflater::zlibStream(const std::uint8_t* data, std::size_t size, std::vector<std::uint8_t>& out)
{
    out.push_back(0x78); // deflate, 32 KiB window
    out.push_back(0x9c); // default level; the header's check bits
    chunk(data, size, ChunkEnd::Final, out);
    const std::uint32_t adler = adler32Of(data, size);
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(std::uint8_t(adler >> shift));
}

std::uint32_t adler32Of(const std::uint8_t* data, std::size_t size, std::uint32_t start)
{
    return libdeflate_adler32(start, data, size);
}

std::uint32_t crc32Of(const std::uint8_t* data, std::size_t size, std::uint32_t start)
{
    return libdeflate_crc32(start, data, size);
}

} // namespace nconvert
