#include "core/networktool.h"
#include "support/testmain.h"

#include <QtTest>

namespace {

NetworkTool::InterfaceEntry entry(const QString &name, const QString &mac, bool running,
                                  const QStringList &addresses)
{
    NetworkTool::InterfaceEntry result;
    result.humanReadableName = name;
    result.hardwareAddress = mac;
    result.running = running;
    for (const QString &address : addresses)
        result.addresses.append(QHostAddress(address));
    return result;
}

const QString kMac1 = QStringLiteral("02:FC:00:00:00:01");
const QString kMac2 = QStringLiteral("AA:BB:CC:DD:EE:02");

} // namespace

Q_DECLARE_METATYPE(QList<NetworkTool::InterfaceEntry>)

class TestNetworkTool : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void interfacesInfoFrom_data();
    void interfacesInfoFrom();
    void systemInterfacesMatchQt();
};

void TestNetworkTool::interfacesInfoFrom_data()
{
    QTest::addColumn<QList<NetworkTool::InterfaceEntry>>("interfaces");
    QTest::addColumn<bool>("allInterfaces");
    // "name=address=mac" per expected entry, in map order.
    QTest::addColumn<QStringList>("expected");

    const auto lo = entry(QStringLiteral("lo"), QStringLiteral("00:00:00:00:00:00"), true,
                          {QStringLiteral("127.0.0.1"), QStringLiteral("::1")});
    const auto eth = entry(QStringLiteral("eth0"), kMac1, true, {QStringLiteral("10.0.0.5")});

    QTest::newRow("nothing") << QList<NetworkTool::InterfaceEntry>() << false << QStringList();
    QTest::newRow("one qualifying interface")
        << QList<NetworkTool::InterfaceEntry>{eth} << false
        << QStringList{QStringLiteral("eth0=10.0.0.5=") + kMac1};
    QTest::newRow("null MAC is skipped")
        << QList<NetworkTool::InterfaceEntry>{lo} << false << QStringList();
    QTest::newRow("empty MAC is skipped")
        << QList<NetworkTool::InterfaceEntry>{entry(QStringLiteral("tun0"), QString(), true,
                                                     {QStringLiteral("10.8.0.2")})}
        << false << QStringList();
    QTest::newRow("not running is skipped")
        << QList<NetworkTool::InterfaceEntry>{entry(QStringLiteral("eth1"), kMac2, false,
                                                     {QStringLiteral("10.0.0.6")})}
        << false << QStringList();
    QTest::newRow("IPv6-only is skipped")
        << QList<NetworkTool::InterfaceEntry>{entry(QStringLiteral("eth1"), kMac2, true,
                                                     {QStringLiteral("fe80::1"),
                                                      QStringLiteral("fd00::2")})}
        << false << QStringList();
    QTest::newRow("last IPv4 address wins")
        << QList<NetworkTool::InterfaceEntry>{entry(QStringLiteral("eth0"), kMac1, true,
                                                     {QStringLiteral("10.0.0.5"),
                                                      QStringLiteral("fd00::5"),
                                                      QStringLiteral("10.0.0.7"),
                                                      QStringLiteral("fe80::9")})}
        << false << QStringList{QStringLiteral("eth0=10.0.0.7=") + kMac1};
    QTest::newRow("ordered by name, filter mixed")
        << QList<NetworkTool::InterfaceEntry>{eth, lo,
                                              entry(QStringLiteral("en1"), kMac2, true,
                                                    {QStringLiteral("192.168.1.4")})}
        << false
        << QStringList{QStringLiteral("en1=192.168.1.4=") + kMac2,
                       QStringLiteral("eth0=10.0.0.5=") + kMac1};
    QTest::newRow("all interfaces keeps loopback and IPv6")
        << QList<NetworkTool::InterfaceEntry>{lo} << true
        << QStringList{QStringLiteral("lo=::1=00:00:00:00:00:00")};
    QTest::newRow("all interfaces keeps a stopped one")
        << QList<NetworkTool::InterfaceEntry>{entry(QStringLiteral("eth1"), kMac2, false,
                                                     {QStringLiteral("10.0.0.6")})}
        << true << QStringList{QStringLiteral("eth1=10.0.0.6=") + kMac2};
    QTest::newRow("interface without address gives nothing")
        << QList<NetworkTool::InterfaceEntry>{entry(QStringLiteral("eth0"), kMac1, true, {})}
        << true << QStringList();
}

void TestNetworkTool::interfacesInfoFrom()
{
    QFETCH(QList<NetworkTool::InterfaceEntry>, interfaces);
    QFETCH(bool, allInterfaces);
    QFETCH(QStringList, expected);

    const NetworkTool::InterfaceMap map = NetworkTool::interfacesInfoFrom(interfaces, allInterfaces);
    QStringList actual;
    for (auto it = map.cbegin(); it != map.cend(); ++it) {
        QCOMPARE(it.value().name(), it.key());
        actual << it.key() + QLatin1Char('=') + it.value().address().toString() + QLatin1Char('=')
                      + it.value().hardwareAddress();
    }
    QCOMPARE(actual, expected);
}

void TestNetworkTool::systemInterfacesMatchQt()
{
    const QList<NetworkTool::InterfaceEntry> entries = NetworkTool::systemInterfaces();
    const QList<QNetworkInterface> interfaces = QNetworkInterface::allInterfaces();
    QCOMPARE(entries.size(), interfaces.size());
    for (int i = 0; i < entries.size(); ++i) {
        QCOMPARE(entries.at(i).humanReadableName, interfaces.at(i).humanReadableName());
        QCOMPARE(entries.at(i).hardwareAddress, interfaces.at(i).hardwareAddress());
        QCOMPARE(entries.at(i).running,
                 interfaces.at(i).flags().testFlag(QNetworkInterface::IsRunning));
        QCOMPARE(entries.at(i).addresses.size(), interfaces.at(i).addressEntries().size());
    }
    // The loopback interface has the null MAC, so it never qualifies.
    const NetworkTool::InterfaceMap map = NetworkTool::getInterfacesInfo(false);
    for (const NetworkInterfaceInfo &info : map) {
        QVERIFY(!info.address().isLoopback());
        QVERIFY(info.address().protocol() == QAbstractSocket::IPv4Protocol);
    }
}

TOLVANE_TEST_MAIN(TestNetworkTool)
#include "tst_networktool.moc"
