#include "relay/bufferedchannel.h"
#include "relay/v2/carriedconnections.h"
#include "relay/v2/link.h"
#include "support/testmain.h"

#include <QSignalSpy>
#include <QtTest>
#include <memory>

using Relay::V2::CarriedConnections;

namespace {

// What the link writes, kept; it never has anything to read.
class Wire : public QIODevice
{
public:
    Wire() { open(QIODevice::ReadWrite); }
    bool isSequential() const override { return true; }
    QByteArray take() { return std::exchange(m_written, QByteArray()); }

protected:
    qint64 readData(char *, qint64) override { return 0; }
    qint64 writeData(const char *data, qint64 size) override
    {
        m_written.append(data, int(size));
        return size;
    }

private:
    QByteArray m_written;
};

// Carried connections over a captured wire, with one connection (id 4) whose local end is open.
struct Fixture
{
    Wire wire;
    Relay::V2::Link link{&wire, nullptr};
    CarriedConnections carried{link};
    Relay::Channel *local = nullptr; // the local side's end, as a socket wrapper holds it
    quint64 requestId = 0;

    explicit Fixture(bool connect = true)
    {
        auto pair = Relay::BufferedChannel::makePair(262144);
        local = pair.first.release();
        local->open();
        carried.request(77, "POP3", pair.second.release());
        const QByteArray request = wire.take();
        requestId = request.mid(request.lastIndexOf(' ') + 1).trimmed().toULongLong();
        if (connect)
            carried.onConnected(4, requestId);
    }
    ~Fixture() { delete local; }
};

} // namespace

// Flow control and the ends of carried connections, byte for byte on the wire.
class TestCarriedConnections : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void cleanup() { QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete); }

    void requestAndBlocksGoOutOnceEach()
    {
        Fixture f(false);
        QCOMPARE(f.carried.liveRequestCount(), 1);
        QVERIFY(f.local->send("first"));
        QVERIFY(f.local->send("second"));
        QCOMPARE(f.wire.take(), QByteArray()); // no id yet
        f.carried.onConnected(4, f.requestId);
        QCOMPARE(f.wire.take(), QByteArray("DATA: 4 5\nfirst"));
        f.carried.onTrans(4, true);
        QCOMPARE(f.wire.take(), QByteArray("DATA: 4 6\nsecond"));
        f.carried.onTrans(4, true);
        QCOMPARE(f.wire.take(), QByteArray());
        QCOMPARE(f.local->peek(), QByteArray());
    }

    void localClose_data()
    {
        QTest::addColumn<QByteArrayList>("blocks");
        QTest::addColumn<bool>("connected"); // CONNECTED came before the close
        QTest::addColumn<QByteArray>("atClose");
        QTest::addColumn<QByteArray>("afterTrans"); // after a TRANS OK for what is on the wire
        QTest::newRow("nothing sent")
            << QByteArrayList() << true << QByteArray("DISCONNECTED: 4\n") << QByteArray();
        QTest::newRow("last block on the wire, TRANS withheld")
            << QByteArrayList({"a"}) << true << QByteArray("DATA: 4 1\naDISCONNECTED: 4\n")
            << QByteArray();
        QTest::newRow("a block waits behind the one on the wire")
            << QByteArrayList({"a", "bc"}) << true << QByteArray("DATA: 4 1\na")
            << QByteArray("DATA: 4 2\nbcDISCONNECTED: 4\n");
        QTest::newRow("closed before CONNECTED")
            << QByteArrayList({"early"}) << false << QByteArray("DATA: 4 5\nearlyDISCONNECTED: 4\n")
            << QByteArray();
    }

    void localClose()
    {
        QFETCH(QByteArrayList, blocks);
        QFETCH(bool, connected);
        QFETCH(QByteArray, atClose);
        QFETCH(QByteArray, afterTrans);
        Fixture f(connected);
        for (const QByteArray &block : blocks)
            QVERIFY(f.local->send(block));
        f.local->close();
        if (!connected)
            f.carried.onConnected(4, f.requestId);
        QCOMPARE(f.wire.take(), atClose);
        // Each TRANS answers a block on the wire; the one crossing the close is no error.
        for (int i = 0; i < blocks.size(); ++i)
            f.carried.onTrans(4, true);
        QCOMPARE(f.wire.take(), afterTrans);
        QCOMPARE(f.carried.connectionCount(), 0);
    }

    void drainLimitEndsAWaitingClose()
    {
        Fixture f;
        f.carried.setDrainTimeout(50);
        QVERIFY(f.local->send("a"));
        QVERIFY(f.local->send("b"));
        f.local->close();
        QCOMPARE(f.wire.take(), QByteArray("DATA: 4 1\na"));
        QTRY_COMPARE(f.carried.connectionCount(), 0);
        QCOMPARE(f.wire.take(), QByteArray("DISCONNECTED: 4\n"));
    }

    void dataFromThePeer_data()
    {
        QTest::addColumn<QByteArrayList>("payloads");
        QTest::addColumn<bool>("localTakes");
        QTest::addColumn<QByteArray>("expected");
        QTest::newRow("TRANS once the local side took it")
            << QByteArrayList({"wor\nld"}) << true << QByteArray("TRANS: 4 OK\n");
        QTest::newRow("nothing before it is taken")
            << QByteArrayList({"x"}) << false << QByteArray();
        QTest::newRow("empty block acknowledged at once")
            << QByteArrayList({""}) << false << QByteArray("TRANS: 4 OK\n");
        QTest::newRow("second before the TRANS ends the connection")
            << QByteArrayList({"x", "y"}) << false
            << QByteArray("TRANS: 4 FAIL\nERROR: 4 45\nSending data before previous packet was "
                          "ACKedDISCONNECTED: 4\n");
    }

    void dataFromThePeer()
    {
        QFETCH(QByteArrayList, payloads);
        QFETCH(bool, localTakes);
        QFETCH(QByteArray, expected);
        Fixture f;
        for (const QByteArray &payload : payloads)
            f.carried.onData(4, payload);
        if (localTakes)
            QCOMPARE(f.local->recv(), payloads.first());
        QCOMPARE(f.wire.take(), expected);
    }

    void peerEnds_data()
    {
        QTest::addColumn<int>("how");
        QTest::addColumn<QString>("localError");
        QTest::addColumn<QByteArray>("expected");
        QTest::newRow("DISCONNECT, silently") << 0 << QString() << QByteArray();
        QTest::newRow("TRANS FAIL") << 1 << "Transfer failed" << QByteArray("DISCONNECTED: 4\n");
        QTest::newRow("FAIL answering the request") << 2 << "no such service" << QByteArray();
        QTest::newRow("CONNECTION FAIL") << 3 << "Peer refused connection" << QByteArray();
    }

    void peerEnds()
    {
        QFETCH(int, how);
        QFETCH(QString, localError);
        QFETCH(QByteArray, expected);
        Fixture f(how < 2);
        Relay::Channel *local = f.local;
        std::unique_ptr<Relay::Channel> far;
        if (how == 3) { // a connection this side offered (CONNECTED), which the peer refuses
            auto pair = Relay::BufferedChannel::makePair(262144);
            far.reset(pair.first.release());
            far->open();
            local = far.get();
            f.carried.add(pair.second.release(), 9);
        }
        QSignalSpy closed(local, &Relay::Channel::closed);
        QVERIFY(local->send("pending") || how == 3);
        f.wire.take();
        if (how == 0)
            f.carried.onDisconnect(4);
        else if (how == 1)
            f.carried.onTrans(4, false);
        else if (how == 2)
            QVERIFY(f.carried.onFail(f.requestId, "no such service"));
        else
            f.carried.onConnection(9, false);
        QCOMPARE(closed.count(), 1);
        QCOMPARE(local->lastError(), localError);
        QCOMPARE(f.wire.take(), expected);
        QCOMPARE(f.carried.connectionCount() + f.carried.liveRequestCount(), how == 3 ? 1 : 0);
    }
};

TOLVANE_TEST_MAIN(TestCarriedConnections)
#include "tst_carriedconnections.moc"
