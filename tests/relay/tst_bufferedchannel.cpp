#include "relay/bufferedchannel.h"
#include "support/testmain.h"

#include <QSignalSpy>
#include <QtTest>

using Relay::BufferedChannel;
using Relay::Channel;

namespace {

const int kCapacity = 262144;

// Records the signals of both ends of a pair in the order they fire, e.g. "a:connected".
class SignalLog : public QObject
{
public:
    SignalLog(Channel *a, Channel *b)
    {
        watch(a, QStringLiteral("a"));
        watch(b, QStringLiteral("b"));
    }
    QStringList events;

private:
    void watch(Channel *channel, const QString &name)
    {
        connect(channel, &Channel::connected, this, [=] { events << name + ":connected"; });
        connect(channel, &Channel::newData, this, [=] { events << name + ":newData"; });
        connect(channel, &Channel::dataSent, this, [=] { events << name + ":dataSent"; });
        connect(channel, &Channel::closed, this, [=] { events << name + ":closed"; });
        connect(channel, &Channel::error, this,
                [=](const QString &message) { events << name + ":error:" + message; });
    }
};

} // namespace

class TestBufferedChannel : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void pairIsBornClosed();
    void openingConnectsBothEnds_data();
    void openingConnectsBothEnds();
    void budget_data();
    void budget();
    void sendIsRefused_data();
    void sendIsRefused();
    void messagesKeepTheirBoundaries();
    void dataSentPairsEachTakenMessage();
    void emptyQueue();
    void errorBeforeOpenKeepsThePairApart();
    void errorReachesAnOpenPeer();
    void closingEitherEndClosesBoth_data();
    void closingEitherEndClosesBoth();
    void closedEndStaysClosed();
    void destroyingAnEndClosesItsPeer_data();
    void destroyingAnEndClosesItsPeer();
    void queuedMessagesOutliveTheClose();
};

void TestBufferedChannel::pairIsBornClosed()
{
    auto [a, b] = BufferedChannel::makePair(kCapacity);
    QVERIFY(a && b);
    QVERIFY(!a->isOpen());
    QVERIFY(!b->isOpen());
    QCOMPARE(a->capacity(), qint64(kCapacity));
    QCOMPARE(a->pending(), qint64(0));
    QVERIFY(a->lastError().isEmpty());
    QVERIFY(a->parent() == nullptr && b->parent() == nullptr);
}

void TestBufferedChannel::openingConnectsBothEnds_data()
{
    QTest::addColumn<bool>("firstA");
    QTest::newRow("a then b") << true;
    QTest::newRow("b then a") << false;
}

void TestBufferedChannel::openingConnectsBothEnds()
{
    QFETCH(bool, firstA);
    auto [a, b] = BufferedChannel::makePair(kCapacity);
    SignalLog log(a.get(), b.get());
    Channel *first = firstA ? a.get() : b.get();
    Channel *second = firstA ? b.get() : a.get();
    const QString secondName = firstA ? "b" : "a";
    const QString firstName = firstA ? "a" : "b";

    first->open();
    QVERIFY(first->isOpen());
    QCOMPARE(log.events, QStringList());
    first->open(); // again: nothing
    QCOMPARE(log.events, QStringList());

    second->open();
    QCOMPARE(log.events, QStringList({secondName + ":connected", firstName + ":connected"}));
    second->open();
    QCOMPARE(log.events.size(), 2);
}

void TestBufferedChannel::budget_data()
{
    QTest::addColumn<QList<int>>("sizes");
    QTest::addColumn<QList<bool>>("accepted");
    QTest::addColumn<qint64>("pending");

    QTest::newRow("exactly the capacity")
        << QList<int>{kCapacity} << QList<bool>{true} << qint64(kCapacity);
    QTest::newRow("one byte over") << QList<int>{kCapacity + 1} << QList<bool>{false} << qint64(0);
    QTest::newRow("filled then one more")
        << QList<int>{kCapacity, 1} << QList<bool>{true, false} << qint64(kCapacity);
    QTest::newRow("in pieces") << QList<int>{100000, 100000, 62144, 1}
                               << QList<bool>{true, true, true, false} << qint64(kCapacity);
    QTest::newRow("a refusal leaves room")
        << QList<int>{200000, 70000, 62144} << QList<bool>{true, false, true} << qint64(kCapacity);
}

void TestBufferedChannel::budget()
{
    QFETCH(QList<int>, sizes);
    QFETCH(QList<bool>, accepted);
    QFETCH(qint64, pending);

    auto [a, b] = BufferedChannel::makePair(kCapacity);
    a->open();
    b->open();
    QSignalSpy newData(b.get(), &Channel::newData);
    int queued = 0;
    for (int i = 0; i < sizes.size(); ++i) {
        QCOMPARE(a->send(QByteArray(sizes.at(i), 'x')), accepted.at(i));
        if (accepted.at(i))
            ++queued;
        QCOMPARE(newData.count(), queued);
    }
    QCOMPARE(a->pending(), pending);

    // Taking a message gives its bytes back to the sender's budget; the other direction has its
    // own.
    QVERIFY(b->send(QByteArray(kCapacity, 'y')));
    const QByteArray taken = b->recv();
    QCOMPARE(a->pending(), pending - taken.size());
    if (!taken.isEmpty())
        QVERIFY(a->send(QByteArray(taken.size(), 'z')));
}

void TestBufferedChannel::sendIsRefused_data()
{
    QTest::addColumn<int>("state"); // 0 never opened, 1 closed with the peer gone, 2 peer only
    QTest::newRow("end never opened") << 0;
    QTest::newRow("end closed") << 1;
    QTest::newRow("only the peer open") << 2;
}

void TestBufferedChannel::sendIsRefused()
{
    QFETCH(int, state);
    auto [a, b] = BufferedChannel::makePair(kCapacity);
    if (state == 1) {
        a->open();
        b->open();
        a->close();
    } else if (state == 2) {
        b->open();
    }
    QSignalSpy newData(b.get(), &Channel::newData);
    QVERIFY(!a->send(QByteArray("hello")));
    QCOMPARE(a->pending(), qint64(0));
    QCOMPARE(newData.count(), 0);
    QVERIFY(b->peek().isEmpty());

    // An empty message is refused even on an open pair: it would look like an empty queue.
    auto [c, d] = BufferedChannel::makePair(kCapacity);
    c->open();
    d->open();
    QSignalSpy emptyData(d.get(), &Channel::newData);
    QVERIFY(!c->send(QByteArray()));
    QCOMPARE(emptyData.count(), 0);
}

void TestBufferedChannel::messagesKeepTheirBoundaries()
{
    auto [a, b] = BufferedChannel::makePair(kCapacity);
    a->open();
    b->open();
    QVERIFY(a->send("one"));
    QVERIFY(a->send("two two"));
    QVERIFY(b->send("back"));
    QVERIFY(a->send(QByteArray(1, '\0')));
    QCOMPARE(b->peek(), QByteArray("one"));
    QCOMPARE(b->peek(), QByteArray("one"));
    QCOMPARE(b->recv(), QByteArray("one"));
    QCOMPARE(b->recv(), QByteArray("two two"));
    QCOMPARE(b->recv(), QByteArray(1, '\0'));
    QCOMPARE(b->recv(), QByteArray());
    QCOMPARE(a->recv(), QByteArray("back"));
}

void TestBufferedChannel::dataSentPairsEachTakenMessage()
{
    auto [a, b] = BufferedChannel::makePair(kCapacity);
    a->open();
    b->open();
    SignalLog log(a.get(), b.get());
    QVERIFY(a->send("12345"));
    QVERIFY(a->send("678"));
    QCOMPARE(log.events, QStringList({"b:newData", "b:newData"}));
    QCOMPARE(a->pending(), qint64(8));

    b->recv();
    QCOMPARE(log.events.mid(2), QStringList({"a:dataSent"}));
    QCOMPARE(a->pending(), qint64(3));
    b->peek();
    QCOMPARE(log.events.size(), 3);
    b->recv();
    QCOMPARE(log.events.mid(3), QStringList({"a:dataSent"}));
    QCOMPARE(a->pending(), qint64(0));
    b->recv();
    QCOMPARE(log.events.size(), 4);
}

void TestBufferedChannel::emptyQueue()
{
    auto [a, b] = BufferedChannel::makePair(kCapacity);
    a->open();
    b->open();
    SignalLog log(a.get(), b.get());
    QCOMPARE(a->recv(), QByteArray());
    QCOMPARE(a->peek(), QByteArray());
    QCOMPARE(log.events, QStringList());
}

void TestBufferedChannel::errorBeforeOpenKeepsThePairApart()
{
    auto [a, b] = BufferedChannel::makePair(kCapacity);
    SignalLog log(a.get(), b.get());
    b->open();
    a->sendError("x"); // b is open: it hears the error at once
    QCOMPARE(log.events, QStringList({"b:error:x"}));
    QCOMPARE(b->lastError(), QStringLiteral("x"));

    auto [c, d] = BufferedChannel::makePair(kCapacity);
    SignalLog log2(c.get(), d.get());
    c->sendError("x"); // d is not open: the text waits for its open()
    QCOMPARE(log2.events, QStringList());
    QCOMPARE(d->lastError(), QStringLiteral("x"));
    QVERIFY(c->lastError().isEmpty());
    c->open();
    d->open();
    QCOMPARE(log2.events, QStringList({"b:error:x"})); // the log names c "a" and d "b"
    QVERIFY(!d->isOpen());
    QVERIFY(c->isOpen());
    // The pair never connects.
    d->open();
    QCOMPARE(log2.events, QStringList({"b:error:x", "b:error:x"}));
    QVERIFY(!log2.events.join(' ').contains("connected"));
}

void TestBufferedChannel::errorReachesAnOpenPeer()
{
    auto [a, b] = BufferedChannel::makePair(kCapacity);
    a->open();
    b->open();
    SignalLog log(a.get(), b.get());
    b->sendError("Transfer failed");
    QCOMPARE(log.events, QStringList({"a:error:Transfer failed"}));
    QCOMPARE(a->lastError(), QStringLiteral("Transfer failed"));
    QVERIFY(b->lastError().isEmpty());
    // Nothing is closed by an error.
    QVERIFY(a->isOpen() && b->isOpen());
}

void TestBufferedChannel::closingEitherEndClosesBoth_data()
{
    QTest::addColumn<bool>("closeA");
    QTest::addColumn<int>("opened"); // ends opened before the close: 0, 1 (a only) or 2
    QTest::newRow("a, both open") << true << 2;
    QTest::newRow("b, both open") << false << 2;
    QTest::newRow("a never opened, b open") << true << 0;
    QTest::newRow("b never opened, a open") << false << 1;
    QTest::newRow("a open, b never opened") << true << 1;
}

void TestBufferedChannel::closingEitherEndClosesBoth()
{
    QFETCH(bool, closeA);
    QFETCH(int, opened);
    auto [a, b] = BufferedChannel::makePair(kCapacity);
    if (opened >= 1)
        a->open();
    if (opened == 2 || opened == 0)
        b->open();
    SignalLog log(a.get(), b.get());

    Channel *closing = closeA ? a.get() : b.get();
    closing->close();
    QCOMPARE(log.events.count("a:closed"), 1);
    QCOMPARE(log.events.count("b:closed"), 1);
    QCOMPARE(log.events.first(), QString(closeA ? "a:closed" : "b:closed"));
    QVERIFY(!a->isOpen() && !b->isOpen());

    a->close();
    b->close();
    QCOMPARE(log.events.size(), 2);
}

void TestBufferedChannel::closedEndStaysClosed()
{
    auto [a, b] = BufferedChannel::makePair(kCapacity);
    a->open();
    a->close();
    SignalLog log(a.get(), b.get());
    // The far side opening an end whose pair is gone learns of it at once.
    b->open();
    QCOMPARE(log.events, QStringList({"b:closed"}));
    QVERIFY(!b->isOpen());
    a->open();
    QCOMPARE(log.events, QStringList({"b:closed", "a:closed"}));
    QVERIFY(!a->isOpen());
    QVERIFY(!a->send("x"));
}

void TestBufferedChannel::destroyingAnEndClosesItsPeer_data()
{
    QTest::addColumn<bool>("destroyedWasOpen");
    QTest::newRow("open end destroyed") << true;
    QTest::newRow("never opened end destroyed") << false;
}

void TestBufferedChannel::destroyingAnEndClosesItsPeer()
{
    QFETCH(bool, destroyedWasOpen);
    auto [a, b] = BufferedChannel::makePair(kCapacity);
    a->open();
    if (destroyedWasOpen)
        b->open();
    QVERIFY(b->send("queued for a") || !destroyedWasOpen);
    QSignalSpy closed(a.get(), &Channel::closed);
    b.reset();
    QCOMPARE(closed.count(), 1);
    QVERIFY(!a->isOpen());

    // The survivor has no peer any more: nothing it does reaches anyone, and nothing breaks.
    SignalLog log(a.get(), a.get());
    a->sendError("nobody hears this");
    a->close();
    if (destroyedWasOpen)
        QCOMPARE(a->recv(), QByteArray("queued for a"));
    QCOMPARE(a->recv(), QByteArray());
    QCOMPARE(log.events, QStringList());
}

void TestBufferedChannel::queuedMessagesOutliveTheClose()
{
    auto [a, b] = BufferedChannel::makePair(kCapacity);
    a->open();
    b->open();
    QVERIFY(a->send("first"));
    QVERIFY(a->send("second"));
    a->close();
    QVERIFY(!b->isOpen());
    QSignalSpy dataSent(a.get(), &Channel::dataSent);
    QCOMPARE(b->peek(), QByteArray("first"));
    QCOMPARE(b->recv(), QByteArray("first"));
    QCOMPARE(b->recv(), QByteArray("second"));
    QCOMPARE(dataSent.count(), 2);
    QCOMPARE(a->pending(), qint64(0));
}

TOLVANE_TEST_MAIN(TestBufferedChannel)
#include "tst_bufferedchannel.moc"
