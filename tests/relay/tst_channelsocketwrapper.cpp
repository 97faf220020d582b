#include "relay/bufferedchannel.h"
#include "relay/channelsocketwrapper.h"
#include "support/tcpsocketpair.h"
#include "support/testbytes.h"
#include "support/testmain.h"

#include <QPointer>
#include <QSignalSpy>
#include <QtTest>

using Relay::BufferedChannel;
using Relay::Channel;
using Relay::ChannelSocketWrapper;
using TestSupport::TcpSocketPair;
using TestSupport::TestBytes;

namespace {

const int kCapacity = 262144;
const int kChunk = 32768;

// A wrapper over the accepted side of a loopback socket pair and the first end of a channel
// pair. The test plays the local peer through client() and the far owner through far().
struct Fixture
{
    Fixture()
    {
        auto pair = BufferedChannel::makePair(kCapacity);
        farEnd = std::move(pair.second);
        nearEnd = pair.first.get();
        sockets = std::make_unique<TcpSocketPair>();
        if (!sockets->ok())
            return;
        ready = true;
        socket = sockets->server();
        socket->setReadBufferSize(kChunk);
        wrapper = std::make_unique<ChannelSocketWrapper>(
            pair.first.release(), sockets->takeServer().release(), kChunk, true, nullptr);
    }

    QTcpSocket *client() const { return sockets->client(); }
    BufferedChannel *far() const { return farEnd.get(); }

    bool ready = false;
    std::unique_ptr<TcpSocketPair> sockets;
    std::unique_ptr<BufferedChannel> farEnd;
    std::unique_ptr<ChannelSocketWrapper> wrapper;
    QPointer<Channel> nearEnd;
    QPointer<QTcpSocket> socket;
};

// Reads everything the client receives until it is disconnected.
class Received : public QObject
{
public:
    explicit Received(QTcpSocket *socket)
    {
        data += socket->readAll();
        connect(socket, &QTcpSocket::readyRead, this,
                [this, socket] { data += socket->readAll(); });
        connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
            data += socket->readAll();
            ended = true;
        });
    }
    QByteArray data;
    bool ended = false;
};

} // namespace

class TestChannelSocketWrapper : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void opensItsEndWhenTheSocketIsConnected();
    void oneMessageInTheChannelAtATime();
    void oneMessageAlsoWhenBothOpenPathsRead();
    void messageLeavesTheChannelOnlyWhenWritten();
    void farOwnerSendingFromDataSent();
    void localCloseCarriesEveryByte_data();
    void localCloseCarriesEveryByte();
    void channelCloseDeliversWhatIsQueued_data();
    void channelCloseDeliversWhatIsQueued();
    void farEndGoneBeforeItOpenedClosesTheClient();
    void drainTimeLimit();
    void closeClosesTheChannel();
    void destructionDeletesWhatItOwns_data();
    void destructionDeletesWhatItOwns();
};

void TestChannelSocketWrapper::opensItsEndWhenTheSocketIsConnected()
{
    Fixture f;
    QVERIFY(f.ready);
    QVERIFY(f.nearEnd->isOpen());
    QSignalSpy connected(f.far(), &Channel::connected);
    f.far()->open();
    QCOMPARE(connected.count(), 1);

    // Bytes flow only after both ends are open.
    Fixture g;
    QVERIFY(g.ready);
    QSignalSpy newData(g.far(), &Channel::newData);
    g.client()->write("early bytes");
    QTRY_VERIFY(g.socket->bytesAvailable() > 0);
    QCOMPARE(newData.count(), 0);
    g.far()->open();
    QCOMPARE(newData.count(), 1);
    QCOMPARE(g.far()->recv(), QByteArray("early bytes"));
}

void TestChannelSocketWrapper::oneMessageInTheChannelAtATime()
{
    Fixture f;
    QVERIFY(f.ready);
    f.far()->open();
    QSignalSpy newData(f.far(), &Channel::newData);
    const QByteArray sent = TestBytes::make(5 * kChunk + 123);
    f.client()->write(sent);

    QByteArray received;
    while (received.size() < sent.size()) {
        QTRY_VERIFY_WITH_TIMEOUT(!f.far()->peek().isEmpty(), 10000);
        // While the message waits, the socket holds more and signals it; nothing more is read.
        QTRY_COMPARE(f.client()->bytesToWrite(), qint64(0));
        QTRY_VERIFY(f.socket->bytesAvailable() > 0 ||
                    received.size() + f.far()->peek().size() == sent.size());
        QCoreApplication::processEvents();
        QCOMPARE(newData.count(), 1);
        newData.clear();
        // Taking it lets the next one in.
        const QByteArray message = f.far()->recv();
        QVERIFY(!message.isEmpty());
        QVERIFY(message.size() <= kChunk);
        received += message;
    }
    QCOMPARE(newData.count(), 0);
    QCOMPARE(received, sent);
}

void TestChannelSocketWrapper::oneMessageAlsoWhenBothOpenPathsRead()
{
    // The far end is open before the wrapper exists, and the socket already holds more than
    // two chunks: opening the wrapper's end connects the pair, which reads, and the connected
    // socket asks for a read as well. Only one message may come of it.
    auto pair = BufferedChannel::makePair(kCapacity);
    TcpSocketPair sockets;
    QVERIFY(sockets.ok());
    sockets.client()->write(TestBytes::make(3 * kChunk));
    QTRY_VERIFY(sockets.server()->bytesAvailable() >= 2 * kChunk);
    pair.second->open();
    QSignalSpy newData(pair.second.get(), &Channel::newData);
    ChannelSocketWrapper wrapper(pair.first.release(), sockets.takeServer().release(), kChunk, true,
                                 nullptr);
    QCOMPARE(newData.count(), 1);
    QCoreApplication::processEvents();
    QCOMPARE(newData.count(), 1);
    QCOMPARE(pair.second->recv().size(), kChunk);
    QCOMPARE(newData.count(), 2);
    QVERIFY(pair.second->recv().size() > 0);
}

void TestChannelSocketWrapper::messageLeavesTheChannelOnlyWhenWritten()
{
    Fixture f;
    QVERIFY(f.ready);
    // Small socket buffers and a client that reads nothing yet: the message cannot be written
    // at once.
    f.socket->setSocketOption(QAbstractSocket::SendBufferSizeSocketOption, 16384);
    f.client()->setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, 16384);
    f.client()->setReadBufferSize(4096);
    f.far()->open();
    QSignalSpy dataSent(f.far(), &Channel::dataSent);
    const QByteArray first = TestBytes::make(kCapacity, 1);
    QVERIFY(f.far()->send(first));
    for (int i = 0; i < 20; ++i)
        QCoreApplication::processEvents();
    QCOMPARE(dataSent.count(), 0);
    // The budget stays full until the wrapper has written the message and taken it.
    QVERIFY(!f.far()->send("x"));
    QCOMPARE(f.nearEnd->peek(), first);

    f.client()->setReadBufferSize(0);
    Received received(f.client());
    QTRY_COMPARE(dataSent.count(), 1);
    QVERIFY(f.nearEnd->peek().isEmpty());
    QCOMPARE(f.far()->pending(), qint64(0));
    const QByteArray second = TestBytes::make(1000, 2);
    QVERIFY(f.far()->send(second));
    QTRY_COMPARE(dataSent.count(), 2);
    QTRY_COMPARE(received.data, first + second);
    QVERIFY(!received.ended);
}

void TestChannelSocketWrapper::farOwnerSendingFromDataSent()
{
    // The far owner hands over its next message while the wrapper is still taking the last one
    // out, from within the socket's report of written bytes. Those writes must be accounted too.
    Fixture f;
    QVERIFY(f.ready);
    f.far()->open();
    Received received(f.client());
    const QByteArray sent = TestBytes::make(16 * 1024 * 1024, 3);
    int offset = 0;
    auto sendNext = [&] {
        if (offset >= sent.size())
            return;
        const QByteArray message = sent.mid(offset, kCapacity);
        offset += message.size(); // before send(): the answer may come from within it
        QVERIFY(f.far()->send(message));
    };
    QObject::connect(f.far(), &Channel::dataSent, sendNext);
    sendNext();
    QTRY_COMPARE_WITH_TIMEOUT(received.data.size(), sent.size(), 30000);
    int firstDifference = -1;
    for (int i = 0; i < sent.size() && firstDifference < 0; ++i) {
        if (sent.at(i) != received.data.at(i))
            firstDifference = i;
    }
    QCOMPARE(firstDifference, -1);
    QCOMPARE(TestBytes::sha256(received.data), TestBytes::sha256(sent));
}

void TestChannelSocketWrapper::localCloseCarriesEveryByte_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<bool>("farWaits"); // the far owner takes nothing until the client is gone
    for (int size : {1, kChunk - 1, kChunk, kChunk + 1, 300000}) {
        QTest::addRow("%d bytes", size) << size << false;
        QTest::addRow("%d bytes, far owner late", size) << size << true;
    }
}

void TestChannelSocketWrapper::localCloseCarriesEveryByte()
{
    QFETCH(int, size);
    QFETCH(bool, farWaits);
    Fixture f;
    QVERIFY(f.ready);
    f.far()->open();
    QByteArray received;
    bool take = !farWaits;
    QObject::connect(f.far(), &Channel::newData, [&] {
        if (take)
            received += f.far()->recv();
    });
    QSignalSpy farClosed(f.far(), &Channel::closed);
    QSignalSpy wrapperClosed(f.wrapper.get(), &ChannelSocketWrapper::closed);
    QSignalSpy farError(f.far(), &Channel::error);

    const QByteArray sent = TestBytes::make(size, quint32(size));
    f.client()->write(sent);
    f.client()->disconnectFromHost();
    QTRY_COMPARE(f.client()->state(), QAbstractSocket::UnconnectedState);
    if (farWaits) {
        for (int i = 0; i < 20; ++i)
            QCoreApplication::processEvents();
        // The channel closes once everything is read into it; until then a message waits for
        // the far owner. The last one stays queued for it after the close.
        QCOMPARE(f.far()->isOpen(), size > kChunk);
        QCOMPARE(farClosed.count(), size > kChunk ? 0 : 1);
        received += f.far()->peek();
        take = true;
        f.far()->recv(); // lets the next message in, which the handler above takes
    }
    QTRY_COMPARE(farClosed.count(), 1);
    QCOMPARE(received.size(), sent.size());
    QCOMPARE(TestBytes::sha256(received), TestBytes::sha256(sent));
    QTRY_COMPARE(wrapperClosed.count(), 1);
    // A peer's close is the end of its input, not an error.
    QCOMPARE(farError.count(), 0);
}

void TestChannelSocketWrapper::channelCloseDeliversWhatIsQueued_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<bool>("destroy"); // the far end is destroyed rather than closed
    for (int size : {1, kChunk, kCapacity}) {
        QTest::addRow("%d bytes, far closes", size) << size << false;
        QTest::addRow("%d bytes, far destroyed", size) << size << true;
    }
}

void TestChannelSocketWrapper::channelCloseDeliversWhatIsQueued()
{
    QFETCH(int, size);
    QFETCH(bool, destroy);
    Fixture f;
    QVERIFY(f.ready);
    f.far()->open();
    Received received(f.client());
    QSignalSpy wrapperClosed(f.wrapper.get(), &ChannelSocketWrapper::closed);

    const QByteArray sent = TestBytes::make(size, 7);
    QVERIFY(f.far()->send(sent));
    if (destroy)
        f.farEnd.reset();
    else
        f.far()->close();

    QTRY_VERIFY(received.ended);
    QCOMPARE(received.data.size(), sent.size());
    QCOMPARE(TestBytes::sha256(received.data), TestBytes::sha256(sent));
    QTRY_COMPARE(wrapperClosed.count(), 1);
    QCoreApplication::processEvents();
    QCOMPARE(wrapperClosed.count(), 1);
}

void TestChannelSocketWrapper::farEndGoneBeforeItOpenedClosesTheClient()
{
    // The relay side refused or dropped the connection before it ever opened its end.
    Fixture f;
    QVERIFY(f.ready);
    Received received(f.client());
    QSignalSpy wrapperClosed(f.wrapper.get(), &ChannelSocketWrapper::closed);
    f.client()->write("request that will never be carried");
    f.far()->sendError("Peer refused connection");
    f.far()->close();
    f.farEnd.reset();
    QTRY_VERIFY(received.ended);
    QCOMPARE(received.data, QByteArray());
    QTRY_COMPARE(wrapperClosed.count(), 1);
}

void TestChannelSocketWrapper::drainTimeLimit()
{
    // A local peer that reads nothing cannot hold the wrapper open beyond the time limit.
    Fixture f;
    QVERIFY(f.ready);
    f.wrapper->setDrainTimeout(300);
    f.socket->setSocketOption(QAbstractSocket::SendBufferSizeSocketOption, 4096);
    f.client()->setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, 4096);
    f.client()->setReadBufferSize(4096);
    f.far()->open();
    QSignalSpy wrapperClosed(f.wrapper.get(), &ChannelSocketWrapper::closed);
    QSignalSpy dataSent(f.far(), &Channel::dataSent);
    QVERIFY(f.far()->send(TestBytes::make(kCapacity)));
    f.far()->close();
    QTRY_COMPARE_WITH_TIMEOUT(wrapperClosed.count(), 1, 10000);
    QCOMPARE(dataSent.count(), 0);
    QCOMPARE(f.socket->state(), QAbstractSocket::UnconnectedState);
}

void TestChannelSocketWrapper::closeClosesTheChannel()
{
    Fixture f;
    QVERIFY(f.ready);
    f.far()->open();
    Received received(f.client());
    QSignalSpy farClosed(f.far(), &Channel::closed);
    QSignalSpy wrapperClosed(f.wrapper.get(), &ChannelSocketWrapper::closed);
    f.wrapper->close();
    QCOMPARE(farClosed.count(), 1);
    QTRY_VERIFY(received.ended);
    QTRY_COMPARE(wrapperClosed.count(), 1);
}

void TestChannelSocketWrapper::destructionDeletesWhatItOwns_data()
{
    QTest::addColumn<bool>("owns");
    QTest::newRow("owns") << true;
    QTest::newRow("does not own") << false;
}

void TestChannelSocketWrapper::destructionDeletesWhatItOwns()
{
    QFETCH(bool, owns);
    auto pair = BufferedChannel::makePair(kCapacity);
    TcpSocketPair sockets;
    QVERIFY(sockets.ok());
    QPointer<Channel> nearEnd = pair.first.get();
    QPointer<QTcpSocket> socket = sockets.server();
    std::unique_ptr<Channel> keptChannel;
    std::unique_ptr<QTcpSocket> keptSocket;
    auto wrapper = std::make_unique<ChannelSocketWrapper>(pair.first.get(), sockets.server(),
                                                          kChunk, owns, nullptr);
    if (owns) {
        pair.first.release();
        sockets.takeServer().release();
    } else {
        keptChannel = std::move(pair.first);
        keptSocket = sockets.takeServer();
    }
    pair.second->open();
    QSignalSpy farClosed(pair.second.get(), &Channel::closed);
    QSignalSpy wrapperClosed(wrapper.get(), &ChannelSocketWrapper::closed);
    wrapper.reset();
    QCOMPARE(farClosed.count(), 1);
    QCOMPARE(wrapperClosed.count(), 0);
    QCOMPARE(nearEnd.isNull(), owns);
    QCOMPARE(socket.isNull(), owns);
}

TOLVANE_TEST_MAIN(TestChannelSocketWrapper)
#include "tst_channelsocketwrapper.moc"
