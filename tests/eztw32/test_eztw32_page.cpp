// The scan's corrections on pages drawn here: the document found on dark
// and light beds, crooked text pages measured and straightened, pictures
// turned and their light corrected, value for value; then the same on real
// scans of such a page, served by SANE's pnm backend.
#include "core/Deskew.h"
#include "core/Light.h"
#include "core/PageFinder.h"
#include "core/ReplacingFile.h"
#include "core/SaneClient.h"
#include "core/Transform.h"

#include "OwnFolders.h"
#include "Pages.h"

#include <QImage>
#include <QPainter>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>
#include <QTransform>

#include <cmath>
#include <memory>
#include <numbers>
#include <optional>

using namespace eztw32;

Q_DECLARE_METATYPE(eztw32::Turn)

namespace {

PictureView viewOf(const QImage& image)
{
    return {image.constBits(), image.width(), image.height(),
        image.format() == QImage::Format_Grayscale8 ? 1 : 3, std::size_t(image.bytesPerLine())};
}

// A text page filling the scan, its content turned by angle.
QImage crookedPage(double angle, double dpi)
{
    return bedWith(QColor(250, 250, 245), QRectF(10, 10, 128, 190), angle, false, dpi, {148, 210});
}

QImage transformed(const QImage& source, double angle, Turn turn, std::array<std::uint8_t, 3> background)
{
    const PageTransform t(viewOf(source), angle, turn, background);
    QImage out(t.width(), t.height(), source.format());
    for (int y = 0; y < t.height(); ++y)
        t.rows(y, 1, out.scanLine(y), std::size_t(out.bytesPerLine()), 1);
    return out;
}

// Waits for the client's signal after a request: its first argument, or
// nothing when it did not come in time.
template <class... Args, class Request>
auto await(SaneClient& client, void (SaneClient::*signal)(Args...), Request request)
{
    using Got = std::decay_t<std::tuple_element_t<0, std::tuple<Args...>>>;
    std::optional<Got> got;
    QObject context;
    QObject::connect(
        &client, signal, &context, [&](Args... args) { got.emplace(std::get<0>(std::tie(args...))); });
    request();
    if (!QTest::qWaitFor([&] { return got.has_value(); }, 60000))
        qWarning("no answer in time");
    return got;
}

// The picture's values through a light table, each channel alike.
QImage lit(const QImage& image, const LightTable& t)
{
    QImage out = image.convertToFormat(QImage::Format_RGB32);
    for (int y = 0; y < out.height(); ++y) {
        auto* px = reinterpret_cast<QRgb*>(out.scanLine(y));
        for (int x = 0; x < out.width(); ++x)
            px[x] = qRgb(
                t[std::size_t(qRed(px[x]))], t[std::size_t(qGreen(px[x]))], t[std::size_t(qBlue(px[x]))]);
    }
    return out;
}

} // namespace

class TestEztw32Page : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void findsTheDocument_data();
    void findsTheDocument();
    void straightensTextPages_data();
    void straightensTextPages();
    void turnsPixelForPixel_data();
    void turnsPixelForPixel();
    void lightTables_data();
    void lightTables();
    void scansAreWrittenCorrected_data();
    void scansAreWrittenCorrected();
    void straightenedPageIsCroppedToItself();

private:
    // Scans the pnm backend's page into path, as the settings say.
    ScanResult scan(SaneClient& client, const ScanSettings& settings, const QString& path);
    // Scans the page file through the pnm backend, its options in frames
    // set, into path: the picture, or a null one.
    QImage scanPnm(
        const QString& pagePath, const QString& frames, const ScanSettings& settings, const QString& path);

    QTemporaryDir tmp_;
};

void TestEztw32Page::initTestCase()
{
    useOwnFolders(tmp_);
}

void TestEztw32Page::findsTheDocument_data()
{
    QTest::addColumn<QColor>("bed");
    QTest::addColumn<QRectF>("page"); // mm on the bed, before it is turned
    QTest::addColumn<double>("angle");
    QTest::addColumn<bool>("photo");
    QTest::addColumn<double>("dpi");

    const QColor dark(35, 35, 40), light(205, 205, 200);
    const QRectF a5(30, 40, 148, 210);
    for (double dpi : {50.0, 150.0}) {
        for (double angle : {0.0, 3.0, -7.0, 15.0}) {
            QTest::addRow("page at %g degrees, dark bed, %g dpi", angle, dpi)
                << dark << a5 << angle << false << dpi;
            QTest::addRow("page at %g degrees, light bed, %g dpi", angle, dpi)
                << light << a5 << angle << false << dpi;
        }
    }
    QTest::newRow("A4 in the corner, dark bed") << dark << QRectF(0, 0, 210, 297) << 0.0 << false << 75.0;
    QTest::newRow("A4 in the corner, light bed") << light << QRectF(0, 0, 210, 297) << 0.0 << false << 75.0;
    QTest::newRow("photo, dark bed") << dark << QRectF(60, 120, 100, 150) << 0.0 << true << 75.0;
    QTest::newRow("photo, light bed") << light << QRectF(12, 150, 150, 100) << 0.0 << true << 75.0;
    QTest::newRow("photo at -7 degrees, light bed")
        << light << QRectF(40, 60, 150, 100) << -7.0 << true << 75.0;
    QTest::newRow("empty bed") << dark << QRectF() << 0.0 << false << 75.0;
}

void TestEztw32Page::findsTheDocument()
{
    QFETCH(QColor, bed);
    QFETCH(QRectF, page);
    QFETCH(double, angle);
    QFETCH(bool, photo);
    QFETCH(double, dpi);
    const QImage preview = bedWith(bed, page, angle, photo, dpi);
    const std::optional<AreaMm> found = findDocument(viewOf(preview), 216, 297);
    if (page.isEmpty()) {
        QVERIFY(!found);
        return;
    }
    QVERIFY(found);
    // The turned page's bounding rectangle.
    const double r = angle * std::numbers::pi / 180;
    const double w = page.width() * std::abs(std::cos(r)) + page.height() * std::abs(std::sin(r));
    const double h = page.width() * std::abs(std::sin(r)) + page.height() * std::abs(std::cos(r));
    const QRectF expected(page.center().x() - w / 2, page.center().y() - h / 2, w, h);
    const QRectF got(QPointF(found->left, found->top), QPointF(found->right, found->bottom));
    const QMarginsF off(got.left() - expected.left(), got.top() - expected.top(),
        got.right() - expected.right(), got.bottom() - expected.bottom());
    QVERIFY2(
        std::max({std::abs(off.left()), std::abs(off.top()), std::abs(off.right()), std::abs(off.bottom())})
            <= 1,
        qPrintable(QString::asprintf(
            "edges off by %.2f %.2f %.2f %.2f mm", off.left(), off.top(), off.right(), off.bottom())));
}

void TestEztw32Page::straightensTextPages_data()
{
    QTest::addColumn<double>("angle");
    QTest::addColumn<bool>("gray");
    for (double angle : {0.0, 1.0, 3.0, -7.0, 15.0, -15.0})
        QTest::addRow("%g degrees", angle) << angle << false;
    QTest::newRow("gray, 3 degrees") << 3.0 << true;
}

void TestEztw32Page::straightensTextPages()
{
    QFETCH(double, angle);
    QFETCH(bool, gray);
    constexpr double Dpi = 150;
    QImage page = crookedPage(angle, Dpi);
    if (gray)
        page = page.convertToFormat(QImage::Format_Grayscale8);
    const Skew skew = measureSkew(viewOf(page), Dpi);
    if (angle == 0) {
        QVERIFY2(std::abs(skew.angle) < StraightEnough, qPrintable(QString::number(skew.angle)));
        return;
    }
    QVERIFY2(std::abs(skew.angle - angle) <= 0.3, qPrintable(QString::number(skew.angle)));
    QVERIFY(skew.background[0] >= 244 && skew.background[0] <= 254);
    const QImage straight = transformed(page, skew.angle, Turn::None, skew.background);
    QCOMPARE(straight.size(), page.size());
    const double residual = residualSkew(straight);
    QVERIFY2(std::abs(residual) <= 0.3, qPrintable(QString::number(residual)));
    // The corners it uncovers are the page's.
    const QColor corner = straight.pixelColor(0, 0);
    QCOMPARE(corner.green(), int(skew.background[gray ? 0 : 1]));
}

void TestEztw32Page::turnsPixelForPixel_data()
{
    QTest::addColumn<Turn>("turn");
    QTest::addColumn<bool>("gray");
    for (bool gray : {false, true}) {
        const char* kind = gray ? "gray" : "colour";
        QTest::addRow("none, %s", kind) << Turn::None << gray;
        QTest::addRow("90 right, %s", kind) << Turn::Right << gray;
        QTest::addRow("180, %s", kind) << Turn::HalfTurn << gray;
        QTest::addRow("90 left, %s", kind) << Turn::Left << gray;
    }
}

void TestEztw32Page::turnsPixelForPixel()
{
    QFETCH(Turn, turn);
    QFETCH(bool, gray);
    QImage source(7, 4, gray ? QImage::Format_Grayscale8 : QImage::Format_RGB888);
    for (int y = 0; y < source.height(); ++y)
        for (int x = 0; x < source.width(); ++x)
            source.setPixelColor(x, y, QColor(10 * x + y, 100 + x, 200 + 10 * y));
    const QImage out = transformed(source, 0, turn, {0, 0, 0});
    const bool swap = turn == Turn::Right || turn == Turn::Left;
    QCOMPARE(out.size(), swap ? source.size().transposed() : source.size());
    const int w = source.width(), h = source.height();
    for (int y = 0; y < out.height(); ++y) {
        for (int x = 0; x < out.width(); ++x) {
            // Where each result pixel was: turned right, the left column
            // becomes the top row.
            const QPoint from = turn == Turn::Right ? QPoint(y, h - 1 - x)
                : turn == Turn::HalfTurn            ? QPoint(w - 1 - x, h - 1 - y)
                : turn == Turn::Left                ? QPoint(w - 1 - y, x)
                                                    : QPoint(x, y);
            QCOMPARE(out.pixel(x, y), source.pixel(from));
        }
    }
}

void TestEztw32Page::lightTables_data()
{
    QTest::addColumn<double>("brightness");
    QTest::addColumn<double>("contrast");
    QTest::addColumn<double>("gamma");
    QTest::addColumn<bool>("lineArt");
    QTest::addColumn<QList<int>>("pairs"); // value in, value out, ...

    QTest::newRow("neutral") << 0.0 << 0.0 << 1.0 << false
                             << QList<int>{0, 0, 1, 1, 127, 127, 200, 200, 255, 255};
    QTest::newRow("brightness +40") << 40.0 << 0.0 << 1.0 << false << QList<int>{0, 51, 100, 151, 250, 255};
    QTest::newRow("brightness -50") << -50.0 << 0.0 << 1.0 << false << QList<int>{0, 0, 64, 0, 200, 136};
    QTest::newRow("contrast +100") << 0.0 << 100.0 << 1.0 << false << QList<int>{0, 0, 64, 0, 192, 255};
    QTest::newRow("contrast -100") << 0.0 << -100.0 << 1.0 << false << QList<int>{0, 96, 255, 159};
    QTest::newRow("gamma 2") << 0.0 << 0.0 << 2.0 << false << QList<int>{0, 0, 64, 128, 255, 255};
    QTest::newRow("gamma beyond the range")
        << 0.0 << 0.0 << 0.0 << false << QList<int>{0, 0, 254, 245, 255, 255};
    QTest::newRow("line art") << 0.0 << 0.0 << 1.0 << true << QList<int>{0, 0, 127, 0, 128, 255, 255, 255};
    QTest::newRow("line art, brighter") << 50.0 << 0.0 << 1.0 << true << QList<int>{63, 0, 64, 255};
}

void TestEztw32Page::lightTables()
{
    QFETCH(double, brightness);
    QFETCH(double, contrast);
    QFETCH(double, gamma);
    QFETCH(bool, lineArt);
    QFETCH(QList<int>, pairs);
    const LightTable t = eztw32::lightTable({brightness, contrast, gamma}, lineArt);
    for (qsizetype i = 0; i < pairs.size(); i += 2)
        QCOMPARE(int(t[std::size_t(pairs[i])]), pairs[i + 1]);
    // On 1-bit rows black and white go where the table sends them.
    std::uint8_t bits[2] = {0xA5, 0xC0}; // ten pixels
    applyLightToBits(t, bits, 10);
    const bool black = t[0] >= 128, white = t[255] >= 128;
    QCOMPARE(int(bits[0]), black ? 0xFF : white ? 0xA5 : 0);
    QCOMPARE(int(bits[1]), black ? 0xC0 : white ? 0xC0 : 0);
}

ScanResult TestEztw32Page::scan(SaneClient& client, const ScanSettings& settings, const QString& path)
{
    ReplacingFile file;
    if (!file.create(path.toStdString()))
        qFatal("cannot create %s", qPrintable(path));
    const auto ended = await(client, &SaneClient::scanEnded, [&] { client.scan(settings, file.fd()); });
    const ScanResult r = ended.value_or(ScanResult{Outcome::Failed, Fault::Stalled, Status::IoError, {}});
    if (r.outcome == Outcome::Done && file.commit(ReplacingFile::Sync::No) != 0)
        qFatal("cannot put %s in place", qPrintable(path));
    return r;
}

QImage TestEztw32Page::scanPnm(
    const QString& pagePath, const QString& frames, const ScanSettings& settings, const QString& path)
{
    // The pnm backend serves its file once an opening.
    SaneClient client;
    const auto opened = await(client, &SaneClient::opened, [&] {
        client.open(DeviceInfo{"pnm:0", "", "", ""}, {});
    });
    if (!opened || opened->fault != Fault::None)
        return QImage();
    auto set = [&](const std::string& name, const std::string& value) {
        const auto r = await(client, &SaneClient::optionSet, [&] { client.set({name, value}); });
        return r && *r == name;
    };
    if (!set("filename", pagePath.toStdString()) || !set("resolution", "150")
        || (!frames.isEmpty() && !set(frames.toStdString(), "1")))
        return QImage();
    const ScanResult r = scan(client, settings, path);
    if (r.outcome != Outcome::Done)
        qWarning("the scan ended with fault %d, status %d", int(r.fault), int(r.status));
    client.close();
    if (!QTest::qWaitFor([&] { return client.state() == SessionState::Idle; }))
        return QImage();
    return r.outcome == Outcome::Done ? QImage(path) : QImage();
}

void TestEztw32Page::scansAreWrittenCorrected_data()
{
    QTest::addColumn<double>("angle"); // of the page served
    QTest::addColumn<QString>("frames"); // pnm's options that change them, if any
    QTest::addColumn<bool>("straighten");
    QTest::addColumn<Turn>("turn");
    QTest::addColumn<double>("brightness"); // in software; 0: none asked

    QTest::newRow("nothing asked") << 0.0 << QString() << false << Turn::None << 0.0;
    QTest::newRow("straight page, straightened") << 0.0 << QString() << true << Turn::None << 0.0;
    QTest::newRow("7 degrees, straightened") << 7.0 << QString() << true << Turn::None << 0.0;
    QTest::newRow("-4 degrees, straightened, turned right")
        << -4.0 << QString() << true << Turn::Right << 0.0;
    QTest::newRow("turned right") << 0.0 << QString() << false << Turn::Right << 0.0;
    QTest::newRow("turned left, lighter") << 0.0 << QString() << false << Turn::Left << 40.0;
    QTest::newRow("lighter") << 0.0 << QString() << false << Turn::None << 40.0;
    QTest::newRow("gray, half turn") << 0.0 << "grayify" << false << Turn::HalfTurn << 0.0;
    QTest::newRow("gray, lighter") << 0.0 << "grayify" << false << Turn::None << 40.0;
    QTest::newRow("three passes, turned right, lighter")
        << 0.0 << "three-pass" << false << Turn::Right << 40.0;
    QTest::newRow("hand scanner, turned left") << 0.0 << "hand-scanner" << false << Turn::Left << 0.0;
}

void TestEztw32Page::scansAreWrittenCorrected()
{
    QFETCH(double, angle);
    QFETCH(QString, frames);
    QFETCH(bool, straighten);
    QFETCH(Turn, turn);
    QFETCH(double, brightness);
    constexpr double Dpi = 150;
    const QString pagePath = tmp_.filePath(QStringLiteral("page.ppm"));
    QVERIFY(crookedPage(angle, Dpi).save(pagePath, "PPM"));

    ScanSettings asked;
    asked.straighten = straighten;
    asked.turn = turn;
    if (brightness != 0)
        asked.light = Light{brightness, 0, 1};
    const QImage plain = scanPnm(pagePath, frames, {}, tmp_.filePath(QStringLiteral("plain.bmp")));
    const QImage got = scanPnm(pagePath, frames, asked, tmp_.filePath(QStringLiteral("corrected.bmp")));
    QVERIFY(!plain.isNull() && !got.isNull());
    QCOMPARE(got.depth(), plain.depth());
    QCOMPARE(got.dotsPerMeterX(), 5906); // 150 dpi, either way
    QCOMPARE(got.dotsPerMeterY(), 5906);
    // Back the way it was turned, as the user turns it to read it.
    const qreal degrees = turn == Turn::Right ? -90
        : turn == Turn::Left                  ? 90
        : turn == Turn::HalfTurn              ? 180
                                              : 0;
    const QImage upright = got.transformed(QTransform().rotate(degrees));
    QCOMPARE(upright.size(), plain.size());
    if (angle != 0) {
        const double residual = residualSkew(upright);
        QVERIFY2(std::abs(residual) <= 0.3, qPrintable(QString::number(residual)));
        return;
    }
    // Turned, lit or left alone, the picture is the plain one value for
    // value.
    QCOMPARE(upright.convertToFormat(QImage::Format_RGB32), lit(plain, lightTable({brightness, 0, 1})));
}

void TestEztw32Page::straightenedPageIsCroppedToItself()
{
    // An A5 page 6 degrees crooked on a dark bed, scanned over the area
    // found around it.
    constexpr double Dpi = 150, Angle = 6, PxPerMm = Dpi / PageMmPerInch;
    const double r = Angle * std::numbers::pi / 180;
    const QSizeF area(148 * std::cos(r) + 210 * std::sin(r), 148 * std::sin(r) + 210 * std::cos(r));
    const QString pagePath = tmp_.filePath(QStringLiteral("page.ppm"));
    const QRectF page(QPointF((area.width() - 148) / 2, (area.height() - 210) / 2), QSizeF(148, 210));
    QVERIFY(bedWith(QColor(35, 35, 40), page, Angle, false, Dpi, area).save(pagePath, "PPM"));
    ScanSettings s;
    s.straighten = s.cropToPage = true;
    const QImage got = scanPnm(pagePath, {}, s, tmp_.filePath(QStringLiteral("cropped.bmp")));
    QVERIFY(!got.isNull());
    QVERIFY2(std::abs(got.width() / PxPerMm - 148) <= 1 && std::abs(got.height() / PxPerMm - 210) <= 1,
        qPrintable(QStringLiteral("%1 x %2").arg(got.width()).arg(got.height())));
    for (const QPoint corner : {QPoint(2, 2), QPoint(got.width() - 3, 2), QPoint(2, got.height() - 3),
             QPoint(got.width() - 3, got.height() - 3)})
        QVERIFY2(qGray(got.pixel(corner)) > 200, qPrintable(QString::number(qGray(got.pixel(corner)))));
    const double residual = residualSkew(got);
    QVERIFY2(std::abs(residual) <= 0.3, qPrintable(QString::number(residual)));
}

QTEST_GUILESS_MAIN(TestEztw32Page)
#include "test_eztw32_page.moc"
