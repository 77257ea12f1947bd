// The converter's deflate encoder, checked by inflating with zlib: chunks
// of every kind of data, alone and concatenated the way the converter
// concatenates the chunks its threads compress.
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
        for (bool huffmanOnly : {true, false}) {
            Bytes packed;
            const std::size_t step = (data.size() + std::size_t(chunks) - 1) / std::size_t(chunks);
            for (int c = 0; c < chunks; ++c) {
                const std::size_t from = std::min(data.size(), std::size_t(c) * step);
                const std::size_t n = std::min(step, data.size() - from);
                const auto end = c + 1 == chunks ? nconvert::ChunkEnd::Final : nconvert::ChunkEnd::Flush;
                if (huffmanOnly)
                    nconvert::deflateHuffmanOnly(data.data() + from, n, end, packed);
                else
                    nconvert::deflateChunk(data.data() + from, n, end, packed);
            }
            int status = 0;
            const Bytes back = inflateRaw(packed, data.size(), &status);
            QCOMPARE(status, Z_STREAM_END);
            QVERIFY(back == data);
            // Never much larger than the data (stored blocks for noise).
            QVERIFY(packed.size() <= data.size() + data.size() / 1000 + 64);
        }
    }

    // What the encoder is for: byte noise with a narrow spread shrinks close
    // to its entropy, and flat data shrinks far.
    void compresses()
    {
        const Bytes noise = sample("skewed noise", 1 << 20);
        Bytes packed;
        nconvert::deflateChunk(noise.data(), noise.size(), nconvert::ChunkEnd::Final, packed);
        QVERIFY2(packed.size() < noise.size() * 52 / 100, qPrintable(QString::number(packed.size())));
        const Bytes flat = sample("constant", 1 << 20);
        packed.clear();
        nconvert::deflateChunk(flat.data(), flat.size(), nconvert::ChunkEnd::Final, packed);
        QVERIFY2(packed.size() < 4096, qPrintable(QString::number(packed.size())));
    }
};

QTEST_GUILESS_MAIN(TestNconvertDeflate)
#include "test_nconvert_deflate.moc"
