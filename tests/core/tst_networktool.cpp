#include "core/networktool.h"
#include "log/logger.h"
#include "support/httpstubserver.h"
#include "support/messagerecorder.h"
#include "support/testmain.h"

using TestSupport::HttpStubServer;
using Response = HttpStubServer::Response;

namespace {
// "name mac up|down address,address;..." as the filter's input ("-" for an empty MAC).
QList<NetworkTool::InterfaceEntry> entries(const QString &text)
{
    QList<NetworkTool::InterfaceEntry> result;
    for (const QString &item : text.split(';')) {
        const QStringList parts = item.split(' ');
        result.append({parts[0], parts[1] == "-" ? QString() : parts[1], parts[2] == "up", {}});
        for (const QString &address : parts[3].split(','))
            result.last().addresses.append(QHostAddress(address));
    }
    return result;
}
} // namespace

class TestNetworkTool : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void interfaces()
    {
        const QString all =
            "lo 00:00:00:00:00:00 up 127.0.0.1,::1;tun0 - up 10.8.0.2;"
            "eth2 AA:BB:CC:DD:EE:02 up fe80::1;eth1 AA:BB:CC:DD:EE:01 down 10.0.0.6;"
            "eth0 02:FC:00:00:00:01 up 10.0.0.5,10.0.0.7,fd00::5";
        const NetworkTool::InterfaceMap running =
            NetworkTool::interfacesInfoFrom(entries(all), false);
        const QString text = NetworkTool::interfacesInfoStringFrom(running);
        QCOMPARE(text, QStringLiteral("1) NAME:eth0 IP:10.0.0.7 MAC:02:FC:00:00:00:01;\t"));
        QCOMPARE(NetworkTool::interfacesInfoStringFrom(
                     NetworkTool::interfacesInfoFrom(entries(all), true)),
                 QStringLiteral("1) NAME:eth0 IP:fd00::5 MAC:02:FC:00:00:00:01;\t"
                                "2) NAME:eth1 IP:10.0.0.6 MAC:AA:BB:CC:DD:EE:01;\t"
                                "3) NAME:eth2 IP:fe80::1 MAC:AA:BB:CC:DD:EE:02;\t"
                                "4) NAME:lo IP:::1 MAC:00:00:00:00:00:00;\t"
                                "5) NAME:tun0 IP:10.8.0.2 MAC:;\t"));
        const NetworkTool::InterfaceMap two = NetworkTool::interfacesInfoFrom(
            entries("wlan0 AA:BB:CC:DD:EE:02 up 192.168.1.4;eth0 02:FC:00:00:00:01 up 10.0.0.5"),
            false);
        QCOMPARE(
            NetworkTool::getInterfacesInfoFromString(NetworkTool::interfacesInfoStringFrom(two)),
            two);
        QCOMPARE(NetworkTool::getInterfaceInfoString(two.first()),
                 QStringLiteral("NAME:eth0 IP:10.0.0.5 MAC:02:FC:00:00:00:01;"));
        QCOMPARE(NetworkTool::interfaceInfoFrom(two, ""), two.first());
        QCOMPARE(NetworkTool::interfaceInfoFrom(two, "wlan0"), two.last());
        QCOMPARE(NetworkTool::interfaceInfoByIpFrom(two, ""), two.first());
        QCOMPARE(NetworkTool::interfaceInfoByIpFrom(two, "192.168.1.4"), two.last());
        QCOMPARE(NetworkTool::interfaceInfoByIpFrom(two, "10.9.9.9"), NetworkInterfaceInfo());
        QCOMPARE(NetworkTool::interfaceInfoFrom({}, ""), NetworkInterfaceInfo());
    }

    void externalAddressIsRemembered()
    {
        // The lookup remembers its last answer for the whole process: the steps run in order.
        Log::Logger("BlockingHTTPTool").setLevel(Log::TRACE);
        TestSupport::MessageRecorder recorder;
        HttpStubServer echo;
        QVERIFY(echo.listenHttp());
        NetworkTool::setExternalIpUrl(echo.url("/ip"));
        const struct
        {
            Response answer;
            const char *address;
            int timeout;
        } steps[] = {{Response::closeAtOnce(), "", 15000},
                     {Response::ok("<p>Current IP Address: 203.0.113.7</p>"), "203.0.113.7", 15000},
                     {Response::closeAtOnce(), "203.0.113.7", 3000},
                     {Response::ok("rate limited"), "", 3000}};
        for (const auto &step : steps) {
            echo.enqueue(step.answer);
            QCOMPARE(NetworkTool::getExternalIPAddress(), QString(step.address));
            // The time-out of the request, from the request's entry line.
            const QString entry = recorder.matching({"BlockingHTTPTool::sget("}).last();
            QCOMPARE(entry.section(' ', -1).toInt(), step.timeout);
        }
        QCOMPARE(echo.requests().last().target, QByteArray("/ip"));
        NetworkTool::setExternalIpUrl(QString());
    }

    void localAddress()
    {
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress("127.0.0.2")));
        NetworkTool::setLocalIpProbe(probe.serverAddress(), probe.serverPort());
        const NetworkTool::InterfaceMap two = NetworkTool::interfacesInfoFrom(
            entries("en0 02:FC:00:00:00:01 up 10.0.0.5;en1 02:FC:00:00:00:02 up 10.0.0.6"), false);
        // One interface gives its address without a test connection.
        QCOMPARE(NetworkTool::localIPAddressFrom({{"en0", two.first()}}),
                 QStringLiteral("10.0.0.5"));
        QVERIFY(!probe.hasPendingConnections());
        // Several ask the probe, whose loopback answer is no answer.
        QCOMPARE(NetworkTool::localIPAddressFrom(two), QString());
        QVERIFY(probe.waitForNewConnection(10000));
        QCOMPARE(NetworkTool::rememberProbedAddress(QHostAddress("10.20.30.40")), "10.20.30.40");
        // A refused probe finds nothing and forgets the address.
        probe.close();
        QCOMPARE(NetworkTool::getLocalIPAddress(), QString());
        NetworkTool::setLocalIpProbe(QHostAddress());
    }

    void probeEndpoint()
    {
        // "address[:port]" from the environment, the default when it is not one, and a setting
        // before both.
        const QByteArray saved = qgetenv("TOLVANE_LOCAL_IP_PROBE");
        const QString fallback = QString(NetworkTool::kDefaultLocalIpProbe) + ":53";
        const char *cases[][2] = {{"127.0.0.5:5353", "127.0.0.5:5353"},
                                  {"127.0.0.5", "127.0.0.5:53"},
                                  {"127.0.0.5:0", ""},
                                  {"127.0.0.5:70000", ""},
                                  {"x", ""}};
        const auto probe = [] {
            return QString("%1:%2")
                .arg(NetworkTool::localIpProbeAddress().toString())
                .arg(NetworkTool::localIpProbePort());
        };
        for (const auto &item : cases) {
            qputenv("TOLVANE_LOCAL_IP_PROBE", item[0]);
            QCOMPARE(probe(), *item[1] ? QString(item[1]) : fallback);
        }
        NetworkTool::setLocalIpProbe(QHostAddress("127.0.0.4"), 1053);
        QCOMPARE(probe(), QStringLiteral("127.0.0.4:1053"));
        NetworkTool::setLocalIpProbe(QHostAddress());
        qputenv("TOLVANE_LOCAL_IP_PROBE", saved);
    }

    void wake()
    {
        const QByteArray packet =
            QByteArray(6, '\xff') + QByteArray::fromHex("0123456789ab").repeated(16);
        for (const char *mac : {"01:23:45:67:89:ab", "01-23-45-67-89-AB", "0123456789AB"})
            QCOMPARE(NetworkTool::magicPacket(mac), packet);
        for (const char *mac : {"01:23:45:67:89", "01:23:45:67:89:zz"})
            QVERIFY(!NetworkTool::wake(mac, QHostAddress::LocalHost, 9));
        QUdpSocket receiver;
        QVERIFY(receiver.bind(QHostAddress::LocalHost));
        QVERIFY(
            NetworkTool::wake("01:23:45:67:89:ab", QHostAddress::LocalHost, receiver.localPort()));
        QVERIFY(receiver.waitForReadyRead(10000));
        QCOMPARE(receiver.receiveDatagram().data(), packet);
    }

    void awakeAndroidPostsTheMessage()
    {
        HttpStubServer push;
        QVERIFY(push.listenHttp());
        NetworkTool::setPushServiceUrl(push.url(QString()));
        NetworkTool::awakeAndroid("SERVICE-KEY", "device-42");
        QTRY_COMPARE_WITH_TIMEOUT(push.requests().size(), 1, 20000);
        const HttpStubServer::Request request = push.requests().first();
        QCOMPARE(request.method + ' ' + request.target, QByteArray("POST /gcm/send"));
        QCOMPARE(request.header("Content-Type"), QByteArray("application/json"));
        QCOMPARE(request.header("Authorization"), QByteArray("key=SERVICE-KEY"));
        QCOMPARE(request.body, QByteArray("{\"registration_ids\":[\"device-42\"]}"));
        QTRY_COMPARE_WITH_TIMEOUT(push.openConnections(), 0, 20000); // it cleans up after itself
    }

    void samePrivateNetworkSpace()
    {
        const char *pairs[][3] = {{"10.1.2.3", "10.200.0.1", "same"},
                                  {"172.16.0.1", "172.31.255.254", "same"},
                                  {"192.168.0.1", "192.168.99.1", "same"},
                                  {"172.16.0.1", "172.32.0.1"},
                                  {"10.0.0.1", "192.168.0.1"},
                                  {"192.168.1.1", "192.169.1.1"},
                                  {"fd00::1", "fd00::2"},
                                  {"x", "y"},
                                  {nullptr, "10.0.0.1"}};
        for (const auto &pair : pairs) {
            QCOMPARE(NetworkTool::isSamePrivateNetworkSpace(pair[0], pair[1]), pair[2] != nullptr);
            QCOMPARE(NetworkTool::isSamePrivateNetworkSpace(pair[1], pair[0]), pair[2] != nullptr);
        }
    }
};

TOLVANE_TEST_MAIN(TestNetworkTool)
#include "tst_networktool.moc"
