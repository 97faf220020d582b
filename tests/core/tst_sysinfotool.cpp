#include "core/sysinfotool.h"
#include "support/testmain.h"

class TestSysInfoTool : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void hardwareUid()
    {
        QCOMPARE(SysInfoTool::os(), QStringLiteral("mac"));
        QCOMPARE(SysInfoTool::hardwareUidFrom({}),
                 QStringLiteral("d41d8cd98f00b204e9800998ecf8427e"));
        // The MD5 of the MACs in the order of the names: en1, then eth0. Addresses do not count.
        NetworkTool::InterfaceMap two;
        two.insert("eth0",
                   NetworkInterfaceInfo("eth0", QHostAddress("10.1.2.3"), "02:FC:00:00:00:01"));
        two.insert("en1",
                   NetworkInterfaceInfo("en1", QHostAddress("10.9.9.9"), "AA:BB:CC:DD:EE:01"));
        QCOMPARE(SysInfoTool::hardwareUidFrom(two),
                 QStringLiteral("a017018d7cf821d5f136f884cfda8330"));
        two.remove("en1");
        QCOMPARE(SysInfoTool::hardwareUidFrom(two),
                 QStringLiteral("682684c873e6ce52721f1014633bcca1"));
        // This machine's value comes from its running interfaces with a real MAC only.
        QCOMPARE(SysInfoTool::hardwareUid(),
                 SysInfoTool::hardwareUidFrom(NetworkTool::getInterfacesInfo(false)));
    }

    void freeSpace()
    {
        long long total = -1;
        long long available = -1;
        QVERIFY(SysInfoTool::getFreeTotalSpace(".", &total, &available));
        QVERIFY(total > 0 && available >= 0 && available <= total);
        QVERIFY(SysInfoTool::getFreeTotalSpace(".", nullptr, nullptr));
        QVERIFY(SysInfoTool::freeSpaceRemains(".", -1));
        QVERIFY(!SysInfoTool::freeSpaceRemains(".", total));
        QVERIFY(!SysInfoTool::getFreeTotalSpace("no/such/folder", &total, &available));
        QVERIFY(!SysInfoTool::freeSpaceRemains("no/such/folder", -1));
    }
};

TOLVANE_TEST_MAIN(TestSysInfoTool)
#include "tst_sysinfotool.moc"
