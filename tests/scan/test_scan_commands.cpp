// "Select Scanner" and "Scan Image" with stand-in libraries: no scanner
// service, undocumented result codes, a file that cannot be read.
#include "common/RecordingDesktop.h"
#include "common/ScanWindow.h"
#include "common/ScannerStub.h"
#include "scan/ScanCommands.h"
#include "scan/ScanFile.h"
#include "scan/Scanner.h"
#include "shell/Globals.h"
#include "shell/PictureBox.h"
#include "shell/PrivateFolder.h"

#include <dlfcn.h>

#include "BuildConfig.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

using namespace orvane;

static const QString missingLibrary = QStringLiteral(
    "The scanner/digital camera interface plug-in (EZTW32.dll) was marked as missing upon program "
    "initialization.\n\nTo enable scanner support, please copy the EZTW32.dll file (available for download "
    "from " ORVANE_SCANNER_LIBRARY_DOWNLOAD_URL ") into this application directory and reload the program.");
static const QString undocumented = QStringLiteral(
    "The scanner returned an error code that wasn't specified in the EZTW32.dll documentation.  Please "
    "visit " ORVANE_SCANNER_LIBRARY_SITE_URL " for more information.");

class TestScanCommands : public QObject {
    Q_OBJECT
    QTemporaryDir folder_;

    void load(test::ScanWindow& form, const QString& stub)
    {
        test::installStub(folder_.path(), stub);
        form.loadLibrary();
    }

private Q_SLOTS:
    void cleanup() { test::resetScanner(); }

    void unavailableScannerMakesNoLibraryCall()
    {
        test::RecordingDesktop d;
        test::ScanWindow form(folder_.path());
        load(form, QStringLiteral("stub_available"));
        globals().ScannerAvailable = false;
        SelectScanner(form);
        ScanImage(form);
        QCOMPARE(d.texts(), (QStringList{missingLibrary, missingLibrary}));
        QCOMPARE(d.messages[0].title, QStringLiteral("Scanner Interface Error"));
        QCOMPARE(d.messages[0].icon, MessageIcon::None);
        auto calls = reinterpret_cast<int (*)()>(dlsym(globals().ScannerLibraryHandle, "stub_select_calls"));
        QVERIFY(calls);
        QCOMPARE(calls(), 0);
        globals().ScannerAvailable = true;
        SelectScanner(form);
        QCOMPARE(calls(), 1);
        QCOMPARE(d.messages.size(), 2);
    }

    void resultMessages_data()
    {
        QTest::addColumn<int>("result");
        QTest::addColumn<QString>("text");
        QTest::newRow("-5") << -5 << "Unknown error occurred.";
        QTest::newRow("-4") << -4
                            << "Scan successful, but temporary file save failed.  Is it possible that your "
                               "hard drive is full (or almost full)?";
        QTest::newRow("-3") << -3
                            << "Unable to acquire DIB lock.  Please make sure no other programs are "
                               "accessing the scanner.  If the problem persists, reboot and try again.";
        QTest::newRow("-2") << -2
                            << "Temporary file access error.  This can be caused when running on a system "
                               "with limited access rights.  Please enable admin rights and try again.";
        QTest::newRow("-1") << -1 << "Scan failed.  (This may happen if the user canceled the scan dialog.)";
        QTest::newRow("2") << 2 << undocumented;
        QTest::newRow("-7") << -7 << undocumented;
    }
    // What the library answers to a scan is told in the words its
    // documentation gives that answer; the earlier picture stays and the
    // viewer does not open.
    void resultMessages()
    {
        QFETCH(int, result);
        QFETCH(QString, text);
        test::RecordingDesktop d;
        test::ScanWindow form(folder_.path());
        load(form, QStringLiteral("stub_result_env"));
        QImage earlier(5, 5, QImage::Format_RGB32);
        earlier.fill(Qt::blue);
        form.picBuffer->setPicture(earlier);
        form.show();
        qputenv("ORVANE_STUB_RESULT", QByteArray::number(result));
        ScanImage(form);
        qunsetenv("ORVANE_STUB_RESULT");
        QCOMPARE(d.texts(), QStringList{text});
        QVERIFY(form.picBuffer->picture().cacheKey() == earlier.cacheKey());
        QVERIFY(!form.loadedViewer());
    }

    // Codes the library documents nowhere, and a "success" whose file cannot
    // be read: the undocumented-code message, the earlier picture kept, the
    // file left where it is.
    // A 1200 dpi A4 colour scan, far above Qt's default allocation limit,
    // loads (a sparse file keeps the test quick).
    void largeScanLoads()
    {
        const qint32 width = 9920, height = 14032;
        const qint64 stride = (width * 24 + 31) / 32 * 4;
        QByteArray header(54, '\0');
        auto put32 = [&](int at, quint32 v) {
            for (int i = 0; i < 4; ++i)
                header[at + i] = char(v >> (8 * i));
        };
        header[0] = 'B';
        header[1] = 'M';
        put32(2, quint32(54 + stride * height));
        put32(10, 54);
        put32(14, 40);
        put32(18, width);
        put32(22, height);
        header[26] = 1;
        header[28] = 24;
        put32(38, 47244);
        put32(42, 47244);
        QFile f(folder_.filePath(QStringLiteral("large.bmp")));
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(header);
        QVERIFY(f.resize(54 + stride * height));
        f.close();
        const QImage picture = loadScanFile(f.fileName());
        QCOMPARE(picture.size(), QSize(width, height));
        QCOMPARE(picture.dotsPerMeterX(), 47244);
        f.remove();
    }

    void undocumentedResults_data()
    {
        QTest::addColumn<QString>("stub");
        QTest::addColumn<bool>("leavesFile");
        QTest::newRow("1") << "stub_result_1" << false;
        QTest::newRow("-6") << "stub_result_m6" << false;
        QTest::newRow("0, not a BMP") << "stub_result_0_junk" << true;
        QTest::newRow("0, truncated BMP") << "stub_result_0_truncated" << true;
    }
    void undocumentedResults()
    {
        QFETCH(QString, stub);
        QFETCH(bool, leavesFile);
        test::RecordingDesktop d;
        test::ScanWindow form(folder_.path());
        load(form, stub);
        QImage earlier(5, 5, QImage::Format_RGB32);
        earlier.fill(Qt::red);
        form.picBuffer->setPicture(earlier);
        form.show();
        ScanImage(form);
        QCOMPARE(d.texts(), QStringList{undocumented});
        QCOMPARE(d.messages[0].title, QStringLiteral("Scanner Interface Error"));
        QVERIFY(form.picBuffer->picture().cacheKey() == earlier.cacheKey());
        QVERIFY(form.isVisible());
        QVERIFY(!form.loadedViewer());
        const QString scanFile = folder_.filePath(QStringLiteral("VBScanInterface.bmp"));
        QCOMPARE(QFile::exists(scanFile), leavesFile);
        QFile::remove(scanFile);
    }

    // While another copy holds the scan file's claim, "Scan Image" waits
    // with the windows alive and touches nothing; a second click meanwhile
    // does nothing, and the pointer is the hourglass. Once the claim is free
    // the scan runs.
    void scanWaitsForAnotherCopysClaim()
    {
        test::RecordingDesktop d;
        test::ScanWindow form(folder_.path());
        QTemporaryDir pictures;
        const QString picture = pictures.filePath(QStringLiteral("scan.bmp"));
        QImage delivered(40, 30, QImage::Format_RGB32);
        delivered.fill(Qt::green);
        QVERIFY(delivered.save(picture, "BMP"));
        qputenv("ORVANE_STUB_PICTURE", QFile::encodeName(picture));
        load(form, QStringLiteral("stub_copies"));
        const QString scanFile = scanFilePath(globals().AppFolder);
        QCOMPARE(scanFile, folder_.filePath(QStringLiteral("VBScanInterface.bmp")));
        FolderLock other;
        QVERIFY(other.tryAcquire(scanLockPath(scanFile)));
        int ticks = 0;
        bool untouched = true;
        bool hourglass = true;
        QTimer poll;
        connect(&poll, &QTimer::timeout, [&] {
            if (!other.held())
                return;
            untouched = untouched && !QFile::exists(scanFile) && !form.loadedViewer();
            hourglass = hourglass && form.MousePointer() == vbHourglass;
            if (++ticks == 2)
                ScanImage(form); // returns at once
            if (ticks == 5)
                other.release();
        });
        poll.start(20);
        ScanImage(form);
        qunsetenv("ORVANE_STUB_PICTURE");
        QCOMPARE(ticks, 5);
        QVERIFY(untouched);
        QVERIFY(hourglass); // the wait shows the hourglass, and ends with the arrow
        QCOMPARE(form.MousePointer(), int(vbDefault));
        QVERIFY(d.messages.isEmpty());
        QCOMPARE(form.picBuffer->picture().size(), QSize(40, 30));
        QVERIFY(!QFile::exists(scanFile));
        QVERIFY(!QFile::exists(scanLockPath(scanFile)));
    }
};

QTEST_MAIN(TestScanCommands)
#include "test_scan_commands.moc"
