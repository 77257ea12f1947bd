// The device search's helper process and the list it writes, with the
// project's SANE configuration (the virtual scanner).
#include "core/DeviceList.h"
#include "core/SearchHelper.h"

#include <QTest>

#include <cerrno>
#include <sys/wait.h>

using namespace eztw32;

class TestEztw32Search : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void listRoundTripsAndACutListIsNone();
    void foreignOrDamagedOutputIsNoList_data();
    void foreignOrDamagedOutputIsNoList();
    void helperListsTheVirtualScanner();
    void missingHelperFailsWithItsCause();
    void stoppedHelperIsKilledAndReaped();
};

void TestEztw32Search::listRoundTripsAndACutListIsNone()
{
    // Fields as backends name their devices, with what would break a
    // line- or tab-separated list, and empty ones.
    const std::vector<DeviceInfo> devices{
        {"net:host.local:airscan:e0:Büro Scanner", "Vendor, Inc.", "Model = 5\tA", "flatbed scanner"},
        {"test:0", "", "multi\nline", ""},
        {"S", "D", "0", "-1"},
    };
    std::string list;
    for (const DeviceInfo& d : devices)
        devicelist::appendDevice(list, d);
    devicelist::appendStatus(list, 9);
    const devicelist::Parsed whole = devicelist::parse(list);
    QVERIFY(whole.complete);
    QCOMPARE(whole.status, 9);
    QCOMPARE(whole.devices.size(), devices.size());
    for (size_t i = 0; i < devices.size(); ++i) {
        QCOMPARE(whole.devices[i].name, devices[i].name);
        QCOMPARE(whole.devices[i].vendor, devices[i].vendor);
        QCOMPARE(whole.devices[i].model, devices[i].model);
        QCOMPARE(whole.devices[i].type, devices[i].type);
    }
    // A helper that died while writing left no list at all, wherever it
    // was cut: no device of a half list is offered.
    for (size_t cut = 0; cut < list.size(); ++cut) {
        const devicelist::Parsed part = devicelist::parse(std::string_view(list).substr(0, cut));
        QVERIFY2(!part.complete, qPrintable(QStringLiteral("cut at %1").arg(cut)));
        QVERIFY(part.devices.empty());
    }
    // No device at all is a list too.
    std::string empty;
    devicelist::appendStatus(empty, 0);
    QVERIFY(devicelist::parse(empty).complete);
    QVERIFY(devicelist::parse(empty).devices.empty());
}

void TestEztw32Search::foreignOrDamagedOutputIsNoList_data()
{
    QTest::addColumn<QByteArray>("output");
    QTest::newRow("text a backend printed") << QByteArray("[test] sane_init: version 1.0\n");
    QTest::newRow("status not a number") << QByteArray("S\0ok\0", 5);
    QTest::newRow("empty status") << QByteArray("S\0\0", 3);
    QTest::newRow("something after the status") << QByteArray("S\0"
                                                              "0\0D\0",
        6);
    QTest::newRow("unknown record") << QByteArray("X\0a\0S\0"
                                                  "0\0",
        8);
    QTest::newRow("device short of fields") << QByteArray("D\0a\0b\0S\0"
                                                          "0\0",
        10);
}

void TestEztw32Search::foreignOrDamagedOutputIsNoList()
{
    QFETCH(QByteArray, output);
    const devicelist::Parsed p
        = devicelist::parse(std::string_view(output.constData(), size_t(output.size())));
    QVERIFY(!p.complete);
    QVERIFY(p.devices.empty());
}

void TestEztw32Search::helperListsTheVirtualScanner()
{
    pid_t seen = 0;
    bool toldGone = false;
    const HelperSearch s = runSearchHelper(EZTW32_DEVICES_HELPER, 60000, [&](pid_t pid) {
        if (pid > 0)
            seen = pid;
        else
            toldGone = true;
        return true;
    });
    QVERIFY2(s.complete, s.failure.c_str());
    QCOMPARE(s.status, Status::Good);
    QVERIFY(s.failure.empty());
    bool found = false;
    for (const DeviceInfo& d : s.devices)
        found = found || (d.name == "test:0" && d.vendor == "Noname" && d.type == "virtual device");
    QVERIFY(found);
    QVERIFY(seen > 0);
    QVERIFY(toldGone);
    // Reaped: no zombie is left behind.
    QCOMPARE(::waitpid(seen, nullptr, WNOHANG), -1);
    QCOMPARE(errno, ECHILD);
}

void TestEztw32Search::missingHelperFailsWithItsCause()
{
    const HelperSearch s = runSearchHelper("/nonexistent/eztw32-devices", 60000);
    QVERIFY(!s.complete);
    QVERIFY(s.devices.empty());
    QVERIFY2(s.failure.find("No such file or directory") != std::string::npos, s.failure.c_str());
}

void TestEztw32Search::stoppedHelperIsKilledAndReaped()
{
    // Told at once that it is not wanted (the library is going away).
    pid_t seen = 0;
    const HelperSearch s = runSearchHelper(EZTW32_DEVICES_HELPER, 60000, [&](pid_t pid) {
        if (pid > 0)
            seen = pid;
        return false;
    });
    QVERIFY(!s.complete);
    QVERIFY(s.devices.empty());
    QCOMPARE(s.failure, std::string("the device search was stopped"));
    QVERIFY(seen > 0);
    QCOMPARE(::waitpid(seen, nullptr, WNOHANG), -1);
    QCOMPARE(errno, ECHILD);
}

QTEST_GUILESS_MAIN(TestEztw32Search)
#include "test_eztw32_search.moc"
