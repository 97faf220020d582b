#include "relay/channelsocketwrapper.h"
#include "relay/localsocket.h"
#include "relay/v2/connectionmanager.h"
#include "relay/v2/handler.h"
#include "relay/v2/protocolparser.h"
#include "support/logcapture.h"
#include "support/phonestandin.h"
#include "support/relayserverstandin.h"
#include "support/testbytes.h"
#include "support/testmain.h"
#include "support/wiremonitor.h"

#include <QPointer>
#include <QSignalSpy>
#include <QSslSocket>
#include <QtTest>

using Relay::ConnectionManager;
using Relay::V2::Command;
using Relay::V2::CommandType;
using TestSupport::TestBytes;

namespace {
const QHostAddress kRelay(QStringLiteral("127.0.0.2"));
const QHostAddress kTap(QStringLiteral("127.0.0.3"));
const QHostAddress kOtherRelay(QStringLiteral("127.0.0.4"));

// The program's relay road on loopback: a connection manager, through a wire monitor, on a relay
// server where a phone holds a session.
//   mail client -> forward -> manager -> tap -> relay server <- phone -> TLS services
struct Road
{
    TestSupport::RelayServerStandIn relay;
    TestSupport::PhoneStandIn phone;
    TestSupport::WireMonitor tap;
    ConnectionManager manager;
    quint64 session = 0;

    bool build()
    {
        if (!relay.listen(kRelay) || !phone.start() || !tap.listen(kTap, kRelay, relay.port()))
            return false;
        phone.connectToRelay(kRelay, relay.port());
        session = phone.waitForSession();
        QSignalSpy connected(&manager, &ConnectionManager::connected);
        manager.connectToRelay(kTap, tap.port());
        return session != 0 && connected.wait(10000);
    }
};

// A mail client speaking TLS through a forward port: it sends the payload once encrypted and
// appends what comes back to received.
QSslSocket *tlsClient(QObject *owner, quint16 port, const QByteArray &payload, QByteArray *received)
{
    auto *socket = new QSslSocket(owner);
    socket->setPeerVerifyMode(QSslSocket::VerifyNone);
    QObject::connect(socket, &QSslSocket::encrypted, socket, [=] { socket->write(payload); });
    QObject::connect(socket, &QSslSocket::readyRead, socket,
                     [=] { *received += socket->readAll(); });
    socket->connectToHostEncrypted(QStringLiteral("127.0.0.1"), port);
    return socket;
}
} // namespace

// The whole relay road through the managers, the router and the stand-ins, its client link
// tapped: bytes arrive whole, the wire keeps its rules, and failures are reported once.
class TestRelayRoad : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void cleanup() { QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete); }

    void endToEnd_data()
    {
        QTest::addColumn<int>("connections");
        QTest::addColumn<int>("bytes");
        QTest::newRow("one connection, 3 MiB") << 1 << (3 << 20);
        QTest::newRow("50 connections at once") << 50 << 100000;
    }

    void endToEnd() // TLS through the POP3 forward to the phone's echo service, and back
    {
        QFETCH(int, connections);
        QFETCH(int, bytes);
        Road road;
        QVERIFY(road.build());
        QCOMPARE(road.session, 2ULL); // the first session a relay hands out
        const quint16 port = road.manager.addForward(road.session, Relay::kServicePOP3);
        QVERIFY(port != 0 && road.manager.addForward(road.session, Relay::kServicePOP3) == port);
        QObject owner;
        QVector<QByteArray> payloads(connections), received(connections);
        QSet<QByteArray> sent, arrived;
        for (int i = 0; i < connections; ++i) {
            payloads[i] = TestBytes::make(bytes, quint32(i + 1));
            sent << TestBytes::sha256(payloads.at(i));
            tlsClient(&owner, port, payloads.at(i), &received[i]);
        }
        for (int i = 0; i < connections; ++i)
            QTRY_COMPARE_WITH_TIMEOUT(received.at(i), payloads.at(i), 60000);
        for (QSslSocket *client : owner.findChildren<QSslSocket *>())
            client->disconnectFromHost();
        QTRY_COMPARE_WITH_TIMEOUT(road.phone.pop3()->finished().size(), connections, 60000);
        for (const auto &finished : road.phone.pop3()->finished())
            arrived << finished.sha256;
        QCOMPARE(arrived, sent);
        auto *handler = qobject_cast<Relay::V2::Handler *>(road.manager.connection());
        QTRY_COMPARE_WITH_TIMEOUT(handler->carriedConnectionCount(), 0, 30000);

        QTcpSocket stray; // into a session that does not exist
        stray.connectToHost(QHostAddress::LocalHost, road.manager.addForward(99, "POP3"));
        QTRY_COMPARE_WITH_TIMEOUT(stray.state(), QAbstractSocket::UnconnectedState, 10000);
        QSignalSpy sessionClosed(&road.manager, &ConnectionManager::sessionClosed);
        QSignalSpy phoneDown(road.phone.sessionManager(), &Relay::SessionManager::disconnected);
        road.manager.watch(road.session);
        road.phone.sessionManager()->close(); // the session goes: its watcher hears it
        QTRY_COMPARE_WITH_TIMEOUT(sessionClosed.count(), 1, 10000);
        QCOMPARE(sessionClosed.at(0).at(0).toULongLong(), road.session);
        QCOMPARE(phoneDown.count(), 1);
        QVERIFY2(road.tap.violations().isEmpty(), qPrintable(road.tap.violations().join('\n')));
    }

    void sentAndClosedAtOnce_data()
    {
        QTest::addColumn<bool>("upload"); // else the service on the phone's side sends and closes
        QTest::newRow("client road: the mail client") << true;
        QTest::newRow("serving side: the local service") << false;
    }

    // A local peer that sends and closes at once: every byte arrives at the far end, then the
    // close, and no ERROR goes over the link.
    void sentAndClosedAtOnce()
    {
        QFETCH(bool, upload);
        const QByteArray sent = TestBytes::make(200000, 24);
        Road road;
        QVERIFY(road.build());
        QTcpServer service; // a plain TCP service on the phone's side
        QVERIFY(service.listen(QHostAddress::LocalHost));
        road.phone.sessionManager()->addLocalForward("RAW", service.serverPort());
        road.phone.sessionManager()->addLocalForwardConnectionType("RAW", 4);
        QTcpSocket client;
        client.connectToHost(QHostAddress::LocalHost, road.manager.addForward(road.session, "RAW"));
        QTRY_VERIFY_WITH_TIMEOUT(service.hasPendingConnections(), 10000);
        QTcpSocket *served = service.nextPendingConnection();
        QTcpSocket *sender = upload ? &client : served, *receiver = upload ? served : &client;
        QByteArray received;
        connect(receiver, &QTcpSocket::readyRead, this, [&] { received += receiver->readAll(); });
        sender->write(sent);
        sender->disconnectFromHost();
        QTRY_COMPARE_WITH_TIMEOUT(receiver->state(), QAbstractSocket::UnconnectedState, 30000);
        received += receiver->readAll();
        QCOMPARE(received.size(), sent.size());
        QVERIFY(received == sent);
        QVERIFY2(road.tap.errors().isEmpty(), qPrintable(road.tap.errors().join('\n')));
        QVERIFY2(road.tap.violations().isEmpty(), qPrintable(road.tap.violations().join('\n')));
    }

    void leavingTheRelayEndsItsForwards_data()
    {
        QTest::addColumn<bool>("lost"); // else: connecting elsewhere in one call chain
        QTest::newRow("relay lost") << true;
        QTest::newRow("reconnecting to another endpoint") << false;
    }

    void leavingTheRelayEndsItsForwards()
    {
        QFETCH(bool, lost);
        Road road;
        QVERIFY(road.build());
        TestSupport::RelayServerStandIn other;
        QVERIFY(other.listen(kOtherRelay));
        QSignalSpy connected(&road.manager, &ConnectionManager::connected);
        QSignalSpy disconnected(&road.manager, &ConnectionManager::disconnected);
        const quint16 port = road.manager.addForward(road.session, Relay::kServicePOP3);
        QObject owner;
        QByteArray received;
        QSslSocket *client = tlsClient(&owner, port, "ping", &received);
        QTRY_COMPARE_WITH_TIMEOUT(received, QByteArray("ping"), 30000);
        if (lost)
            road.relay.dropNewest(); // the manager's link, the phone's being older
        else
            road.manager.connectToRelay(kOtherRelay, other.port());
        QTRY_COMPARE_WITH_TIMEOUT(client->state(), QAbstractSocket::UnconnectedState, 30000);
        QTRY_COMPARE_WITH_TIMEOUT(disconnected.count(), 1, 30000);
        QCOMPARE(road.manager.forwardCount(), 0);
        QTcpSocket probe; // the listener went with the link
        probe.connectToHost(QHostAddress::LocalHost, port);
        QVERIFY(!probe.waitForConnected(10000));
        QTRY_COMPARE_WITH_TIMEOUT(connected.count() + other.linkCount(), lost ? 0 : 2, 10000);
        QVERIFY2(road.tap.violations().isEmpty(), qPrintable(road.tap.violations().join('\n')));
    }

    void linkEndLeavesASlowClientItsBytes_data()
    {
        QTest::addColumn<QByteArray>("relayWrites"); // once the last block is on its way
        QTest::addColumn<bool>("tcpClose");          // then the relay closes the TCP connection
        QTest::addColumn<bool>("ownClose");          // the program leaves the relay itself
        QTest::newRow("QUIT") << QByteArray("QUIT\n") << false << false;
        QTest::newRow("DISCONNECT, then QUIT")
            << QByteArray("DISCONNECT: 1\nQUIT\n") << false << false;
        QTest::newRow("a TCP close") << QByteArray() << true << false;
        QTest::newRow("DISCONNECT, then a TCP close")
            << QByteArray("DISCONNECT: 1\n") << true << false;
        QTest::newRow("disconnectFromRelay()") << QByteArray() << false << true;
    }

    // The link ends while the program still holds bytes for a local client that reads slowly:
    // every byte it took from the link reaches the client, in order, before the close.
    void linkEndLeavesASlowClientItsBytes()
    {
        QFETCH(QByteArray, relayWrites);
        QFETCH(bool, tcpClose);
        QFETCH(bool, ownClose);
        constexpr int kBlock = Command::kMaxPayloadLength, kMaxBlocks = 16, kSmall = 4096;
        const QByteArray blocks = TestBytes::make(kMaxBlocks * kBlock, 23);
        int blocksSent = 0;
        bool holding = false, caughtUp = false; // the relay sends no more; the program read it all
        QTcpSocket *link = nullptr;             // the relay's end
        Relay::V2::ProtocolParser heard;
        const auto sendBlock = [&] {
            const QByteArray block = blocks.mid(kBlock * blocksSent++, kBlock);
            Command(CommandType::DATA, {Command::number(1), Command::number(kBlock), block})
                .serialize(link);
        };
        // A relay that grants the first connection asked for as id 1 and sends it blocks, each
        // once the one before was acknowledged.
        QTcpServer relay;
        QVERIFY(relay.listen(kRelay));
        connect(&relay, &QTcpServer::newConnection, this, [&] {
            link = relay.nextPendingConnection();
            link->write("HELLO: 2\n");
            connect(link, &QTcpSocket::readyRead, link, [&] {
                heard.feed(link->readAll());
                while (heard.hasCommands()) {
                    const Command command = heard.popCommand();
                    if (command.type() == CommandType::CONNECT_TO) {
                        link->write("CONNECTED: 1 POP3 " +
                                    QByteArray::number(command.arg<quint64>(2)) + '\n');
                        sendBlock();
                    } else if (command.type() == CommandType::TRANS && !holding &&
                               blocksSent < kMaxBlocks) {
                        sendBlock();
                    } else if (command.type() == CommandType::OK && holding) {
                        caughtUp = true; // the answer to the KEEP sent after the last block
                    }
                }
            });
        });
        ConnectionManager manager;
        QSignalSpy connected(&manager, &ConnectionManager::connected);
        QSignalSpy disconnected(&manager, &ConnectionManager::disconnected);
        manager.connectToRelay(kRelay, relay.serverPort());
        QVERIFY(connected.wait(10000));
        // A client that reads nothing yet; small buffers on the way to it.
        QTcpSocket client;
        client.setReadBufferSize(kSmall);
        client.connectToHost(QHostAddress::LocalHost, manager.addForward(2, Relay::kServicePOP3));
        QTRY_VERIFY_WITH_TIMEOUT(manager.findChild<Relay::ChannelSocketWrapper *>(), 10000);
        QTcpSocket *forwarded = manager.findChild<Relay::ChannelSocketWrapper *>()->socket();
        forwarded->setSocketOption(QAbstractSocket::SendBufferSizeSocketOption, kSmall);
        // The link ends once the client's side holds a block that the system has not taken.
        QTRY_VERIFY_WITH_TIMEOUT(forwarded->bytesToWrite() > 0, 10000);
        // Every block sent so far has been read by the program once it answers a KEEP sent after
        // them: then the program's own leaving drops nothing still on its way over the link.
        holding = true;
        link->write("KEEP\n");
        QTRY_VERIFY_WITH_TIMEOUT(caughtUp, 10000);
        link->write(relayWrites);
        if (tcpClose)
            link->disconnectFromHost();
        if (ownClose)
            manager.disconnectFromRelay();
        QTRY_COMPARE_WITH_TIMEOUT(disconnected.count(), 1, 10000);
        // Whatever the end of the link let go of goes now, before the client reads.
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QByteArray received;
        connect(&client, &QTcpSocket::readyRead, this, [&] { received += client.readAll(); });
        received += client.readAll();
        QTRY_COMPARE_WITH_TIMEOUT(client.state(), QAbstractSocket::UnconnectedState, 30000);
        received += client.readAll();
        QCOMPARE(received.size(), blocksSent * kBlock);
        QVERIFY(received == blocks.left(received.size()));
        // With its last connection ended, the stopped listener goes too.
        QTRY_VERIFY_WITH_TIMEOUT(manager.findChildren<Relay::LocalSocket *>().isEmpty(), 10000);
    }

    // A new attempt discards the one still in its handshake. The discarded handler lives on until
    // its deferred deletion, which waits for the event loop that asked for it: here the caller of
    // the new attempt runs a local event loop meanwhile. The new relay speaks first; its HELLO
    // must reach the new handler, not the discarded one.
    void discardedAttemptLeavesTheSocket()
    {
        QTcpServer silent, speaking;
        QVERIFY(silent.listen(kRelay) && speaking.listen(kOtherRelay));
        QByteArray heard; // by the silent relay
        connect(&silent, &QTcpServer::newConnection, this, [&] {
            QTcpSocket *peer = silent.nextPendingConnection();
            connect(peer, &QTcpSocket::readyRead, this, [&, peer] { heard += peer->readAll(); });
        });
        connect(&speaking, &QTcpServer::newConnection, this,
                [&] { speaking.nextPendingConnection()->write("HELLO: 2\n"); });
        ConnectionManager manager;
        QSignalSpy connected(&manager, &ConnectionManager::connected);
        QSignalSpy failed(&manager, &ConnectionManager::failed);
        manager.connectToRelay(kRelay, silent.serverPort());
        QTRY_COMPARE_WITH_TIMEOUT(heard, QByteArray("HELLO: 2\n"), 10000);
        QPointer<Relay::Connection> discarded = manager.connection();
        bool discardedLived = false;
        QTimer::singleShot(0, this, [&] {
            manager.connectToRelay(kOtherRelay, speaking.serverPort());
            QEventLoop local;
            connect(&manager, &ConnectionManager::connected, &local, &QEventLoop::quit);
            connect(&manager, &ConnectionManager::failed, &local, &QEventLoop::quit);
            QTimer::singleShot(10000, &local, &QEventLoop::quit);
            local.exec();
            discardedLived = !discarded.isNull();
        });
        QTRY_VERIFY_WITH_TIMEOUT(discarded.isNull(), 30000);
        QVERIFY(discardedLived); // so the bytes came while it was there
        QCOMPARE(connected.count(), 1);
        QCOMPARE(failed.count(), 0);
        QVERIFY(manager.isConnected());
    }

    void attemptsFailOnce_data()
    {
        QTest::addColumn<bool>("listening");
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<QString>("logLine"); // a line the failure logs, where it names one
        QTest::newRow("the relay never answers our HELLO") << true << QByteArray() << QString();
        QTest::newRow("the relay refuses it") << true << QByteArray("HELLO: 3\n") << QString();
        QTest::newRow("nobody listens")
            << false << QByteArray() << "Socket error: QAbstractSocket::ConnectionRefusedError";
    }

    void attemptsFailOnce()
    {
        QFETCH(bool, listening);
        QFETCH(QByteArray, answer);
        QFETCH(QString, logLine);
        QTcpServer relay;
        QVERIFY(relay.listen(kRelay));
        const quint16 port = relay.serverPort();
        if (!listening)
            relay.close();
        connect(&relay, &QTcpServer::newConnection, this,
                [&] { relay.nextPendingConnection()->write(answer); });
        TestSupport::LogCapture log;
        ConnectionManager manager;
        manager.setHandshakeTimeout(300);
        QSignalSpy failed(&manager, &ConnectionManager::failed);
        QSignalSpy connected(&manager, &ConnectionManager::connected);
        manager.connectToRelay(kRelay, port);
        QVERIFY(failed.wait(10000));
        QTest::qWait(400); // past the time limit: nothing more
        QCOMPARE(failed.count() + connected.count(), 1);
        QVERIFY2(logLine.isEmpty() || log.contains(logLine), qPrintable(log.lines().join('\n')));
    }
};

TOLVANE_TEST_MAIN(TestRelayRoad)
#include "tst_relayroad.moc"
