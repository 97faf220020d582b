#include "relay/v2/connectionmanager.h"
#include "relay/v2/handler.h"
#include "relay/v2/sessionmanager.h"
#include "support/phonestandin.h"
#include "support/rawpeer.h"
#include "support/relayserverstandin.h"
#include "support/testcertificate.h"
#include "support/testmain.h"
#include "support/wiremonitor.h"

#include <QCryptographicHash>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QSslSocket>
#include <QtTest>
#include <memory>

using Relay::ConnectionManager;
using TestSupport::PhoneStandIn;
using TestSupport::RawPeer;
using TestSupport::RelayServerStandIn;
using TestSupport::WireMonitor;

namespace {
const QHostAddress kRelayAddress(QStringLiteral("127.0.0.2"));
const QHostAddress kClientMonitorAddress(QStringLiteral("127.0.0.3"));
const QHostAddress kOtherRelayAddress(QStringLiteral("127.0.0.4"));
const QHostAddress kPhoneMonitorAddress(QStringLiteral("127.0.0.5"));
const QHostAddress kNothingAddress(QStringLiteral("127.0.0.6"));

QByteArray randomBytes(int size, quint32 seed)
{
    QRandomGenerator generator(seed);
    QByteArray bytes(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        bytes[i] = char(generator.generate() & 0xff);
    return bytes;
}

QByteArray sha256(const QByteArray &bytes)
{
    return QCryptographicHash::hash(bytes, QCryptographicHash::Sha256);
}

// A local mail client: TLS through the forward to a phone service, sending a payload and
// collecting whatever comes back.
class TlsClient : public QObject
{
public:
    explicit TlsClient(QObject *parent = nullptr) : QObject(parent)
    {
        m_socket.setPeerVerifyMode(QSslSocket::VerifyNone);
        connect(&m_socket, &QSslSocket::encrypted, this, [this] {
            if (!m_payload.isEmpty())
                m_socket.write(m_payload);
        });
        connect(&m_socket, &QSslSocket::readyRead, this,
                [this] { m_received += m_socket.readAll(); });
        connect(&m_socket, &QSslSocket::disconnected, this, [this] { m_disconnected = true; });
    }

    void start(quint16 port, const QByteArray &payload)
    {
        m_payload = payload;
        m_socket.connectToHostEncrypted(QStringLiteral("127.0.0.1"), port);
    }

    QSslSocket &socket() { return m_socket; }
    QByteArray received() const { return m_received; }
    bool isEncrypted() const { return m_socket.isEncrypted(); }
    bool disconnected() const { return m_disconnected; }

private:
    QSslSocket m_socket;
    QByteArray m_payload;
    QByteArray m_received;
    bool m_disconnected = false;
};

} // namespace

class TestConnectionManager : public QObject
{
    Q_OBJECT

private:
    // client -> forward -> manager -> monitor -> relay server <- monitor <- phone -> services
    struct Road {
        std::unique_ptr<RelayServerStandIn> relay;
        std::unique_ptr<WireMonitor> clientMonitor;
        std::unique_ptr<WireMonitor> phoneMonitor;
        std::unique_ptr<PhoneStandIn> phone;
        std::unique_ptr<ConnectionManager> manager;
        quint64 sessionId = 0;
    };

    static std::unique_ptr<Road> buildRoad()
    {
        auto road = std::make_unique<Road>();
        road->relay = std::make_unique<RelayServerStandIn>();
        if (!road->relay->listen(kRelayAddress))
            return nullptr;
        road->clientMonitor =
            std::make_unique<WireMonitor>(kRelayAddress, road->relay->port());
        road->phoneMonitor = std::make_unique<WireMonitor>(kRelayAddress, road->relay->port());
        if (!road->clientMonitor->listen(kClientMonitorAddress) ||
            !road->phoneMonitor->listen(kPhoneMonitorAddress))
            return nullptr;
        road->phone = std::make_unique<PhoneStandIn>();
        if (!road->phone->start())
            return nullptr;
        road->phone->connectToRelay(kPhoneMonitorAddress, road->phoneMonitor->port());
        road->sessionId = road->phone->waitForSession();
        if (road->sessionId == 0)
            return nullptr;
        road->manager = std::make_unique<ConnectionManager>();
        QSignalSpy connected(road->manager.get(), &ConnectionManager::connected);
        road->manager->connectToRelay(kClientMonitorAddress, road->clientMonitor->port());
        if (!connected.wait(10000))
            return nullptr;
        return road;
    }

    static void checkWire(const Road &road)
    {
        for (const WireMonitor *monitor : {road.clientMonitor.get(), road.phoneMonitor.get()}) {
            QVERIFY2(monitor->violations().isEmpty(),
                     qPrintable(monitor->violations().join(QLatin1Char('\n'))));
        }
    }

    // A relay V2 peer on a raw socket that shakes hands as a relay server would.
    static std::unique_ptr<RawPeer> handshakingRawRelay()
    {
        auto peer = std::make_unique<RawPeer>();
        if (!peer->listen(kRelayAddress))
            return nullptr;
        connect(peer.get(), &RawPeer::commandReceived, peer.get(), [raw = peer.get()] {
            if (raw->commands().last().name == "HELLO")
                raw->writeLine("OK");
        });
        return peer;
    }

private Q_SLOTS:
    void cleanup() { QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete); }

    void endToEnd_data()
    {
        QTest::addColumn<QByteArray>("serviceId");
        QTest::addColumn<int>("connections");
        QTest::addColumn<int>("bytes");
        QTest::newRow("POP3 echo, one connection, 3 MiB") << Relay::kServicePOP3 << 1 << (3 << 20);
        QTest::newRow("POP3 echo, 50 connections at once")
            << Relay::kServicePOP3 << 50 << 100000;
        QTest::newRow("SMTP sink, 4 connections") << Relay::kServiceSMTP << 4 << 300000;
        QTest::newRow("PMTP echo, small") << Relay::kServicePMTP << 2 << 10;
    }

    void endToEnd()
    {
        QFETCH(QByteArray, serviceId);
        QFETCH(int, connections);
        QFETCH(int, bytes);
        auto road = buildRoad();
        QVERIFY(road);
        const quint16 port = road->manager->addForward(road->sessionId, serviceId);
        QVERIFY(port != 0);
        TestSupport::TlsTestService *service = serviceId == Relay::kServicePOP3
                                                   ? road->phone->pop3()
                                                   : serviceId == Relay::kServiceSMTP
                                                         ? road->phone->smtp()
                                                         : road->phone->pmtp();
        const bool echo = serviceId != Relay::kServiceSMTP;

        QObject owner;
        QList<TlsClient *> clients;
        QList<QByteArray> payloads;
        for (int i = 0; i < connections; ++i) {
            payloads.append(randomBytes(bytes, quint32(i + 1)));
            clients.append(new TlsClient(&owner));
            clients.last()->start(port, payloads.last());
        }
        if (echo) {
            for (int i = 0; i < connections; ++i) {
                QTRY_COMPARE_WITH_TIMEOUT(clients.at(i)->received().size(), bytes, 60000);
                QCOMPARE(sha256(clients.at(i)->received()), sha256(payloads.at(i)));
            }
        } else {
            QTRY_COMPARE_WITH_TIMEOUT(service->acceptedConnections(), connections, 30000);
            // A sink answers nothing: the clients close once everything has arrived.
            QTRY_COMPARE_WITH_TIMEOUT(service->openBytes(), qint64(connections) * bytes, 60000);
        }
        for (TlsClient *client : qAsConst(clients)) {
            QCOMPARE(client->socket().peerCertificate(),
                     TestSupport::TestCertificate::certificate());
            client->socket().disconnectFromHost();
        }
        QTRY_COMPARE_WITH_TIMEOUT(service->finished().size(), connections, 60000);
        QList<QByteArray> expected;
        for (const QByteArray &payload : qAsConst(payloads))
            expected.append(sha256(payload));
        QList<QByteArray> seen;
        for (const auto &finished : service->finished()) {
            QCOMPARE(finished.bytes, qint64(bytes));
            seen.append(finished.sha256);
        }
        std::sort(expected.begin(), expected.end());
        std::sort(seen.begin(), seen.end());
        QCOMPARE(seen, expected);

        // Every carried connection ends on both handlers.
        auto *handler = qobject_cast<Relay::V2::Handler *>(road->manager->connection());
        QVERIFY(handler);
        QTRY_COMPARE_WITH_TIMEOUT(handler->carriedConnectionCount(), 0, 30000);
        QCOMPARE(handler->openRequestCount(), 0);
        QVERIFY(road->clientMonitor->dataCommands() >= qint64(connections) * 2);
        checkWire(*road);
        QVERIFY(road->manager->isConnected());
    }

    void relayLostClosesEveryLocalConnection()
    {
        auto road = buildRoad();
        QVERIFY(road);
        QSignalSpy disconnected(road->manager.get(), &ConnectionManager::disconnected);
        QSignalSpy failed(road->manager.get(), &ConnectionManager::failed);
        const quint16 port = road->manager->addForward(road->sessionId, Relay::kServicePOP3);
        QVERIFY(port != 0);
        QObject owner;
        QList<TlsClient *> clients;
        for (int i = 0; i < 5; ++i) {
            clients.append(new TlsClient(&owner));
            clients.last()->start(port, "ping");
        }
        for (TlsClient *client : qAsConst(clients))
            QTRY_COMPARE_WITH_TIMEOUT(client->received(), QByteArray("ping"), 30000);

        road->relay->dropAll();
        for (TlsClient *client : qAsConst(clients))
            QTRY_VERIFY_WITH_TIMEOUT(client->disconnected(), 30000);
        QTRY_COMPARE_WITH_TIMEOUT(disconnected.count(), 1, 30000);
        QCOMPARE(failed.count(), 0);
        QVERIFY(!road->manager->isConnected());
        QCOMPARE(road->manager->forwardCount(), 0);
        // The listener is gone with the link.
        QTcpSocket probe;
        probe.connectToHost(QHostAddress::LocalHost, port);
        QVERIFY(!probe.waitForConnected(10000));
        QCoreApplication::processEvents();
        QCOMPARE(disconnected.count(), 1);
        checkWire(*road);
    }

    void reconnectToAnotherEndpointInOneCallChain_data()
    {
        QTest::addColumn<bool>("disconnectFirst");
        QTest::newRow("disconnect, then connect") << true;
        QTest::newRow("connect while connected") << false;
    }

    void reconnectToAnotherEndpointInOneCallChain()
    {
        QFETCH(bool, disconnectFirst);
        auto road = buildRoad();
        QVERIFY(road);
        RelayServerStandIn other;
        QVERIFY(other.listen(kOtherRelayAddress));
        QSignalSpy connected(road->manager.get(), &ConnectionManager::connected);
        QSignalSpy disconnected(road->manager.get(), &ConnectionManager::disconnected);
        QSignalSpy failed(road->manager.get(), &ConnectionManager::failed);
        QCOMPARE(road->relay->linkCount(), 2); // the phone's and ours

        if (disconnectFirst)
            road->manager->disconnectFromRelay();
        road->manager->connectToRelay(kOtherRelayAddress, other.port());
        QCOMPARE(disconnected.count(), 1);
        QVERIFY(connected.wait(10000));
        QCOMPARE(other.linkCount(), 1);
        QTRY_COMPARE_WITH_TIMEOUT(road->relay->linkCount(), 1, 10000);
        QCOMPARE(failed.count(), 0);
        QVERIFY(road->manager->isConnected());
        checkWire(*road);
    }

    void watchReportsClosedSession()
    {
        auto road = buildRoad();
        QVERIFY(road);
        QSignalSpy sessionClosed(road->manager.get(), &ConnectionManager::sessionClosed);
        road->manager->watch(road->sessionId);
        road->manager->watch(999);
        QTRY_COMPARE_WITH_TIMEOUT(sessionClosed.count(), 1, 10000);
        QCOMPARE(sessionClosed.at(0).at(0).toULongLong(), 999ULL);
        road->phone->sessionManager()->close();
        QTRY_COMPARE_WITH_TIMEOUT(sessionClosed.count(), 2, 10000);
        QCOMPARE(sessionClosed.at(1).at(0).toULongLong(), road->sessionId);
        QVERIFY(road->manager->isConnected());
        checkWire(*road);
    }

    void watchWhileDisconnectedDoesNothing()
    {
        ConnectionManager manager;
        QSignalSpy sessionClosed(&manager, &ConnectionManager::sessionClosed);
        manager.watch(5);
        QVERIFY(!manager.isConnected());
        QCOMPARE(sessionClosed.count(), 0);
    }

    void forwardsArePerEndPoint()
    {
        auto road = buildRoad();
        QVERIFY(road);
        const quint16 pop3 = road->manager->addForward(road->sessionId, Relay::kServicePOP3);
        const quint16 again = road->manager->addForward(road->sessionId, Relay::kServicePOP3);
        const quint16 smtp = road->manager->addForward(road->sessionId, Relay::kServiceSMTP);
        const quint16 otherSession = road->manager->addForward(road->sessionId + 1,
                                                               Relay::kServicePOP3);
        QVERIFY(pop3 != 0 && smtp != 0 && otherSession != 0);
        QCOMPARE(again, pop3);
        QVERIFY(smtp != pop3);
        QVERIFY(otherSession != pop3 && otherSession != smtp);
        QCOMPARE(road->manager->forwardCount(), 3);

        // A connection into a session nobody owns is refused: the local client sees a close.
        TlsClient lost;
        lost.start(otherSession, "x");
        QTRY_VERIFY_WITH_TIMEOUT(lost.disconnected(), 30000);
        QVERIFY(!lost.isEncrypted());

        QSignalSpy disconnected(road->manager.get(), &ConnectionManager::disconnected);
        road->manager->disconnectFromRelay();
        QCOMPARE(disconnected.count(), 1); // before the call returns
        QCOMPARE(road->manager->forwardCount(), 0);
        QTcpSocket probe;
        probe.connectToHost(QHostAddress::LocalHost, pop3);
        QVERIFY(!probe.waitForConnected(10000));

        QSignalSpy connected(road->manager.get(), &ConnectionManager::connected);
        road->manager->connectToRelay(kClientMonitorAddress, road->clientMonitor->port());
        QVERIFY(connected.wait(10000));
        const quint16 renewed = road->manager->addForward(road->sessionId, Relay::kServicePOP3);
        QVERIFY(renewed != 0);
        TlsClient client;
        client.start(renewed, "after reconnect");
        QTRY_COMPARE_WITH_TIMEOUT(client.received(), QByteArray("after reconnect"), 30000);
        checkWire(*road);
    }

    void refusedConnectionFailsOnce()
    {
        // A port that nothing listens on.
        QTcpServer server;
        QVERIFY(server.listen(kNothingAddress));
        const quint16 port = server.serverPort();
        server.close();
        ConnectionManager manager;
        QSignalSpy failed(&manager, &ConnectionManager::failed);
        QSignalSpy connected(&manager, &ConnectionManager::connected);
        QSignalSpy disconnected(&manager, &ConnectionManager::disconnected);
        manager.connectToRelay(kNothingAddress, port);
        QVERIFY(failed.wait(10000));
        QCoreApplication::processEvents();
        QCOMPARE(failed.count(), 1);
        QCOMPARE(connected.count(), 0);
        QCOMPARE(disconnected.count(), 0);
        QVERIFY(!manager.isConnected());
        QVERIFY(!manager.connection());
    }

    void attemptThatNeverShakesHandsFails()
    {
        RawPeer silent;
        QVERIFY(silent.listen(kRelayAddress));
        ConnectionManager manager;
        manager.setHandshakeTimeout(200);
        QSignalSpy failed(&manager, &ConnectionManager::failed);
        QSignalSpy disconnected(&manager, &ConnectionManager::disconnected);
        manager.connectToRelay(kRelayAddress, silent.port());
        QVERIFY(silent.waitFor("HELLO") == 0);
        QVERIFY(failed.wait(10000));
        QVERIFY(silent.waitForPeerClose());
        QCOMPARE(failed.count(), 1);
        QCOMPARE(disconnected.count(), 0);
        QVERIFY(!manager.connection());
    }

    void closeBeforeHandshakeIsFailure_data()
    {
        QTest::addColumn<QByteArray>("answer");
        QTest::newRow("unsupported version") << QByteArray("HELLO: 3\n");
        QTest::newRow("command before handshake") << QByteArray("KEEP\n");
        QTest::newRow("parse error") << QByteArray("HELP\n");
        QTest::newRow("QUIT") << QByteArray("QUIT\n");
    }

    void closeBeforeHandshakeIsFailure()
    {
        QFETCH(QByteArray, answer);
        RawPeer peer;
        QVERIFY(peer.listen(kRelayAddress));
        connect(&peer, &RawPeer::commandReceived, &peer, [&] {
            if (peer.commands().last().name == "HELLO")
                peer.write(answer);
        });
        ConnectionManager manager;
        QSignalSpy failed(&manager, &ConnectionManager::failed);
        QSignalSpy connected(&manager, &ConnectionManager::connected);
        QSignalSpy disconnected(&manager, &ConnectionManager::disconnected);
        manager.connectToRelay(kRelayAddress, peer.port());
        QVERIFY(failed.wait(10000));
        QVERIFY(peer.waitForPeerClose());
        QCOMPARE(failed.count(), 1);
        QCOMPARE(connected.count(), 0);
        QCOMPARE(disconnected.count(), 0);
        QCOMPARE(peer.indexOf("QUIT"), -1);
    }

    void peerDropDuringHandshakeFails()
    {
        RawPeer peer;
        QVERIFY(peer.listen(kRelayAddress));
        connect(&peer, &RawPeer::commandReceived, &peer, [&] { peer.drop(); });
        ConnectionManager manager;
        QSignalSpy failed(&manager, &ConnectionManager::failed);
        QSignalSpy disconnected(&manager, &ConnectionManager::disconnected);
        manager.connectToRelay(kRelayAddress, peer.port());
        QVERIFY(failed.wait(10000));
        QCoreApplication::processEvents();
        QCOMPARE(failed.count(), 1);
        QCOMPARE(disconnected.count(), 0);
    }

    void readyOnlyAfterHelloExchange()
    {
        RawPeer peer;
        QVERIFY(peer.listen(kRelayAddress));
        ConnectionManager manager;
        bool readyAtSignal = false;
        connect(&manager, &ConnectionManager::connected, this,
                [&] { readyAtSignal = manager.isConnected(); });
        QSignalSpy connected(&manager, &ConnectionManager::connected);
        manager.connectToRelay(kRelayAddress, peer.port());
        QVERIFY(peer.waitFor("HELLO") == 0);
        QVERIFY(!manager.isConnected());
        peer.writeLine("OK");
        QVERIFY(connected.wait(10000));
        QVERIFY(readyAtSignal);
        QVERIFY(manager.isConnected());
    }

    void disconnectWhileAttemptingIsQuiet()
    {
        RawPeer peer;
        QVERIFY(peer.listen(kRelayAddress));
        ConnectionManager manager;
        QSignalSpy failed(&manager, &ConnectionManager::failed);
        QSignalSpy disconnected(&manager, &ConnectionManager::disconnected);
        manager.connectToRelay(kRelayAddress, peer.port());
        QVERIFY(peer.waitFor("HELLO") == 0);
        manager.disconnectFromRelay();
        QVERIFY(peer.waitForPeerClose());
        peer.writeLine("OK");
        QCoreApplication::processEvents();
        QCOMPARE(failed.count(), 0);
        QCOMPARE(disconnected.count(), 0);
        QVERIFY(!manager.isConnected());
    }

    void connectDuringAttemptKeepsOnlyTheNewHandler()
    {
        RawPeer stalled;
        QVERIFY(stalled.listen(kRelayAddress));
        RelayServerStandIn other;
        QVERIFY(other.listen(kOtherRelayAddress));
        ConnectionManager manager;
        QSignalSpy failed(&manager, &ConnectionManager::failed);
        QSignalSpy connected(&manager, &ConnectionManager::connected);
        manager.connectToRelay(kRelayAddress, stalled.port());
        QVERIFY(stalled.waitFor("HELLO") == 0);
        QPointer<Relay::Connection> first = manager.connection();
        QVERIFY(first);
        manager.connectToRelay(kOtherRelayAddress, other.port());
        QVERIFY(manager.connection() != first.data());
        QVERIFY(connected.wait(10000));
        QVERIFY(stalled.waitForPeerClose());
        // A late answer on the old link changes nothing.
        stalled.writeLine("OK");
        QTRY_VERIFY_WITH_TIMEOUT(first.isNull(), 10000);
        QCOMPARE(connected.count(), 1);
        QCOMPARE(failed.count(), 0);
        QCOMPARE(other.linkCount(), 1);
    }

    void failAnsweringConnectToClosesTheLocalClient()
    {
        auto relay = handshakingRawRelay();
        QVERIFY(relay);
        ConnectionManager manager;
        QSignalSpy connected(&manager, &ConnectionManager::connected);
        manager.connectToRelay(kRelayAddress, relay->port());
        QVERIFY(connected.wait(10000));
        const quint16 port = manager.addForward(9, Relay::kServicePOP3);
        QTcpSocket client;
        client.connectToHost(QHostAddress::LocalHost, port);
        QVERIFY(client.waitForConnected(10000));
        const int index = relay->waitFor("CONNECT_TO");
        QVERIFY(index >= 0);
        const auto request = relay->commands().at(index);
        QCOMPARE(request.args.mid(0, 2), QByteArrayList({"9", "POP3"}));
        relay->writeFail("Session not found", request.number(2));
        QTRY_COMPARE_WITH_TIMEOUT(client.state(), QAbstractSocket::UnconnectedState, 10000);
        auto *handler = qobject_cast<Relay::V2::Handler *>(manager.connection());
        QVERIFY(handler);
        QCOMPARE(handler->openRequestCount(), 0);
        QVERIFY(manager.isConnected());
    }

    void localCloseBeforeConnectedIsAnswered()
    {
        auto relay = handshakingRawRelay();
        QVERIFY(relay);
        ConnectionManager manager;
        QSignalSpy connected(&manager, &ConnectionManager::connected);
        manager.connectToRelay(kRelayAddress, relay->port());
        QVERIFY(connected.wait(10000));
        const quint16 port = manager.addForward(9, Relay::kServicePOP3);
        auto *handler = qobject_cast<Relay::V2::Handler *>(manager.connection());
        QVERIFY(handler);
        {
            QTcpSocket client;
            client.connectToHost(QHostAddress::LocalHost, port);
            QVERIFY(client.waitForConnected(10000));
            QVERIFY(relay->waitFor("CONNECT_TO") >= 0);
        }
        // The local client is gone; the request stays until the relay answers it.
        QTRY_COMPARE_WITH_TIMEOUT(handler->liveRequestCount(), 0, 10000);
        QCOMPARE(handler->openRequestCount(), 1);
        const auto request = relay->commands().at(relay->indexOf("CONNECT_TO"));
        const int from = relay->count();
        relay->writeLine("CONNECTED: 21 POP3 " + request.args.value(2));
        QVERIFY2(relay->waitFor("DISCONNECTED", from) == from, relay->received().constData());
        QCOMPARE(relay->commands().at(from).args, QByteArrayList({"21"}));
        QCOMPARE(handler->openRequestCount(), 0);
        QCOMPARE(handler->carriedConnectionCount(), 0);
        QCOMPARE(relay->indexOf("DATA"), -1);
    }

    void peerQuitDisconnects()
    {
        auto relay = handshakingRawRelay();
        QVERIFY(relay);
        ConnectionManager manager;
        QSignalSpy connected(&manager, &ConnectionManager::connected);
        QSignalSpy disconnected(&manager, &ConnectionManager::disconnected);
        manager.connectToRelay(kRelayAddress, relay->port());
        QVERIFY(connected.wait(10000));
        const quint16 port = manager.addForward(3, Relay::kServiceSMTP);
        relay->writeLine("QUIT");
        QVERIFY(disconnected.wait(10000));
        QCOMPARE(disconnected.count(), 1);
        QCOMPARE(manager.forwardCount(), 0);
        QVERIFY(relay->waitForPeerClose());
        QTcpSocket probe;
        probe.connectToHost(QHostAddress::LocalHost, port);
        QVERIFY(!probe.waitForConnected(10000));
    }
};

TOLVANE_TEST_MAIN(TestConnectionManager)
#include "tst_connectionmanager.moc"
