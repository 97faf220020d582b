#include "relay/v2/connectionmanager.h"
#include "relay/v2/sessionmanager.h"
#include "support/phonestandin.h"
#include "support/rawpeer.h"
#include "support/relayserverstandin.h"
#include "support/testmain.h"

#include <QSignalSpy>
#include <QTcpSocket>
#include <QtTest>

using Relay::SessionManager;
using TestSupport::RawPeer;
using TestSupport::RelayServerStandIn;

namespace {
const QHostAddress kRelayAddress(QStringLiteral("127.0.0.2"));
const QHostAddress kNothingAddress(QStringLiteral("127.0.0.7"));
} // namespace

// The serving end: a session on a relay server, its refusals and its end.
class TestSessionManager : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void cleanup() { QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete); }

    void opensSessionsFromTwo()
    {
        RelayServerStandIn relay;
        QVERIFY(relay.listen(kRelayAddress));
        SessionManager first;
        SessionManager second;
        QSignalSpy firstConnected(&first, &SessionManager::connected);
        QSignalSpy secondConnected(&second, &SessionManager::connected);
        first.connectToRelay(kRelayAddress, relay.port());
        QVERIFY(firstConnected.wait(10000));
        second.connectToRelay(kRelayAddress.toString(), relay.port());
        QVERIFY(secondConnected.wait(10000));
        QCOMPARE(firstConnected.at(0).at(0).toULongLong(), 2ULL);
        QCOMPARE(secondConnected.at(0).at(0).toULongLong(), 3ULL);
        QVERIFY(first.isReady());
        QCOMPARE(first.sessionId(), 2ULL);
    }

    void refusedConnectionFails()
    {
        QTcpServer server;
        QVERIFY(server.listen(kNothingAddress));
        const quint16 port = server.serverPort();
        server.close();
        SessionManager manager;
        QSignalSpy failed(&manager, &SessionManager::failed);
        QSignalSpy disconnected(&manager, &SessionManager::disconnected);
        manager.connectToRelay(kNothingAddress, port);
        QVERIFY(failed.wait(10000));
        QCOMPARE(failed.count(), 1);
        QCOMPARE(disconnected.count(), 0);
        QVERIFY(!manager.isReady());
    }

    void silentRelayFailsAfterTheTimeLimit()
    {
        RawPeer silent;
        QVERIFY(silent.listen(kRelayAddress));
        SessionManager manager;
        manager.setHandshakeTimeout(200);
        QSignalSpy failed(&manager, &SessionManager::failed);
        manager.connectToRelay(kRelayAddress, silent.port());
        QVERIFY(silent.waitFor("HELLO") == 0);
        QVERIFY(failed.wait(10000));
        QVERIFY(silent.waitForPeerClose());
        QCOMPARE(failed.count(), 1);
    }

    void refusedSessionFails()
    {
        RawPeer relay;
        QVERIFY(relay.listen(kRelayAddress));
        connect(&relay, &RawPeer::commandReceived, &relay, [&] {
            const auto &command = relay.commands().last();
            if (command.name == "HELLO")
                relay.writeLine("OK");
            else if (command.name == "BEGIN_SESSION")
                relay.writeFail("No sessions today", command.number(0));
        });
        SessionManager manager;
        QSignalSpy failed(&manager, &SessionManager::failed);
        QSignalSpy connected(&manager, &SessionManager::connected);
        manager.connectToRelay(kRelayAddress, relay.port());
        QVERIFY(failed.wait(10000));
        QCOMPARE(connected.count(), 0);
        QVERIFY(relay.waitForPeerClose());
        QVERIFY(relay.indexOf("BEGIN_SESSION") >= 0);
    }

    void lostRelayDisconnectsOnce()
    {
        RelayServerStandIn relay;
        QVERIFY(relay.listen(kRelayAddress));
        SessionManager manager;
        QSignalSpy connected(&manager, &SessionManager::connected);
        QSignalSpy disconnected(&manager, &SessionManager::disconnected);
        QSignalSpy failed(&manager, &SessionManager::failed);
        manager.connectToRelay(kRelayAddress, relay.port());
        QVERIFY(connected.wait(10000));
        relay.dropAll();
        QVERIFY(disconnected.wait(10000));
        QCoreApplication::processEvents();
        QCOMPARE(disconnected.count(), 1);
        QCOMPARE(failed.count(), 0);
        QCOMPARE(manager.sessionId(), 0ULL);
        QVERIFY(!manager.isReady());
    }

    void unknownServiceIsRefused()
    {
        RelayServerStandIn relay;
        QVERIFY(relay.listen(kRelayAddress));
        TestSupport::PhoneStandIn phone;
        QVERIFY(phone.start());
        phone.connectToRelay(kRelayAddress, relay.port());
        const quint64 session = phone.waitForSession();
        QVERIFY(session != 0);
        Relay::ConnectionManager client;
        QSignalSpy connected(&client, &Relay::ConnectionManager::connected);
        client.connectToRelay(kRelayAddress, relay.port());
        QVERIFY(connected.wait(10000));
        // Offered under a port but not as a service: the local client's connection ends.
        phone.sessionManager()->addLocalForward("IMAP", phone.pop3()->port());
        const quint16 port = client.addForward(session, "IMAP");
        QTcpSocket local;
        local.connectToHost(QHostAddress::LocalHost, port);
        QVERIFY(local.waitForConnected(10000));
        QTRY_COMPARE_WITH_TIMEOUT(local.state(), QAbstractSocket::UnconnectedState, 10000);
        QCOMPARE(phone.pop3()->acceptedConnections(), 0);
        QVERIFY(client.isConnected());
        QVERIFY(phone.sessionManager()->isReady());
    }
};

TOLVANE_TEST_MAIN(TestSessionManager)
#include "tst_sessionmanager.moc"
