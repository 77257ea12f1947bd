// The converter's deflate encoder, checked by inflating with zlib: chunks
// of every kind of data, alone and concatenated the way the converter
// concatenates the chunks its threads compress, and the zlib streams of its
// TIFF strips.
#include "Deflate.h"

#include <QRandomGenerator>
#include <QTest>

#include <zlib.h>

#include <vector>

using Bytes = std::vector<std::uint8_t>;
Q_DECLARE_METATYPE(Bytes)

namespace {

Bytes inflateRaw(const Bytes& packed, std::size_t expected, int* status)
{
    Bytes out(expected + 16);
    z_stream z{};
    inflateInit2(&z, -15);
    z.next_in = const_cast<Bytef*>(packed.data());
    z.avail_in = uInt(packed.size());
    z.next_out = out.data();
    z.avail_out = uInt(out.size());
    *status = inflate(&z, Z_FINISH);
    out.resize(z.total_out);
    // All input must be used: nothing may follow the final block.
    if (z.avail_in != 0)
        *status = Z_DATA_ERROR;
    inflateEnd(&z);
    return out;
}

Bytes sample(const char* kind, std::size_t size)
{
    Bytes d(size);
    QRandomGenerator rng(7);
    for (std::size_t i = 0; i < size; ++i) {
        const quint32 r = rng.generate();
        if (qstrcmp(kind, "random") == 0)
            d[i] = std::uint8_t(r);
        else if (qstrcmp(kind, "constant") == 0)
            d[i] = 0;
        else if (qstrcmp(kind, "two values") == 0)
            d[i] = (r & 1) ? 0x40 : 0x41;
        else if (qstrcmp(kind, "skewed noise") == 0) // like filtered scan data
            d[i] = std::uint8_t(int((r % 9) + ((r >> 8) % 9)) - 8);
        else // runs and noise mixed
            d[i] = ((i / 5000) & 1) ? std::uint8_t(r % 5) : std::uint8_t(i / 700);
    }
    return d;
}

} // namespace

class TestNconvertDeflate : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void roundTrip_data()
    {
        QTest::addColumn<QByteArray>("kind");
        QTest::addColumn<int>("size");
        QTest::addColumn<int>("chunks");
        for (const char* kind : {"random", "constant", "two values", "skewed noise", "mixed"})
            for (int size : {0, 1, 2, 3, 32767, 32768, 32769, 300001})
                for (int chunks : {1, 3})
                    QTest::newRow(qPrintable(
                        QStringLiteral("%1 %2 bytes in %3").arg(QLatin1String(kind)).arg(size).arg(chunks)))
                        << QByteArray(kind) << size << chunks;
    }
    void roundTrip()
    {
        QFETCH(QByteArray, kind);
        QFETCH(int, size);
        QFETCH(int, chunks);
        const Bytes data = sample(kind.constData(), std::size_t(size));
        // Level 0 here: Huffman-only blocks alone.
        for (int level : {0, 1, nconvert::DefaultLevel, 12}) {
            nconvert::Deflater deflater(std::max(level, 1));
            Bytes packed;
            const std::size_t step = (data.size() + std::size_t(chunks) - 1) / std::size_t(chunks);
            for (int c = 0; c < chunks; ++c) {
                const std::size_t from = std::min(data.size(), std::size_t(c) * step);
                const std::size_t n = std::min(step, data.size() - from);
                const auto end = c + 1 == chunks ? nconvert::ChunkEnd::Final : nconvert::ChunkEnd::Flush;
                if (level == 0)
                    nconvert::deflateHuffmanOnly(data.data() + from, n, end, packed);
                else
                    deflater.chunk(data.data() + from, n, end, packed);
            }
            int status = 0;
            const Bytes back = inflateRaw(packed, data.size(), &status);
            QCOMPARE(status, Z_STREAM_END);
            QVERIFY(back == data);
            // Never much larger than the data (stored blocks for noise).
            QVERIFY(packed.size() <= data.size() + data.size() / 1000 + 64);
        }
    }

    // A flushed chunk ends after its last block wherever that block ends in
    // its last byte (the empty stored block needs three bits, which the
    // padding holds or not): every length of a short chunk of noise moves
    // that end through all eight bit positions.
    void flushAtEveryBitPosition()
    {
        nconvert::Deflater deflater;
        const Bytes noise = sample("skewed noise", 400);
        for (std::size_t n = 0; n <= noise.size(); ++n) {
            Bytes packed;
            deflater.chunk(noise.data(), n, nconvert::ChunkEnd::Flush, packed);
            // A sync flush ends with an empty stored block: 00 00 ff ff.
            QVERIFY(packed.size() >= 4);
            QVERIFY(std::equal(packed.end() - 4, packed.end(), Bytes{0, 0, 0xff, 0xff}.begin()));
            deflater.chunk(noise.data(), n, nconvert::ChunkEnd::Final, packed);
            int status = 0;
            const Bytes back = inflateRaw(packed, 2 * n, &status);
            QCOMPARE(status, Z_STREAM_END);
            QVERIFY(std::equal(back.begin(), back.begin() + std::ptrdiff_t(n), noise.begin()));
            QVERIFY(std::equal(back.begin() + std::ptrdiff_t(n), back.end(), noise.begin()));
            QCOMPARE(back.size(), 2 * n);
        }
    }

    // A TIFF strip is a zlib stream of its own, checksum included.
    void zlibStreams()
    {
        nconvert::Deflater deflater;
        for (const char* kind : {"random", "constant", "mixed"}) {
            for (std::size_t size : {std::size_t(0), std::size_t(1), std::size_t(100000)}) {
                const Bytes data = sample(kind, size);
                Bytes packed = {0xaa}; // appended after what is there
                deflater.zlibStream(data.data(), data.size(), packed);
                QCOMPARE(packed[0], std::uint8_t(0xaa));
                Bytes back(size + 16);
                uLongf backSize = uLongf(back.size());
                QCOMPARE(
                    uncompress(back.data(), &backSize, packed.data() + 1, uLong(packed.size() - 1)), Z_OK);
                back.resize(backSize);
                QVERIFY(back == data);
            }
        }
    }

    // The checksums agree with zlib's, also when continued from a value.
    void checksums()
    {
        const Bytes data = sample("random", 70001);
        QCOMPARE(nconvert::adler32Of(data.data(), data.size()),
            std::uint32_t(adler32(1, data.data(), uInt(data.size()))));
        QCOMPARE(nconvert::crc32Of(data.data(), data.size()),
            std::uint32_t(crc32(0, data.data(), uInt(data.size()))));
        const std::uint32_t head = nconvert::adler32Of(data.data(), 5000);
        QCOMPARE(nconvert::adler32Of(data.data() + 5000, data.size() - 5000, head),
            std::uint32_t(adler32(1, data.data(), uInt(data.size()))));
    }

    // What the encoder is for: byte noise with a narrow spread shrinks close
    // to its entropy, and flat data shrinks far.
    void compresses()
    {
        const Bytes noise = sample("skewed noise", 1 << 20);
        nconvert::Deflater deflater;
        Bytes packed;
        deflater.chunk(noise.data(), noise.size(), nconvert::ChunkEnd::Final, packed);
        QVERIFY2(packed.size() < noise.size() * 52 / 100, qPrintable(QString::number(packed.size())));
        const Bytes flat = sample("constant", 1 << 20);
        packed.clear();
        deflater.chunk(flat.data(), flat.size(), nconvert::ChunkEnd::Final, packed);
        QVERIFY2(packed.size() < 4096, qPrintable(QString::number(packed.size())));
    }
};

QTEST_GUILESS_MAIN(TestNconvertDeflate)
#include "test_nconvert_deflate.moc"
