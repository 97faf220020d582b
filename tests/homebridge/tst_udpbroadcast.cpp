#include "homebridge/udpbroadcast.h"
#include "support/logcapture.h"
#include "support/testmain.h"

#include <QUdpSocket>

namespace {
// Reaches every socket bound to the port on the loopback network.
const QHostAddress kLoopbackBroadcast(QStringLiteral("127.255.255.255"));

QStringList pendingTexts(QUdpSocket &socket)
{
    QStringList texts;
    while (socket.hasPendingDatagrams())
        texts << QString::fromUtf8(socket.receiveDatagram().data());
    return texts;
}
} // namespace

class TestUdpBroadcast : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void receiving_data()
    {
        // The socket that holds the port before the broadcast binds it (none, shared or not);
        // whether the broadcast then binds, and which datagrams it passes on.
        QTest::addColumn<int>("otherMode"); // -1: no other socket
        QTest::addColumn<bool>("binds");
        QTest::addColumn<QStringList>("passedOn");
        // A zero byte ends the text; requests, with the token anywhere (after a zero byte too),
        // are not account data.
        QTest::newRow("alone") << -1 << true << QStringList{"abc", "end"};
        QTest::newRow("beside a ShareAddress listener")
            << int(QAbstractSocket::ShareAddress) << true << QStringList{"abc", "end"};
        QTest::newRow("port held: bind fails, sending works")
            << int(QAbstractSocket::DontShareAddress) << false << QStringList();
    }
    void receiving()
    {
        QFETCH(int, otherMode);
        QFETCH(bool, binds);
        QFETCH(QStringList, passedOn);
        QUdpSocket other;
        if (otherMode >= 0) {
            QVERIFY(other.bind(QHostAddress::Any, UdpBroadcast::kPort,
                               QAbstractSocket::BindMode(otherMode)));
        }
        TestSupport::LogCapture log;
        UdpBroadcast receiver;
        QCOMPARE(log.count("] Unable to bind adress: 1 ; port: 48484 "), int(!binds));
        QSignalSpy spy(&receiver, &UdpBroadcast::accountsData);

        QUdpSocket sender;
        const QByteArrayList datagrams{QByteArray("abc\0def", 7), "tm#accounts", "x tm#accounts y",
                                       QByteArray("ghi\0tm#accounts", 15), "end"};
        for (const QByteArray &datagram : datagrams)
            QCOMPARE(sender.writeDatagram(datagram, kLoopbackBroadcast, UdpBroadcast::kPort),
                     qint64(datagram.size()));
        receiver.setBroadcastAddress(kLoopbackBroadcast);
        receiver.getAccountList();
        if (otherMode >= 0) {
            // The other listener gets every datagram, the broadcast's own request included.
            QStringList received;
            QTRY_COMPARE_WITH_TIMEOUT(
                received += pendingTexts(other),
                (QStringList{"abc", "tm#accounts", "x tm#accounts y", "ghi", "end", "tm#accounts"}),
                20000);
        }
        if (binds)
            QTRY_VERIFY_WITH_TIMEOUT(!spy.isEmpty() && spy.last().at(0) == "end", 20000);
        QStringList texts;
        for (const QVariantList &arguments : qAsConst(spy))
            texts << arguments.at(0).toString();
        QCOMPARE(texts, passedOn);
    }
};

TOLVANE_TEST_MAIN(TestUdpBroadcast)
#include "tst_udpbroadcast.moc"
