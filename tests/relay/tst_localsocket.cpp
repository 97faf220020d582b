#include "relay/channel.h"
#include "relay/channelsocketwrapper.h"
#include "relay/localsocket.h"
#include "support/streamclient.h"
#include "support/testmain.h"

#include <QPointer>
#include <QSignalSpy>
#include <QtTest>

using Relay::Channel;
using Relay::LocalSocket;
using TestSupport::StreamClient;

namespace {

// Plays the relay side: keeps every channel end the listener hands out.
class RelaySide : public QObject
{
public:
    explicit RelaySide(LocalSocket *listener)
    {
        connect(listener, qOverload<Channel *>(&LocalSocket::newConnection), this,
                [this](Channel *channel) {
                    channel->setParent(this);
                    channels << channel;
                });
    }
    QList<QPointer<Channel>> channels;
};

} // namespace

class TestLocalSocket : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void acceptedConnectionBecomesAPair();
    void clientThatClosesAtOnce();
    void twoClientsTwoPairs();
    void stopClosesEveryConnection();
    void relaySideKeepsItsEndClosed();
    void relaySideDropsItsEnd_data();
    void relaySideDropsItsEnd();
    void destructionClosesClients();
};

void TestLocalSocket::acceptedConnectionBecomesAPair()
{
    LocalSocket listener;
    QVERIFY(listener.listen(QHostAddress::LocalHost, 0));
    RelaySide relay(&listener);
    StreamClient client;
    client.connectTo(listener.serverPort());
    QTRY_COMPARE(relay.channels.size(), 1);
    QCOMPARE(listener.connectionCount(), 1);
    Channel *far = relay.channels.first();

    // The wrapper's end is open already; the relay side's end opens when the relay confirms.
    QVERIFY(!far->isOpen());
    QSignalSpy connected(far, &Channel::connected);
    far->open();
    QCOMPARE(connected.count(), 1);

    client.send("USER me\r\n");
    QTRY_COMPARE(far->peek(), QByteArray("USER me\r\n"));
    far->recv();
    QVERIFY(far->send("+OK\r\n"));
    QTRY_COMPARE(client.received(), QByteArray("+OK\r\n"));
}

void TestLocalSocket::clientThatClosesAtOnce()
{
    LocalSocket listener;
    QVERIFY(listener.listen(QHostAddress::LocalHost, 0));
    RelaySide relay(&listener);
    QSignalSpy handed(&listener, qOverload<Channel *>(&LocalSocket::newConnection));
    StreamClient client;
    client.connectTo(listener.serverPort());
    QTRY_VERIFY(client.isConnected());
    client.close();
    QTRY_COMPARE(handed.count(), 1);
    QPointer<Channel> far = relay.channels.first();
    QSignalSpy farClosed(far.data(), &Channel::closed);
    QTRY_COMPARE(farClosed.count(), 1);
    QTRY_COMPARE(listener.connectionCount(), 0);
    QTRY_VERIFY(listener.findChildren<Relay::ChannelSocketWrapper *>().isEmpty());
}

void TestLocalSocket::twoClientsTwoPairs()
{
    LocalSocket listener;
    QVERIFY(listener.listen(QHostAddress::LocalHost, 0));
    RelaySide relay(&listener);
    StreamClient one;
    StreamClient two;
    one.connectTo(listener.serverPort());
    QTRY_COMPARE(relay.channels.size(), 1);
    two.connectTo(listener.serverPort());
    QTRY_COMPARE(relay.channels.size(), 2);
    QCOMPARE(listener.connectionCount(), 2);
    Channel *farOne = relay.channels.at(0);
    Channel *farTwo = relay.channels.at(1);
    QVERIFY(farOne != farTwo);
    farOne->open();
    farTwo->open();

    one.send("from one");
    two.send("from two");
    QTRY_COMPARE(farOne->peek(), QByteArray("from one"));
    QTRY_COMPARE(farTwo->peek(), QByteArray("from two"));
    QVERIFY(farTwo->send("to two"));
    QTRY_COMPARE(two.received(), QByteArray("to two"));
    QCOMPARE(one.received(), QByteArray());

    // Closing one leaves the other alone.
    farOne->close();
    QTRY_VERIFY(one.hasEnded());
    QTRY_COMPARE(listener.connectionCount(), 1);
    QVERIFY(two.isConnected());
    QVERIFY(farTwo->isOpen());
}

void TestLocalSocket::stopClosesEveryConnection()
{
    LocalSocket listener;
    QVERIFY(listener.listen(QHostAddress::LocalHost, 0));
    const quint16 port = listener.serverPort();
    RelaySide relay(&listener);
    StreamClient one;
    StreamClient two;
    one.connectTo(port);
    two.connectTo(port);
    QTRY_COMPARE(relay.channels.size(), 2);
    relay.channels.at(0)->open();
    QSignalSpy closedOne(relay.channels.at(0).data(), &Channel::closed);
    QSignalSpy closedTwo(relay.channels.at(1).data(), &Channel::closed);

    listener.stop();
    QVERIFY(!listener.isListening());
    QCOMPARE(closedOne.count(), 1);
    QCOMPARE(closedTwo.count(), 1);
    QTRY_VERIFY(one.hasEnded());
    QTRY_VERIFY(two.hasEnded());
    QTRY_COMPARE(listener.connectionCount(), 0);
    listener.stop();
    QCOMPARE(listener.connectionCount(), 0);

    // Nothing more is accepted.
    StreamClient late;
    late.connectTo(port);
    QTRY_VERIFY(late.hasEnded());
    QCOMPARE(relay.channels.size(), 2);
}

void TestLocalSocket::relaySideKeepsItsEndClosed()
{
    // Until the relay side opens its end, the client's bytes wait and nothing is closed.
    LocalSocket listener;
    QVERIFY(listener.listen(QHostAddress::LocalHost, 0));
    RelaySide relay(&listener);
    StreamClient client;
    client.connectTo(listener.serverPort());
    QTRY_COMPARE(relay.channels.size(), 1);
    client.send("waiting");
    QTRY_COMPARE(client.socket().bytesToWrite(), qint64(0));
    for (int i = 0; i < 20; ++i)
        QCoreApplication::processEvents();
    QVERIFY(client.isConnected());
    QCOMPARE(relay.channels.first()->peek(), QByteArray());

    listener.stop();
    QTRY_VERIFY(client.hasEnded());
}

void TestLocalSocket::relaySideDropsItsEnd_data()
{
    QTest::addColumn<bool>("anyReceiver");
    QTest::newRow("receiver deletes it") << true;
    QTest::newRow("no receiver") << false;
}

void TestLocalSocket::relaySideDropsItsEnd()
{
    // No relay connection to carry it: the client learns at once instead of hanging.
    QFETCH(bool, anyReceiver);
    LocalSocket listener;
    QVERIFY(listener.listen(QHostAddress::LocalHost, 0));
    if (anyReceiver) {
        connect(&listener, qOverload<Channel *>(&LocalSocket::newConnection), this,
                [](Channel *channel) { delete channel; });
    }
    StreamClient client;
    client.connectTo(listener.serverPort());
    QTRY_VERIFY(client.hasEnded());
    QCOMPARE(client.received(), QByteArray());
    QTRY_COMPARE(listener.connectionCount(), 0);
}

void TestLocalSocket::destructionClosesClients()
{
    auto listener = std::make_unique<LocalSocket>();
    QVERIFY(listener->listen(QHostAddress::LocalHost, 0));
    RelaySide relay(listener.get());
    StreamClient client;
    client.connectTo(listener->serverPort());
    QTRY_COMPARE(relay.channels.size(), 1);
    QPointer<Channel> far = relay.channels.first();
    far->open();
    QSignalSpy farClosed(far.data(), &Channel::closed);
    listener.reset();
    QCOMPARE(farClosed.count(), 1);
    QTRY_VERIFY(client.hasEnded());
}

TOLVANE_TEST_MAIN(TestLocalSocket)
#include "tst_localsocket.moc"
