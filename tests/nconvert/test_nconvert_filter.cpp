// The PNG row filters: every filtered row comes back as it was through the
// reverse filter a decoder applies (written here afresh, from the PNG
// format), whatever the row's width and pixel size, and the filter chosen is
// one whose output is smallest in sum of magnitudes.
#include "PngFilter.h"

#include <QRandomGenerator>
#include <QTest>

#include <algorithm>
#include <cstdlib>
#include <vector>

using Bytes = std::vector<std::uint8_t>;

namespace {

int paeth(int a, int b, int c)
{
    const int p = a + b - c;
    const int pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
    if (pa <= pb && pa <= pc)
        return a;
    return pb <= pc ? b : c;
}

// What filter type t predicts for byte i, given the row so far.
int predict(int t, const Bytes& row, const Bytes& above, std::size_t i, std::size_t bpp)
{
    const int a = i >= bpp ? row[i - bpp] : 0;
    const int b = above[i];
    const int c = i >= bpp ? above[i - bpp] : 0;
    switch (t) {
    case 1:
        return a;
    case 2:
        return b;
    case 3:
        return (a + b) / 2;
    case 4:
        return paeth(a, b, c);
    default:
        return 0;
    }
}

Bytes unfilter(int t, const std::uint8_t* filtered, const Bytes& above, std::size_t bpp)
{
    Bytes row(above.size());
    for (std::size_t i = 0; i < row.size(); ++i)
        row[i] = std::uint8_t(filtered[i] + predict(t, row, above, i, bpp));
    return row;
}

std::uint64_t magnitudeSum(int t, const Bytes& row, const Bytes& above, std::size_t bpp)
{
    std::uint64_t sum = 0;
    for (std::size_t i = 0; i < row.size(); ++i) {
        const auto v = std::uint8_t(row[i] - predict(t, row, above, i, bpp));
        sum += v < 128 ? v : 256 - v;
    }
    return sum;
}

// Rows of several kinds one after the other, so that every filter is chosen
// (Average and Paeth after noise, where no other filter comes close).
Bytes makeRow(int r, const Bytes& above, std::size_t bpp, QRandomGenerator& rng)
{
    enum Kind { Noise, Ramp, Same, AsAverage, AsPaeth, Flat };
    static constexpr Kind order[] = {Noise, AsAverage, Noise, AsPaeth, Ramp, Same, Flat};
    const Kind kind = order[std::size_t(r) % std::size(order)];
    Bytes row(above.size());
    for (std::size_t i = 0; i < row.size(); ++i) {
        switch (kind) {
        case Noise:
            row[i] = std::uint8_t(rng.generate());
            break;
        case Ramp:
            row[i] = std::uint8_t(i / bpp * 3 + i % bpp);
            break;
        case Same:
            row[i] = above[i];
            break;
        case AsAverage: // what the filter predicts, give or take one
        case AsPaeth:
            row[i]
                = std::uint8_t(predict(kind == AsAverage ? 3 : 4, row, above, i, bpp) + (rng.generate() & 1));
            break;
        case Flat:
            row[i] = 0;
            break;
        }
    }
    return row;
}

} // namespace

class TestNconvertFilter : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void roundTripAndChoice_data()
    {
        QTest::addColumn<int>("rowBytes");
        QTest::addColumn<int>("pixelBytes");
        for (int bpp : {1, 3, 4})
            for (int width : {1, 2, 3, 5, 17, 2480})
                QTest::newRow(qPrintable(QStringLiteral("%1 px of %2 bytes").arg(width).arg(bpp)))
                    << width * bpp << bpp;
        // Fewer bytes in the row than in a pixel cannot come from a picture,
        // but must not read outside the row either.
        QTest::newRow("row shorter than a pixel") << 2 << 3;
    }
    void roundTripAndChoice()
    {
        QFETCH(int, rowBytes);
        QFETCH(int, pixelBytes);
        const auto n = std::size_t(rowBytes);
        const auto bpp = std::size_t(pixelBytes);
        nconvert::RowFilter filter(n, bpp);
        QRandomGenerator rng(11);
        Bytes above(n, 0); // zeros above the first row
        Bytes out(n + 1);
        std::vector<int> used(5, 0);
        for (int r = 0; r < 60; ++r) {
            const Bytes row = makeRow(r, above, bpp, rng);
            const nconvert::PngFilter chosen = filter.filter(row.data(), above.data(), out.data());
            const int t = out[0];
            QCOMPARE(int(chosen), t);
            QVERIFY(t >= 0 && t <= 4);
            ++used[std::size_t(t)];
            QVERIFY2(
                unfilter(t, out.data() + 1, above, bpp) == row, qPrintable(QStringLiteral("row %1").arg(r)));
            const std::uint64_t sum = magnitudeSum(t, row, above, bpp);
            for (int other = 0; other < 5; ++other)
                QVERIFY2(sum <= magnitudeSum(other, row, above, bpp),
                    qPrintable(
                        QStringLiteral("row %1: filter %2 chosen, %3 smaller").arg(r).arg(t).arg(other)));
            above = row;
        }
        if (n >= 64) // room for the rows to tell the filters apart
            for (int t = 0; t < 5; ++t)
                QVERIFY2(
                    used[std::size_t(t)] > 0, qPrintable(QStringLiteral("filter %1 never chosen").arg(t)));
    }
};

QTEST_GUILESS_MAIN(TestNconvertFilter)
#include "test_nconvert_filter.moc"
