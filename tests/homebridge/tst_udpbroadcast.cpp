#include "homebridge/udpbroadcast.h"
#include "support/logcapture.h"
#include "support/testmain.h"

#include <QUdpSocket>

namespace {

const QHostAddress kLoopback(QHostAddress::LocalHost);
const QHostAddress kLoopbackBroadcast(QStringLiteral("127.255.255.255"));

// What the receiver emits for the datagrams, up to a marker sent after them.
QStringList textsOf(QSignalSpy &spy, const QByteArrayList &datagrams,
                    const QHostAddress &to = kLoopback)
{
    QUdpSocket sender;
    for (const QByteArray &datagram : datagrams + QByteArrayList{"end"})
        sender.writeDatagram(datagram, to, UdpBroadcast::kPort);
    QStringList texts;
    // A missing marker shows in the caller's comparison.
    (void)QTest::qWaitFor([&] { return !spy.isEmpty() && spy.last().at(0) == "end"; }, 20000);
    for (const QList<QVariant> &emitted : spy)
        texts << emitted.at(0).toString();
    return texts;
}

} // namespace

class TestUdpBroadcast : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void textOfDatagram_data()
    {
        QTest::addColumn<QByteArrayList>("datagrams");
        QTest::addColumn<QStringList>("texts");
        const QByteArray large(65000, 'x');
        QTest::newRow("two") << QByteArrayList{"a@example.org", "Grüße"}
                             << QStringList{"a@example.org", "Grüße", "end"};
        QTest::newRow("zero byte ends the text")
            << QByteArrayList{QByteArray("abc\0def", 7)} << QStringList{"abc", "end"};
        QTest::newRow("request token")
            << QByteArrayList{"tm#accounts", "x tm#accounts y"} << QStringList{"end"};
        QTest::newRow("large datagram whole")
            << QByteArrayList{large} << QStringList{QString(large), "end"};
    }
    void textOfDatagram()
    {
        QFETCH(QByteArrayList, datagrams);
        QFETCH(QStringList, texts);
        UdpBroadcast receiver;
        QSignalSpy spy(&receiver, &UdpBroadcast::accountsData);
        QCOMPARE(textsOf(spy, datagrams), texts);
    }

    void secondInstanceAlsoReceives()
    {
        UdpBroadcast first, second;
        QSignalSpy firstSpy(&first, &UdpBroadcast::accountsData);
        QSignalSpy secondSpy(&second, &UdpBroadcast::accountsData);
        QCOMPARE(textsOf(secondSpy, {"data"}, kLoopbackBroadcast), (QStringList{"data", "end"}));
        QTRY_COMPARE(firstSpy.count(), 2);
        QCOMPARE(firstSpy.at(0).at(0).toString(), QStringLiteral("data"));
    }

    void failedBindStillSends()
    {
        QUdpSocket holder;
        QVERIFY(holder.bind(QHostAddress::Any, UdpBroadcast::kPort, QUdpSocket::DontShareAddress));
        TestSupport::LogCapture log;
        UdpBroadcast broadcast;
        QVERIFY(log.contains(QStringLiteral("Unable to bind adress: 1 ; port: 48484")));
        broadcast.setBroadcastAddress(kLoopback);
        broadcast.getAccountList();
        QTRY_VERIFY_WITH_TIMEOUT(holder.hasPendingDatagrams(), 20000);
        QCOMPARE(holder.receiveDatagram().data(), QByteArray("tm#accounts"));
    }
};

TOLVANE_TEST_MAIN(TestUdpBroadcast)
#include "tst_udpbroadcast.moc"
