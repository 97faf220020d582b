#include "relay/channel.h"
#include "relay/connection.h"
#include "relay/router.h"
#include "relay/service.h"
#include "support/testmain.h"

#include <QSignalSpy>
#include <QtTest>

namespace {

struct Call {
    QByteArray slot;
    quint64 sessionId = 0;
    QByteArray serviceId;
    Relay::Channel *channel = nullptr;
    bool isOpen = false;
};

// A connection that records what the router asks of it.
class FakeConnection : public Relay::Connection
{
    Q_OBJECT
public:
    using Relay::Connection::Connection;
    ~FakeConnection() override
    {
        for (const Call &call : qAsConst(calls))
            delete call.channel;
    }

    QList<Call> calls;

    QList<Call> callsTo(const QByteArray &slot) const
    {
        QList<Call> result;
        for (const Call &call : calls) {
            if (call.slot == slot)
                result.append(call);
        }
        return result;
    }

public Q_SLOTS:
    void handleConnection(qulonglong sessionId, QByteArray serviceId,
                          Relay::Channel *channel) override
    {
        calls.append({"handleConnection", sessionId, serviceId, channel, false});
    }
    bool isReady() const override { return true; }
    void close() override { Q_EMIT closed(); }
    void handshake() override {}
    void startSession() override {}
    void connectTo(qulonglong, QByteArray, Relay::Channel *) override {}
    void watchSession(qulonglong) override {}
    void listening(qulonglong sessionId) override
    {
        calls.append({"listening", sessionId, {}, nullptr, false});
    }
    void accept(qulonglong sessionId, QByteArray serviceId, Relay::Channel *channel) override
    {
        calls.append({"accept", sessionId, serviceId, channel, false});
        Q_EMIT accepted(channel);
    }
    void watchedSessionState(qulonglong sessionId, bool isOpen) override
    {
        calls.append({"watchedSessionState", sessionId, {}, nullptr, isOpen});
    }

Q_SIGNALS:
    void accepted(Relay::Channel *channel);
};

class FakeService : public Relay::Service
{
    Q_OBJECT
public:
    using Relay::Service::Service;
    ~FakeService() override { qDeleteAll(channels); }
    QList<QPair<quint64, QByteArray>> requests;
    QList<Relay::Channel *> channels;

public Q_SLOTS:
    void handleConnection(qulonglong sessionId, QByteArray serviceId,
                          Relay::Channel *channel) override
    {
        requests.append({sessionId, serviceId});
        channels.append(channel);
    }
};

} // namespace

class TestRouter : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void cleanup() { QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete); }

    void sessionsAreNumberedFromTwo()
    {
        Relay::Router router;
        FakeConnection a, b;
        router.addConnection(&a);
        router.addConnection(&b);
        Q_EMIT a.listen();
        Q_EMIT b.listen();
        Q_EMIT a.listen();
        QTRY_COMPARE_WITH_TIMEOUT(a.callsTo("listening").size(), 2, 10000);
        QTRY_COMPARE_WITH_TIMEOUT(b.callsTo("listening").size(), 1, 10000);
        QCOMPARE(a.callsTo("listening").at(0).sessionId, 2ULL);
        QCOMPARE(b.callsTo("listening").at(0).sessionId, 3ULL);
        QCOMPARE(a.callsTo("listening").at(1).sessionId, 4ULL);
        QCOMPARE(router.sessionOwner(3), &b);
        // Ids are not reused after their owner goes.
        router.removeConnection(&b);
        QCOMPARE(router.sessionOwner(3), nullptr);
        Q_EMIT a.listen();
        QTRY_COMPARE_WITH_TIMEOUT(a.callsTo("listening").size(), 3, 10000);
        QCOMPARE(a.callsTo("listening").at(2).sessionId, 5ULL);
    }

    void connectionsAreRouted_data()
    {
        QTest::addColumn<bool>("local");     // newLocalConnection rather than newConnection
        QTest::addColumn<quint64>("session"); // 0: the owner's session
        QTest::addColumn<QString>("target");  // "service", "owner" or "none"
        QTest::newRow("session 1 goes to the local service") << false << quint64(1) << "service";
        QTest::newRow("a session goes to its owner") << false << quint64(0) << "owner";
        QTest::newRow("unknown session is refused") << false << quint64(99) << "none";
        QTest::newRow("local connection goes to the local service")
            << true << quint64(0) << "service";
    }

    void connectionsAreRouted()
    {
        QFETCH(bool, local);
        QFETCH(quint64, session);
        QFETCH(QString, target);
        Relay::Router router;
        FakeService service;
        router.setLocalService(&service);
        FakeConnection owner, requester;
        router.addConnection(&owner);
        router.addConnection(&requester);
        Q_EMIT owner.listen();
        QTRY_COMPARE_WITH_TIMEOUT(owner.callsTo("listening").size(), 1, 10000);
        const quint64 sessionId = session ? session : owner.callsTo("listening").at(0).sessionId;
        if (local)
            Q_EMIT requester.newLocalConnection(sessionId, "SMTP");
        else
            Q_EMIT requester.newConnection(sessionId, "SMTP");
        // The requester opens its end when it takes it, as the relay handler does.
        QList<QPair<Relay::Channel *, QString>> errors;
        connect(&requester, &FakeConnection::accepted, this, [&](Relay::Channel *channel) {
            connect(channel, &Relay::Channel::error, this,
                    [&errors, channel](const QString &text) { errors.append({channel, text}); });
            if (!channel->isOpen())
                channel->open();
        });
        QTRY_COMPARE_WITH_TIMEOUT(requester.callsTo("accept").size(), 1, 10000);
        const Call accepted = requester.callsTo("accept").at(0);
        QCOMPARE(accepted.sessionId, sessionId);
        QCOMPARE(accepted.serviceId, QByteArray("SMTP"));
        QVERIFY(accepted.channel);
        Relay::Channel *far = nullptr;
        if (target == "service") {
            QTRY_COMPARE_WITH_TIMEOUT(service.channels.size(), 1, 10000);
            QCOMPARE(service.requests.at(0), qMakePair(sessionId, QByteArray("SMTP")));
            far = service.channels.at(0);
            QCOMPARE(owner.callsTo("handleConnection").size(), 0);
        } else if (target == "owner") {
            QTRY_COMPARE_WITH_TIMEOUT(owner.callsTo("handleConnection").size(), 1, 10000);
            far = owner.callsTo("handleConnection").at(0).channel;
            QCOMPARE(service.channels.size(), 0);
        }
        if (far) {
            // The two ends are a pair.
            QSignalSpy connected(accepted.channel, &Relay::Channel::connected);
            far->open();
            QCOMPARE(connected.count(), 1);
            QVERIFY(errors.isEmpty());
        } else {
            QCOMPARE(errors.size(), 1);
            QCOMPARE(errors.at(0).second, QStringLiteral("Session not found"));
            QVERIFY(!accepted.channel->isOpen());
            QCOMPARE(service.channels.size(), 0);
        }
    }

    void watchersLearnWhenOwnerGoes()
    {
        Relay::Router router;
        FakeConnection owner, watcherA, watcherB;
        for (FakeConnection *c : {&owner, &watcherA, &watcherB})
            router.addConnection(c);
        Q_EMIT owner.listen();
        Q_EMIT owner.listen();
        QTRY_COMPARE_WITH_TIMEOUT(owner.callsTo("listening").size(), 2, 10000);
        for (FakeConnection *watcher : {&watcherA, &watcherB}) {
            Q_EMIT watcher->watch(2);
            Q_EMIT watcher->watch(3);
        }
        Q_EMIT watcherA.watch(77);
        QTRY_COMPARE_WITH_TIMEOUT(watcherA.callsTo("watchedSessionState").size(), 3, 10000);
        QTRY_COMPARE_WITH_TIMEOUT(watcherB.callsTo("watchedSessionState").size(), 2, 10000);
        for (const Call &call : watcherB.callsTo("watchedSessionState"))
            QVERIFY(call.isOpen);
        QCOMPARE(watcherA.callsTo("watchedSessionState").at(2).sessionId, 77ULL);
        QVERIFY(!watcherA.callsTo("watchedSessionState").at(2).isOpen);

        owner.close();
        QCOMPARE(router.connectionCount(), 2);
        QTRY_COMPARE_WITH_TIMEOUT(watcherA.callsTo("watchedSessionState").size(), 5, 10000);
        QTRY_COMPARE_WITH_TIMEOUT(watcherB.callsTo("watchedSessionState").size(), 4, 10000);
        for (FakeConnection *watcher : {&watcherA, &watcherB}) {
            const QList<Call> calls = watcher->callsTo("watchedSessionState").mid(
                watcher == &watcherA ? 3 : 2);
            QSet<quint64> closed;
            for (const Call &call : calls) {
                QVERIFY(!call.isOpen);
                closed.insert(call.sessionId);
            }
            QCOMPARE(closed, QSet<quint64>({2, 3}));
        }
        // A watcher that went first is not told anything later.
        Q_EMIT watcherA.listen();
        QTRY_COMPARE_WITH_TIMEOUT(watcherA.callsTo("listening").size(), 1, 10000);
        Q_EMIT watcherB.watch(watcherA.callsTo("listening").at(0).sessionId);
        QTRY_COMPARE_WITH_TIMEOUT(watcherB.callsTo("watchedSessionState").size(), 5, 10000);
        router.removeConnection(&watcherB);
        watcherA.close();
        QCoreApplication::processEvents();
        QCOMPARE(watcherB.callsTo("watchedSessionState").size(), 5);
    }
};

TOLVANE_TEST_MAIN(TestRouter)
#include "tst_router.moc"
