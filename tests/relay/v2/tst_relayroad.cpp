#include "relay/v2/connectionmanager.h"
#include "relay/v2/handler.h"
#include "relay/v2/sessionmanager.h"
#include "support/rawpeer.h"
#include "support/relayroad.h"
#include "support/testbytes.h"
#include "support/testmain.h"

#include <QSignalSpy>
#include <QSslSocket>
#include <QtTest>
#include <memory>

using Relay::ConnectionManager;
using TestSupport::RelayServerStandIn;
using TestSupport::TestBytes;

namespace {
const QHostAddress kRelay(QStringLiteral("127.0.0.2"));
const QHostAddress kOtherRelay(QStringLiteral("127.0.0.4"));
} // namespace

// The whole relay road through the managers, the router and the stand-ins, with both links
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
        TestSupport::RelayRoad road;
        QVERIFY(road.build());
        const quint16 port = road.manager.addForward(road.sessionId, Relay::kServicePOP3);
        QVERIFY(port != 0 && road.manager.addForward(road.sessionId, Relay::kServicePOP3) == port);
        QObject owner;
        QVector<QByteArray> payloads(connections), received(connections);
        QList<QByteArray> expected, seen;
        for (int i = 0; i < connections; ++i) {
            payloads[i] = TestBytes::make(bytes, quint32(i + 1));
            expected << TestBytes::sha256(payloads.at(i));
            TestSupport::RelayRoad::tlsClient(&owner, port, payloads.at(i), &received[i]);
        }
        for (int i = 0; i < connections; ++i)
            QTRY_COMPARE_WITH_TIMEOUT(received.at(i), payloads.at(i), 60000);
        for (QSslSocket *client : owner.findChildren<QSslSocket *>())
            client->disconnectFromHost();
        QTRY_COMPARE_WITH_TIMEOUT(road.phone.pop3()->finished().size(), connections, 60000);
        for (const auto &finished : road.phone.pop3()->finished())
            seen << finished.sha256;
        std::sort(expected.begin(), expected.end());
        std::sort(seen.begin(), seen.end());
        QCOMPARE(seen, expected);
        auto *handler = qobject_cast<Relay::V2::Handler *>(road.manager.connection());
        QTRY_COMPARE_WITH_TIMEOUT(handler->carriedConnectionCount(), 0, 30000);
        QVERIFY2(road.violations().isEmpty(), qPrintable(road.violations()));
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
        TestSupport::RelayRoad road;
        QVERIFY(road.build());
        RelayServerStandIn other;
        QVERIFY(other.listen(kOtherRelay));
        QSignalSpy connected(&road.manager, &ConnectionManager::connected);
        QSignalSpy disconnected(&road.manager, &ConnectionManager::disconnected);
        const quint16 port = road.manager.addForward(road.sessionId, Relay::kServicePOP3);
        QObject owner;
        QByteArray received;
        QSslSocket *client = TestSupport::RelayRoad::tlsClient(&owner, port, "ping", &received);
        QTRY_COMPARE_WITH_TIMEOUT(received, QByteArray("ping"), 30000);
        if (lost)
            road.relay.dropAll();
        else
            road.manager.connectToRelay(kOtherRelay, other.port());
        QTRY_COMPARE_WITH_TIMEOUT(client->state(), QAbstractSocket::UnconnectedState, 30000);
        QTRY_COMPARE_WITH_TIMEOUT(disconnected.count(), 1, 30000);
        QCOMPARE(road.manager.forwardCount(), 0);
        QTcpSocket probe; // the listener went with the link
        probe.connectToHost(QHostAddress::LocalHost, port);
        QVERIFY(!probe.waitForConnected(10000));
        QVERIFY2(road.violations().isEmpty(), qPrintable(road.violations()));
        QTRY_COMPARE_WITH_TIMEOUT(connected.count() + other.linkCount(), lost ? 0 : 2, 10000);
    }

    void attemptsFailOnce()
    {
        // The relay never answers our HELLO, or refuses it.
        for (const QByteArray &answer : {QByteArray(), QByteArray("HELLO: 3\n")}) {
            TestSupport::RawPeer peer;
            QVERIFY(peer.listen(kRelay));
            ConnectionManager manager;
            manager.setHandshakeTimeout(300);
            QSignalSpy failed(&manager, &ConnectionManager::failed);
            QSignalSpy connected(&manager, &ConnectionManager::connected);
            manager.connectToRelay(kRelay, peer.port());
            QVERIFY(peer.waitFor("HELLO") == 0);
            peer.write(answer);
            QVERIFY(failed.wait(10000));
            QTest::qWait(400); // past the time limit: nothing more
            QCOMPARE(failed.count() + connected.count(), 1);
        }
    }

    void sessionsAndServicesOfTheServingEnd()
    {
        RelayServerStandIn relay;
        QVERIFY(relay.listen(kRelay));
        Relay::SessionManager first, second;
        QSignalSpy firstUp(&first, &Relay::SessionManager::connected);
        QSignalSpy secondUp(&second, &Relay::SessionManager::connected);
        first.connectToRelay(kRelay, relay.port());
        QVERIFY(firstUp.wait(10000));
        second.connectToRelay(kRelay, relay.port());
        QVERIFY(secondUp.wait(10000));
        QCOMPARE(firstUp.at(0).at(0).toULongLong(), 2ULL); // session 1 is the local service's
        QCOMPARE(secondUp.at(0).at(0).toULongLong(), 3ULL);
        ConnectionManager manager;
        QSignalSpy up(&manager, &ConnectionManager::connected);
        manager.connectToRelay(kRelay, relay.port());
        QVERIFY(up.wait(10000));
        QSignalSpy sessionClosed(&manager, &ConnectionManager::sessionClosed);
        manager.watch(3);
        QSignalSpy secondDown(&second, &Relay::SessionManager::disconnected);
        second.close(); // the session goes: its watcher hears it
        QCOMPARE(secondDown.count(), 1);
        QTRY_COMPARE_WITH_TIMEOUT(sessionClosed.count(), 1, 10000);
        QCOMPARE(sessionClosed.at(0).at(0).toULongLong(), 3ULL);
        QTcpSocket client; // into a session whose owner offers nothing, or no session at all
        for (quint64 session : {2ULL, 99ULL}) {
            client.connectToHost(QHostAddress::LocalHost, manager.addForward(session, "NONE"));
            QVERIFY(client.waitForConnected(10000));
            QTRY_COMPARE_WITH_TIMEOUT(client.state(), QAbstractSocket::UnconnectedState, 10000);
        }
    }
};

TOLVANE_TEST_MAIN(TestRelayRoad)
#include "tst_relayroad.moc"
