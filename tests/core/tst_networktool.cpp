#include "core/networktool.h"
#include "log/logger.h"
#include "support/httpstubserver.h"
#include "support/messagerecorder.h"
#include "support/testmain.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <QUdpSocket>
#include <QtTest>

using TestSupport::HttpStubServer;

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

    void externalAddressIsRemembered();
    void externalIpUrlOrder();
    void localAddressOfTheOnlyInterface();
    void localAddressFromTheProbe();
    void rememberProbedAddress_data();
    void rememberProbedAddress();
    void localAddressOnThisMachine();
    void localIpProbeOrder();

    void interfaceStrings();
    void interfaceLookups_data();
    void interfaceLookups();
    void magicPacket_data();
    void magicPacket();
    void wakeSendsOneDatagram();
    void awakeAndroidPostsTheMessage();
    void samePrivateNetworkSpace_data();
    void samePrivateNetworkSpace();

private:
    static NetworkTool::InterfaceMap twoInterfaces();
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

namespace {

// The time-out the last lookup waited with, from BlockingHTTPTool's entry line.
int lastLookupTimeout(const TestSupport::MessageRecorder &recorder)
{
    const QStringList lines = recorder.matching({QStringLiteral("BlockingHTTPTool::sget(")});
    if (lines.isEmpty())
        return -1;
    return lines.last().trimmed().section(QLatin1Char(' '), -1).toInt();
}

} // namespace

void TestNetworkTool::externalAddressIsRemembered()
{
    // The remembered body lives for the whole process, so the steps run in this order.
    Log::Logger("BlockingHTTPTool").setLevel(Log::TRACE);
    HttpStubServer echo;
    QVERIFY(echo.listenHttp());
    NetworkTool::setExternalIpUrl(echo.url(QStringLiteral("/ip")));
    TestSupport::MessageRecorder recorder;

    // Nothing learnt yet: failures give nothing and the long time-out stays.
    echo.enqueue(HttpStubServer::Response::closeAtOnce());
    QCOMPARE(NetworkTool::getExternalIPAddress(), QString());
    QCOMPARE(lastLookupTimeout(recorder), 15000);
    echo.enqueue(HttpStubServer::Response::ok(QByteArray()));
    QCOMPARE(NetworkTool::getExternalIPAddress(), QString());
    QCOMPARE(lastLookupTimeout(recorder), 15000);

    echo.enqueue(HttpStubServer::Response::ok("<html><body>Current IP Address: 203.0.113.7"
                                              "</body></html>"));
    QCOMPARE(NetworkTool::getExternalIPAddress(), QStringLiteral("203.0.113.7"));
    QCOMPARE(lastLookupTimeout(recorder), 15000);
    QCOMPARE(echo.requests().last().target, QByteArray("/ip"));
    QCOMPARE(echo.requests().last().method, QByteArray("GET"));

    // From now on the short time-out, and a failure answers with the earlier address.
    echo.enqueue(HttpStubServer::Response::closeAtOnce());
    QCOMPARE(NetworkTool::getExternalIPAddress(), QStringLiteral("203.0.113.7"));
    QCOMPARE(lastLookupTimeout(recorder), 3000);
    echo.enqueue(HttpStubServer::Response::ok(QByteArray()));
    QCOMPARE(NetworkTool::getExternalIPAddress(), QStringLiteral("203.0.113.7"));
    QCOMPARE(lastLookupTimeout(recorder), 3000);

    echo.enqueue(HttpStubServer::Response::ok("198.51.100.23\n"));
    QCOMPARE(NetworkTool::getExternalIPAddress(), QStringLiteral("198.51.100.23"));

    // A body without an address is remembered all the same.
    echo.enqueue(HttpStubServer::Response::ok("rate limited"));
    QCOMPARE(NetworkTool::getExternalIPAddress(), QString());
    echo.enqueue(HttpStubServer::Response::closeAtOnce());
    QCOMPARE(NetworkTool::getExternalIPAddress(), QString());
    QCOMPARE(lastLookupTimeout(recorder), 3000);

    NetworkTool::setExternalIpUrl(QString());
    Log::Logger("BlockingHTTPTool").setLevel(Log::ERROR);
}

void TestNetworkTool::externalIpUrlOrder()
{
    NetworkTool::setExternalIpUrl(QString());
    qunsetenv("TOLVANE_EXTERNAL_IP_URL");
    QCOMPARE(NetworkTool::externalIpUrl(), QString::fromLatin1(NetworkTool::kDefaultExternalIpUrl));
    QVERIFY(NetworkTool::externalIpUrl().startsWith(QStringLiteral("http://")));
    qputenv("TOLVANE_EXTERNAL_IP_URL", "http://127.0.0.9:8080/ip");
    QCOMPARE(NetworkTool::externalIpUrl(), QStringLiteral("http://127.0.0.9:8080/ip"));
    NetworkTool::setExternalIpUrl(QStringLiteral("http://127.0.0.8/echo"));
    QCOMPARE(NetworkTool::externalIpUrl(), QStringLiteral("http://127.0.0.8/echo"));
    NetworkTool::setExternalIpUrl(QString());
    QCOMPARE(NetworkTool::externalIpUrl(), QStringLiteral("http://127.0.0.9:8080/ip"));
    qunsetenv("TOLVANE_EXTERNAL_IP_URL");
}

NetworkTool::InterfaceMap TestNetworkTool::twoInterfaces()
{
    NetworkTool::InterfaceMap map;
    map.insert(QStringLiteral("eth0"),
               NetworkInterfaceInfo(QStringLiteral("eth0"), QHostAddress(QStringLiteral("10.0.0.5")),
                                    kMac1));
    map.insert(QStringLiteral("wlan0"),
               NetworkInterfaceInfo(QStringLiteral("wlan0"),
                                    QHostAddress(QStringLiteral("192.168.1.4")), kMac2));
    return map;
}

void TestNetworkTool::localAddressOfTheOnlyInterface()
{
    QTcpServer probe;
    QVERIFY(probe.listen(QHostAddress(QStringLiteral("127.0.0.2"))));
    NetworkTool::setLocalIpProbe(probe.serverAddress(), probe.serverPort());
    NetworkTool::InterfaceMap one;
    one.insert(QStringLiteral("en0"),
               NetworkInterfaceInfo(QStringLiteral("en0"),
                                    QHostAddress(QStringLiteral("192.168.7.3")), kMac1));
    QCOMPARE(NetworkTool::localIPAddressFrom(one), QStringLiteral("192.168.7.3"));
    // No test connection was made.
    QVERIFY(!probe.waitForNewConnection(0));
    QVERIFY(!probe.hasPendingConnections());
    NetworkTool::setLocalIpProbe(QHostAddress());
}

void TestNetworkTool::localAddressFromTheProbe()
{
    QTcpServer probe;
    QVERIFY(probe.listen(QHostAddress(QStringLiteral("127.0.0.2"))));
    NetworkTool::setLocalIpProbe(probe.serverAddress(), probe.serverPort());
    QCOMPARE(NetworkTool::localIpProbeAddress(), probe.serverAddress());
    QCOMPARE(NetworkTool::localIpProbePort(), probe.serverPort());

    // The probe connects and reads the local end: on loopback that is 127.0.0.1.
    QCOMPARE(NetworkTool::probeLocalAddress(), QHostAddress(QHostAddress::LocalHost));
    QVERIFY(probe.hasPendingConnections() || probe.waitForNewConnection(10000));
    QTcpSocket *accepted = probe.nextPendingConnection();
    QVERIFY(accepted);
    // The probe closes again without sending anything.
    QVERIFY(accepted->state() == QAbstractSocket::UnconnectedState
            || accepted->waitForDisconnected(10000));
    QCOMPARE(accepted->readAll(), QByteArray());

    // With several interfaces the probe decides; a loopback answer is no answer.
    TestSupport::MessageRecorder recorder;
    QCOMPARE(NetworkTool::localIPAddressFrom(twoInterfaces()), QString());
    QCOMPARE(recorder.count({QStringLiteral("WARN"), QStringLiteral("[ NetworkTool ]"),
                             QStringLiteral("Cannot find local ip. Found ip = \"127.0.0.1\"")}),
             1);

    // A refused probe finds nothing, and forgets what was remembered.
    NetworkTool::InterfaceMap one;
    one.insert(QStringLiteral("en0"),
               NetworkInterfaceInfo(QStringLiteral("en0"),
                                    QHostAddress(QStringLiteral("192.168.7.3")), kMac1));
    QCOMPARE(NetworkTool::localIPAddressFrom(one), QStringLiteral("192.168.7.3"));
    const quint16 closedPort = probe.serverPort();
    probe.close();
    NetworkTool::setLocalIpProbe(QHostAddress(QStringLiteral("127.0.0.2")), closedPort);
    QVERIFY(NetworkTool::probeLocalAddress().isNull());
    QCOMPARE(NetworkTool::localIPAddressFrom(NetworkTool::InterfaceMap()), QString());
    QCOMPARE(recorder.count({QStringLiteral("Cannot find local ip. Found ip = \"\"")}), 1);
    NetworkTool::setLocalIpProbe(QHostAddress());
}

void TestNetworkTool::rememberProbedAddress_data()
{
    QTest::addColumn<QString>("found");
    QTest::addColumn<QString>("expected");
    QTest::newRow("LAN address") << QStringLiteral("192.168.1.20") << QStringLiteral("192.168.1.20");
    QTest::newRow("other address") << QStringLiteral("10.20.30.40") << QStringLiteral("10.20.30.40");
    QTest::newRow("not connected") << QString() << QString();
    QTest::newRow("loopback") << QStringLiteral("127.0.0.1") << QString();
}

void TestNetworkTool::rememberProbedAddress()
{
    QFETCH(QString, found);
    QFETCH(QString, expected);
    TestSupport::MessageRecorder recorder;
    QCOMPARE(NetworkTool::rememberProbedAddress(QHostAddress(found)), expected);
    QCOMPARE(recorder.count({QStringLiteral("Cannot find local ip. Found ip =")}),
             expected.isEmpty() ? 1 : 0);
}

void TestNetworkTool::localAddressOnThisMachine()
{
    // The probe is refused, so only a single qualifying interface can give an address.
    QTcpServer closed;
    QVERIFY(closed.listen(QHostAddress(QStringLiteral("127.0.0.3"))));
    const quint16 port = closed.serverPort();
    closed.close();
    NetworkTool::setLocalIpProbe(QHostAddress(QStringLiteral("127.0.0.3")), port);
    const NetworkTool::InterfaceMap map = NetworkTool::getInterfacesInfo(false);
    const QString expected = map.size() == 1 ? map.first().address().toString() : QString();
    QCOMPARE(NetworkTool::getLocalIPAddress(), expected);
    NetworkTool::setLocalIpProbe(QHostAddress());
}

void TestNetworkTool::localIpProbeOrder()
{
    NetworkTool::setLocalIpProbe(QHostAddress());
    qunsetenv("TOLVANE_LOCAL_IP_PROBE");
    QCOMPARE(NetworkTool::localIpProbeAddress(),
             QHostAddress(QString::fromLatin1(NetworkTool::kDefaultLocalIpProbe)));
    QCOMPARE(NetworkTool::localIpProbePort(), quint16(53));

    qputenv("TOLVANE_LOCAL_IP_PROBE", "127.0.0.5:5353");
    QCOMPARE(NetworkTool::localIpProbeAddress(), QHostAddress(QStringLiteral("127.0.0.5")));
    QCOMPARE(NetworkTool::localIpProbePort(), quint16(5353));
    qputenv("TOLVANE_LOCAL_IP_PROBE", "127.0.0.6");
    QCOMPARE(NetworkTool::localIpProbeAddress(), QHostAddress(QStringLiteral("127.0.0.6")));
    QCOMPARE(NetworkTool::localIpProbePort(), quint16(53));
    qputenv("TOLVANE_LOCAL_IP_PROBE", "::1");
    QCOMPARE(NetworkTool::localIpProbeAddress(), QHostAddress(QStringLiteral("::1")));
    QCOMPARE(NetworkTool::localIpProbePort(), quint16(53));
    for (const char *bad : {"not an address", "127.0.0.7:0", "127.0.0.7:70000", "127.0.0.7:x"}) {
        qputenv("TOLVANE_LOCAL_IP_PROBE", bad);
        QCOMPARE(NetworkTool::localIpProbeAddress(),
                 QHostAddress(QString::fromLatin1(NetworkTool::kDefaultLocalIpProbe)));
    }

    qputenv("TOLVANE_LOCAL_IP_PROBE", "127.0.0.5:5353");
    NetworkTool::setLocalIpProbe(QHostAddress(QStringLiteral("127.0.0.4")), 1053);
    QCOMPARE(NetworkTool::localIpProbeAddress(), QHostAddress(QStringLiteral("127.0.0.4")));
    QCOMPARE(NetworkTool::localIpProbePort(), quint16(1053));
    NetworkTool::setLocalIpProbe(QHostAddress());
    qunsetenv("TOLVANE_LOCAL_IP_PROBE");
}

void TestNetworkTool::interfaceStrings()
{
    const NetworkTool::InterfaceMap map = twoInterfaces();
    QCOMPARE(NetworkTool::getInterfaceInfoString(map.first()),
             QStringLiteral("NAME:eth0 IP:10.0.0.5 MAC:02:FC:00:00:00:01;"));
    const QString text = NetworkTool::interfacesInfoStringFrom(map);
    QCOMPARE(text, QStringLiteral("1) NAME:eth0 IP:10.0.0.5 MAC:02:FC:00:00:00:01;\t"
                                  "2) NAME:wlan0 IP:192.168.1.4 MAC:AA:BB:CC:DD:EE:02;\t"));
    // The text form reads back into the same map.
    QCOMPARE(NetworkTool::getInterfacesInfoFromString(text), map);
    QCOMPARE(NetworkTool::getInterfacesInfoFromString(QStringLiteral("nothing here")),
             NetworkTool::InterfaceMap());
    QCOMPARE(NetworkTool::interfacesInfoStringFrom(NetworkTool::InterfaceMap()), QString());
    QCOMPARE(NetworkTool::getInterfacesInfoString(false),
             NetworkTool::interfacesInfoStringFrom(NetworkTool::getInterfacesInfo(false)));
}

void TestNetworkTool::interfaceLookups_data()
{
    QTest::addColumn<bool>("empty");
    QTest::addColumn<bool>("byIp");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("expectedName");
    QTest::newRow("empty map by name") << true << false << QStringLiteral("eth0") << QString();
    QTest::newRow("empty map by address") << true << true << QString() << QString();
    QTest::newRow("empty name gives the first") << false << false << QString()
                                                << QStringLiteral("eth0");
    QTest::newRow("by name") << false << false << QStringLiteral("wlan0") << QStringLiteral("wlan0");
    QTest::newRow("unknown name") << false << false << QStringLiteral("tun9") << QString();
    QTest::newRow("empty address gives the first") << false << true << QString()
                                                   << QStringLiteral("eth0");
    QTest::newRow("by address") << false << true << QStringLiteral("192.168.1.4")
                                << QStringLiteral("wlan0");
    QTest::newRow("unknown address") << false << true << QStringLiteral("10.9.9.9") << QString();
}

void TestNetworkTool::interfaceLookups()
{
    QFETCH(bool, empty);
    QFETCH(bool, byIp);
    QFETCH(QString, key);
    QFETCH(QString, expectedName);
    const NetworkTool::InterfaceMap map = empty ? NetworkTool::InterfaceMap() : twoInterfaces();
    const NetworkInterfaceInfo info = byIp ? NetworkTool::interfaceInfoByIpFrom(map, key)
                                           : NetworkTool::interfaceInfoFrom(map, key);
    if (expectedName.isEmpty())
        QCOMPARE(info, NetworkInterfaceInfo());
    else
        QCOMPARE(info, map.value(expectedName));
}

void TestNetworkTool::magicPacket_data()
{
    QTest::addColumn<QString>("mac");
    QTest::addColumn<QByteArray>("address");
    QTest::newRow("colons") << QStringLiteral("01:23:45:67:89:ab") << QByteArray::fromHex("0123456789ab");
    QTest::newRow("hyphens") << QStringLiteral("01-23-45-67-89-AB") << QByteArray::fromHex("0123456789ab");
    QTest::newRow("bare digits") << QStringLiteral("0123456789AB") << QByteArray::fromHex("0123456789ab");
    QTest::newRow("too short") << QStringLiteral("01:23:45:67:89") << QByteArray();
    QTest::newRow("not hexadecimal") << QStringLiteral("01:23:45:67:89:zz") << QByteArray();
    QTest::newRow("empty") << QString() << QByteArray();
}

void TestNetworkTool::magicPacket()
{
    QFETCH(QString, mac);
    QFETCH(QByteArray, address);
    const QByteArray packet = NetworkTool::magicPacket(mac);
    if (address.isEmpty()) {
        QVERIFY(packet.isEmpty());
        QVERIFY(!NetworkTool::wake(mac, QHostAddress(QHostAddress::LocalHost), 9));
        return;
    }
    QCOMPARE(packet.size(), 102);
    QCOMPARE(packet.left(6), QByteArray(6, char(0xFF)));
    for (int i = 0; i < 16; ++i)
        QCOMPARE(packet.mid(6 + 6 * i, 6), address);
}

void TestNetworkTool::wakeSendsOneDatagram()
{
    QUdpSocket receiver;
    QVERIFY(receiver.bind(QHostAddress(QStringLiteral("127.0.0.1")), 0));
    QSignalSpy ready(&receiver, &QUdpSocket::readyRead);
    QVERIFY(NetworkTool::wake(QStringLiteral("02:FC:00:00:00:01"), receiver.localAddress(),
                              receiver.localPort()));
    QVERIFY(receiver.hasPendingDatagrams() || ready.wait(10000));
    QByteArray datagram(int(receiver.pendingDatagramSize()), '\0');
    receiver.readDatagram(datagram.data(), datagram.size());
    QCOMPARE(datagram, NetworkTool::magicPacket(QStringLiteral("02:FC:00:00:00:01")));
}

void TestNetworkTool::awakeAndroidPostsTheMessage()
{
    HttpStubServer push;
    QVERIFY(push.listenHttp());
    NetworkTool::setPushServiceUrl(push.url(QString()));
    QCOMPARE(NetworkTool::pushServiceUrl(), push.url(QString()));
    NetworkTool::awakeAndroid(QStringLiteral("SERVICE-KEY"), QStringLiteral("device-42"));
    QTRY_COMPARE_WITH_TIMEOUT(push.requests().size(), 1, 20000);
    const HttpStubServer::Request request = push.requests().first();
    QCOMPARE(request.method, QByteArray("POST"));
    QCOMPARE(request.target, QByteArray("/gcm/send"));
    QCOMPARE(request.header("Content-Type"), QByteArray("application/json"));
    QCOMPARE(request.header("Authorization"), QByteArray("key=SERVICE-KEY"));
    QCOMPARE(request.body, QByteArray("{\"registration_ids\":[\"device-42\"]}"));
    // The request cleans up after itself once answered: the connection goes.
    QTRY_COMPARE_WITH_TIMEOUT(push.openConnections(), 0, 20000);
    NetworkTool::setPushServiceUrl(QString());
    QCOMPARE(NetworkTool::pushServiceUrl(), QString::fromLatin1(NetworkTool::kDefaultPushServiceUrl));
}

void TestNetworkTool::samePrivateNetworkSpace_data()
{
    QTest::addColumn<QByteArray>("first");
    QTest::addColumn<QByteArray>("second");
    QTest::addColumn<bool>("same");
    QTest::newRow("both 10/8") << QByteArray("10.1.2.3") << QByteArray("10.200.0.1") << true;
    QTest::newRow("both 172.16/12") << QByteArray("172.16.0.1") << QByteArray("172.31.255.254") << true;
    QTest::newRow("172.32 is outside") << QByteArray("172.16.0.1") << QByteArray("172.32.0.1") << false;
    QTest::newRow("both 192.168/16") << QByteArray("192.168.0.1") << QByteArray("192.168.99.1") << true;
    QTest::newRow("different blocks") << QByteArray("10.0.0.1") << QByteArray("192.168.0.1") << false;
    QTest::newRow("public addresses") << QByteArray("203.0.113.1") << QByteArray("203.0.113.2") << false;
    QTest::newRow("one public") << QByteArray("192.168.1.1") << QByteArray("192.169.1.1") << false;
    QTest::newRow("not addresses") << QByteArray("x") << QByteArray("y") << false;
    QTest::newRow("IPv6") << QByteArray("fd00::1") << QByteArray("fd00::2") << false;
}

void TestNetworkTool::samePrivateNetworkSpace()
{
    QFETCH(QByteArray, first);
    QFETCH(QByteArray, second);
    QFETCH(bool, same);
    QCOMPARE(NetworkTool::isSamePrivateNetworkSpace(first.constData(), second.constData()), same);
    QCOMPARE(NetworkTool::isSamePrivateNetworkSpace(second.constData(), first.constData()), same);
    QVERIFY(!NetworkTool::isSamePrivateNetworkSpace(nullptr, first.constData()));
}

TOLVANE_TEST_MAIN(TestNetworkTool)
#include "tst_networktool.moc"
