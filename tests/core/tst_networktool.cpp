#include "core/networktool.h"
#include "log/logger.h"
#include "support/httpstubserver.h"
#include "support/messagerecorder.h"
#include "support/testmain.h"

#include <QProcess>
#include <QScopeGuard>
#include <QTcpServer>

#include <cstring>
#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

using TestSupport::HttpStubServer;
using Response = HttpStubServer::Response;

namespace {
bool ip(const QStringList &arguments)
{
    return QProcess::execute(QStringLiteral("ip"), arguments) == 0;
}

// The calling thread in a network namespace of its own while this lives: the interfaces a test
// makes there are seen by no other test running beside it, and go when it ends.
struct PrivateNetwork
{
    const int original = ::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    const bool entered = original >= 0 && ::unshare(CLONE_NEWNET) == 0;
    const QString error = entered ? QString() : QString::fromLocal8Bit(strerror(errno));

    PrivateNetwork() = default;
    ~PrivateNetwork()
    {
        if (entered && ::setns(original, CLONE_NEWNET) != 0)
            qFatal("cannot return to the test's network namespace: %s", strerror(errno));
        if (original >= 0)
            ::close(original);
    }
    Q_DISABLE_COPY(PrivateNetwork)
};
} // namespace

// "name mac up|down address,address;..." as the filter's input ("-" for an empty MAC).
static QList<NetworkTool::InterfaceEntry> entries(const QString &text)
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

class TestNetworkTool : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void localAddresses()
    {
        const QList<NetworkTool::InterfaceEntry> all =
            entries("lo 00:00:00:00:00:00 up 127.0.0.1,::1;tun0 - up 10.8.0.2;"
                    "eth2 AA:BB:CC:DD:EE:02 up fe80::1;eth1 AA:BB:CC:DD:EE:01 down 10.0.0.6;"
                    "wlan0 AA:BB:CC:DD:EE:03 up 192.168.1.4;eth0 02:FC:00:00:00:01 up "
                    "10.0.0.5,10.0.0.7,fd00::5");
        const NetworkTool::InterfaceMap running = NetworkTool::interfacesInfoFrom(all, false);
        const QString text = NetworkTool::interfacesInfoStringFrom(running);
        QCOMPARE(text, QStringLiteral("1) NAME:eth0 IP:10.0.0.7 MAC:02:FC:00:00:00:01;\t"
                                      "2) NAME:wlan0 IP:192.168.1.4 MAC:AA:BB:CC:DD:EE:03;\t"));
        QCOMPARE(NetworkTool::getInterfacesInfoFromString(text), running);
        QCOMPARE(NetworkTool::interfaceInfoByIpFrom(running, "192.168.1.4"), running.last());
        QCOMPARE(NetworkTool::interfaceInfoByIpFrom(running, "10.9.9.9"), NetworkInterfaceInfo());
        QCOMPARE(NetworkTool::rememberProbedAddress(QHostAddress::LocalHost), QString());
        QVERIFY(NetworkTool::isSamePrivateNetworkSpace("172.16.0.1", "172.31.255.254"));
    }

    void externalAddressIsRemembered()
    {
        // The lookup remembers its last answer for the whole process: the steps run in order.
        Log::Logger("BlockingHTTPTool").setLevel(Log::TRACE);
        TestSupport::MessageRecorder recorder;
        HttpStubServer echo;
        QVERIFY(echo.listenHttp());
        NetworkTool::setExternalIpUrl(echo.url("/ip"));
        // An answer that stalls or is cut after "198.51.100.1" of its address is no answer.
        const auto partial = [](bool closeAfter) {
            Response response = Response::ok("198.51.100.123");
            response.bodySent = 12;
            response.closeAfter = closeAfter;
            return response;
        };
        // The gzip of another address cut after 24 of its 34 bytes, sent with that length.
        Response gzipCut = Response::gzipOk("198.51.100.123");
        gzipCut.body.truncate(24);
        const std::tuple<Response, const char *, int> steps[] = {
            {Response::ok(""), "", 15000},
            {Response::ok("<p>Current IP Address: 203.0.113.7</p>"), "203.0.113.7", 15000},
            {Response::ok(""), "203.0.113.7", 3000},
            {partial(false), "203.0.113.7", 3000},
            {partial(true), "203.0.113.7", 3000},
            {Response::gzipBrokenAfter("198.51.100.1"), "203.0.113.7", 3000},
            {gzipCut, "203.0.113.7", 3000},
            {Response::ok("rate limited"), "", 3000}};
        for (const auto &[answer, address, timeout] : steps) {
            echo.enqueue(answer);
            QCOMPARE(NetworkTool::getExternalIPAddress(), QString(address));
            // The time-out of the request, from the request's entry line.
            const QString entry = recorder.matching({"BlockingHTTPTool::sget("}).last();
            QCOMPARE(entry.section(' ', -1).toInt(), timeout);
        }
    }

    // The veth ends tst0 and tst1, each with its address if one is given, are this computer's
    // interfaces; the test connection goes to a listener at the probe address, whose local end
    // is the address of the interface that holds it.
    void localAddress_data()
    {
        QTest::addColumn<QStringList>("addresses");
        QTest::addColumn<QString>("probe");
        QTest::addColumn<QString>("expected");
        QTest::newRow("one interface") << QStringList{"127.77.0.1", ""} << "127.0.0.1"
                                       << "127.77.0.1";
        QTest::newRow("several: probes") << QStringList{"127.77.0.1", "127.77.0.2"} << "127.77.0.2"
                                         << "127.77.0.2";
        QTest::newRow("none") << QStringList{"", ""} << "127.0.0.1"
                              << "";
    }
    void localAddress()
    {
        QFETCH(QStringList, addresses);
        QFETCH(QString, probe);
        QFETCH(QString, expected);
        if (::geteuid() != 0)
            QSKIP("making network interfaces needs root");
        const PrivateNetwork network;
        if (!network.entered)
            QSKIP(qPrintable("no network namespace of the test's own: " + network.error));
        if (!ip({"link", "set", "lo", "up"}) ||
            !ip({"link", "add", "tst0", "type", "veth", "peer", "name", "tst1"}))
            QSKIP("cannot make a veth pair with ip(8)");
        const auto remove = qScopeGuard([] { ip({"link", "del", "tst0"}); }); // tst1 goes with it
        for (int i = 0; i < addresses.size(); ++i) {
            const QString name = QStringLiteral("tst%1").arg(i);
            if (!addresses[i].isEmpty())
                QVERIFY(ip({"addr", "add", addresses[i] + "/32", "dev", name}));
            QVERIFY(ip({"link", "set", name, "up"}));
        }
        // Both ends running, so each one with an IPv4 address qualifies.
        QTRY_COMPARE_WITH_TIMEOUT(NetworkTool::getInterfacesInfo(false).size(),
                                  addresses.size() - addresses.count(""), 20000);
        QTcpServer listener;
        QVERIFY(listener.listen(QHostAddress(probe)));
        NetworkTool::setLocalIpProbe(listener.serverAddress(), listener.serverPort());
        const auto restore = qScopeGuard([] { NetworkTool::setLocalIpProbe(QHostAddress()); });
        TestSupport::MessageRecorder recorder;
        QCOMPARE(NetworkTool::getLocalIPAddress(), expected);
        QCOMPARE(recorder.count({"Cannot find local ip. Found ip ="}), expected.isEmpty() ? 1 : 0);
    }

    void wakeAndPush()
    {
        const QByteArray packet =
            QByteArray(6, '\xff') + QByteArray::fromHex("0123456789ab").repeated(16);
        for (const char *mac : {"01:23:45:67:89:ab", "01-23-45-67-89-AB", "0123456789AB"})
            QCOMPARE(NetworkTool::magicPacket(mac), packet);
        QVERIFY(NetworkTool::magicPacket("01:23:45:67:89").isEmpty());
        QVERIFY(!NetworkTool::wake("01:23:45:67:89:zz", QHostAddress::LocalHost, 9));
        QUdpSocket udp;
        QVERIFY(udp.bind(QHostAddress::LocalHost));
        QVERIFY(NetworkTool::wake("01:23:45:67:89:ab", QHostAddress::LocalHost, udp.localPort()));
        QVERIFY(udp.waitForReadyRead(10000));
        QCOMPARE(udp.receiveDatagram().data(), packet);

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
};

TOLVANE_TEST_MAIN(TestNetworkTool)
#include "tst_networktool.moc"
