#include "core/networktool.h"
#include "core/sysinfotool.h"
#include "support/testmain.h"

#include <QDir>
#include <QRegularExpression>
#include <QtTest>

class TestSysInfoTool : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void osIsMac();
    void hardwareUidFrom_data();
    void hardwareUidFrom();
    void hardwareUidFollowsTheFilteredInterfaces();
    void hardwareUidIsStableAndWellFormed();
    void freeSpace();
    void freeSpaceOfAMissingPath();
};

void TestSysInfoTool::osIsMac()
{
    QCOMPARE(SysInfoTool::os(), QStringLiteral("mac"));
}

void TestSysInfoTool::hardwareUidFrom_data()
{
    QTest::addColumn<NetworkTool::InterfaceMap>("interfaces");
    QTest::addColumn<QString>("expected");

    QTest::newRow("no interface: MD5 of empty input")
        << NetworkTool::InterfaceMap() << QStringLiteral("d41d8cd98f00b204e9800998ecf8427e");

    NetworkTool::InterfaceMap one;
    one.insert(QStringLiteral("eth0"),
               NetworkInterfaceInfo(QStringLiteral("eth0"), QHostAddress(QStringLiteral("10.1.2.3")),
                                    QStringLiteral("02:FC:00:00:00:01")));
    QTest::newRow("one interface") << one << QStringLiteral("682684c873e6ce52721f1014633bcca1");

    // Insertion order does not matter: the map orders by name, so "en1" comes before "eth0".
    NetworkTool::InterfaceMap two = one;
    two.insert(QStringLiteral("en1"),
               NetworkInterfaceInfo(QStringLiteral("en1"), QHostAddress(QStringLiteral("10.9.9.9")),
                                    QStringLiteral("AA:BB:CC:DD:EE:01")));
    QTest::newRow("two interfaces joined by name order")
        << two << QStringLiteral("a017018d7cf821d5f136f884cfda8330");

    // The addresses take no part.
    NetworkTool::InterfaceMap otherAddress;
    otherAddress.insert(QStringLiteral("eth0"),
                        NetworkInterfaceInfo(QStringLiteral("eth0"),
                                             QHostAddress(QStringLiteral("192.168.7.7")),
                                             QStringLiteral("02:FC:00:00:00:01")));
    QTest::newRow("address does not count")
        << otherAddress << QStringLiteral("682684c873e6ce52721f1014633bcca1");
}

void TestSysInfoTool::hardwareUidFrom()
{
    QFETCH(NetworkTool::InterfaceMap, interfaces);
    QFETCH(QString, expected);
    QCOMPARE(SysInfoTool::hardwareUidFrom(interfaces), expected);
}

void TestSysInfoTool::hardwareUidFollowsTheFilteredInterfaces()
{
    NetworkTool::InterfaceEntry loopback;
    loopback.humanReadableName = QStringLiteral("lo");
    loopback.hardwareAddress = QStringLiteral("00:00:00:00:00:00");
    loopback.running = true;
    loopback.addresses = {QHostAddress(QStringLiteral("127.0.0.1"))};
    NetworkTool::InterfaceEntry ethernet;
    ethernet.humanReadableName = QStringLiteral("eth0");
    ethernet.hardwareAddress = QStringLiteral("02:FC:00:00:00:01");
    ethernet.running = true;
    ethernet.addresses = {QHostAddress(QStringLiteral("10.1.2.3"))};
    NetworkTool::InterfaceEntry down = ethernet;
    down.humanReadableName = QStringLiteral("eth1");
    down.hardwareAddress = QStringLiteral("AA:BB:CC:DD:EE:01");
    down.running = false;

    const NetworkTool::InterfaceMap map =
        NetworkTool::interfacesInfoFrom({loopback, ethernet, down}, false);
    QCOMPARE(SysInfoTool::hardwareUidFrom(map), QStringLiteral("682684c873e6ce52721f1014633bcca1"));
}

void TestSysInfoTool::hardwareUidIsStableAndWellFormed()
{
    const QString uid = SysInfoTool::hardwareUid();
    QVERIFY2(QRegularExpression(QStringLiteral("^[0-9a-f]{32}$")).match(uid).hasMatch(),
             qPrintable(uid));
    QCOMPARE(SysInfoTool::hardwareUid(), uid);
    QCOMPARE(uid, SysInfoTool::hardwareUidFrom(NetworkTool::getInterfacesInfo(false)));
}

void TestSysInfoTool::freeSpace()
{
    const QString path = QDir::currentPath();
    long long total = -1;
    long long available = -1;
    QVERIFY(SysInfoTool::getFreeTotalSpace(path, &total, &available));
    QVERIFY(total > 0);
    QVERIFY(available >= 0);
    QVERIFY(available <= total);
    QVERIFY(SysInfoTool::getFreeTotalSpace(path, nullptr, nullptr));
    QVERIFY(SysInfoTool::freeSpaceRemains(path, -1));
    QVERIFY(!SysInfoTool::freeSpaceRemains(path, total));
}

void TestSysInfoTool::freeSpaceOfAMissingPath()
{
    long long total = 17;
    long long available = 18;
    const QString missing = QDir::currentPath() + QStringLiteral("/no/such/folder");
    QVERIFY(!SysInfoTool::getFreeTotalSpace(missing, &total, &available));
    QCOMPARE(total, 17LL);
    QCOMPARE(available, 18LL);
    QVERIFY(!SysInfoTool::freeSpaceRemains(missing, -1));
    QVERIFY(!SysInfoTool::getFreeTotalSpace(QString(), &total, &available));
}

TOLVANE_TEST_MAIN(TestSysInfoTool)
#include "tst_sysinfotool.moc"
