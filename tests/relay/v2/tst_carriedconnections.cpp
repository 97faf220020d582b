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
struct Wire : QIODevice
{
    QByteArray written;
    Wire() { open(QIODevice::ReadWrite); }
    bool isSequential() const override { return true; }
    QByteArray take() { return std::exchange(written, QByteArray()); }
    qint64 readData(char *, qint64) override { return 0; }
    qint64 writeData(const char *data, qint64 size) override
    {
        written.append(data, int(size));
        return size;
    }
};

// Carried connections over a captured wire, with one connection (id 4) whose local end is open.
struct Fixture
{
    Wire wire;
    Relay::V2::Link link{&wire, nullptr};
    CarriedConnections carried{link};
    Relay::Channel *local = nullptr; // the local side's end, as a socket wrapper holds it
    quint64 requestId = 0;

    Fixture()
    {
        auto pair = Relay::BufferedChannel::makePair(262144);
        local = pair.first.release();
        local->open();
        carried.request(77, "POP3", pair.second.release());
        const QByteArray request = wire.take();
        requestId = request.mid(request.lastIndexOf(' ') + 1).trimmed().toULongLong();
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

    // Steps, one character each and a text for some: C the peer's CONNECTED (id 4), s<text>
    // the local side sends, c the local side closes, r the local side takes a block, d<text>
    // the peer's DATA, T / F the peer's TRANS OK / FAIL, X the peer's DISCONNECT, E the peer's
    // FAIL for the request.
    void flow_data()
    {
        QTest::addColumn<QStringList>("steps");
        QTest::addColumn<QByteArray>("wire");
        QTest::addColumn<QString>("localError"); // and the local side is closed when not null
        auto row = [](const char *name, const QString &steps, const QByteArray &wire,
                      const QString &error = QString()) {
            QTest::newRow(name) << steps.split(' ') << wire << error;
        };
        row("blocks go out once each, the next on TRANS", "C sa sbc T T",
            "DATA: 4 1\naDATA: 4 2\nbc");
        row("local close with nothing sent", "C c", "DISCONNECTED: 4\n", "");
        row("local close with a block waiting", "C sa sbc c T T",
            "DATA: 4 1\naDATA: 4 2\nbcDISCONNECTED: 4\n", "");
        row("local close before CONNECTED", "searly c C", "DATA: 4 5\nearlyDISCONNECTED: 4\n", "");
        row("local close before CONNECTED, nothing sent", "c C", "DISCONNECTED: 4\n", "");
        row("peer DATA: TRANS once taken", "C dwor\nld r", "TRANS: 4 OK\n");
        row("peer DATA not taken: no TRANS", "C dx", "");
        row("empty DATA acknowledged at once", "C d", "TRANS: 4 OK\n");
        row("second DATA before the TRANS", "C dx dy",
            "TRANS: 4 FAIL\nERROR: 4 45\nSending data before previous packet was "
            "ACKedDISCONNECTED: 4\n",
            "");
        row("peer DISCONNECT, silently", "C sa X", "DATA: 4 1\na", "");
        row("TRANS FAIL", "C sa F", "DATA: 4 1\naDISCONNECTED: 4\n", "Transfer failed");
        row("FAIL answering the request", "sa E", "", "no such service");
    }

    void flow()
    {
        QFETCH(QStringList, steps);
        QFETCH(QByteArray, wire);
        QFETCH(QString, localError);
        Fixture f;
        QByteArray text;
        const QHash<char, std::function<void()>> actions = {
            {'C', [&] { f.carried.onConnected(4, f.requestId); }},
            {'s', [&] { QVERIFY(f.local->send(text)); }},
            {'c', [&] { f.local->close(); }},
            {'r', [&] { QCOMPARE(f.local->recv(), QByteArray("wor\nld")); }},
            {'d', [&] { f.carried.onData(4, text); }},
            {'T', [&] { f.carried.onTrans(4, true); }},
            {'F', [&] { f.carried.onTrans(4, false); }},
            {'X', [&] { f.carried.onDisconnect(4); }},
            {'E', [&] { QVERIFY(f.carried.onFail(f.requestId, "no such service")); }}};
        for (const QString &step : steps) {
            text = step.mid(1).toUtf8();
            actions.value(step.at(0).toLatin1())();
        }
        QCOMPARE(f.wire.take(), wire);
        QCOMPARE(f.local->isOpen(), localError.isNull());
        QCOMPARE(f.local->lastError(), localError.isNull() ? QString() : localError);
        if (!localError.isNull())
            QCOMPARE(f.carried.connectionCount() + f.carried.liveRequestCount(), 0);
    }

    void drainLimitEndsAWaitingClose()
    {
        Fixture f;
        f.carried.setDrainTimeout(50);
        f.carried.onConnected(4, f.requestId);
        QVERIFY(f.local->send("a"));
        QVERIFY(f.local->send("b"));
        f.local->close();
        QCOMPARE(f.wire.take(), QByteArray("DATA: 4 1\na"));
        QTRY_COMPARE(f.carried.connectionCount(), 0);
        QCOMPARE(f.wire.take(), QByteArray("DISCONNECTED: 4\n"));
    }
};

TOLVANE_TEST_MAIN(TestCarriedConnections)
#include "tst_carriedconnections.moc"
