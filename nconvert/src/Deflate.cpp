#include "Deflate.h"

#include <zlib.h>

#include <algorithm>
#include <array>
#include <cstring>
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
// bytes repeat eight bytes later, which flat areas do and noise never does.
bool looksRepetitive(const std::uint8_t* data, std::size_t size)
{
    if (size < 64)
        return true;
    std::size_t repeats = 0;
    std::size_t samples = 0;
    for (std::size_t i = 0; i + 16 < size; i += 61) {
        ++samples;
        if (std::memcmp(data + i, data + i + 8, 8) == 0)
            ++repeats;
    }
    return samples == 0 || repeats * 8 > samples; // more than 1 in 8 repeats
}

void deflateWithZlib(const std::uint8_t* data, std::size_t size, ChunkEnd end, std::vector<std::uint8_t>& out)
{
    z_stream z{};
    if (deflateInit2(&z, 6, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        throw std::runtime_error("cannot start zlib compression: out of memory");
    const std::size_t start = out.size();
    out.resize(start + deflateBound(&z, uLong(size)) + 16);
    z.next_in = const_cast<Bytef*>(data);
    z.avail_in = uInt(size);
    z.next_out = out.data() + start;
    z.avail_out = uInt(out.size() - start);
    const int rc = deflate(&z, end == ChunkEnd::Final ? Z_FINISH : Z_SYNC_FLUSH);
    const bool ok = end == ChunkEnd::Final ? rc == Z_STREAM_END : (rc == Z_OK && z.avail_in == 0);
    out.resize(start + z.total_out);
    deflateEnd(&z);
    if (!ok)
        throw std::runtime_error("zlib compression failed");
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
        std::array<std::uint8_t, LiteralCodes> lengths{};
        buildLengths(freq, MaxCodeLength, lengths);
        std::uint64_t huffmanBits = 0;
        for (int s = 0; s < LiteralCodes; ++s)
            huffmanBits += std::uint64_t(freq[s]) * lengths[s];
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

void deflateChunk(const std::uint8_t* data, std::size_t size, ChunkEnd end, std::vector<std::uint8_t>& out)
{
    const std::size_t start = out.size();
    deflateHuffmanOnly(data, size, end, out);
    if (!looksRepetitive(data, size))
        return;
    std::vector<std::uint8_t> alternative;
    deflateWithZlib(data, size, end, alternative);
    if (alternative.size() < out.size() - start) {
        out.resize(start);
        out.insert(out.end(), alternative.begin(), alternative.end());
    }
}

} // namespace nconvert
