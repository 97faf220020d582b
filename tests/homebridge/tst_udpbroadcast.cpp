#include "homebridge/udpbroadcast.h"
#include "support/testmain.h"

#include <QUdpSocket>

class TestUdpBroadcast : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // A zero byte ends the text; requests, with the token anywhere, are not account data.
    void textOfDatagram()
    {
        UdpBroadcast receiver;
        QSignalSpy spy(&receiver, &UdpBroadcast::accountsData);
        QUdpSocket sender;
        for (const QByteArray &datagram : {QByteArray("abc\0def", 7), QByteArray("tm#accounts"),
                                           QByteArray("x tm#accounts y"), QByteArray("end")})
            sender.writeDatagram(datagram, QHostAddress::LocalHost, UdpBroadcast::kPort);
        QTRY_VERIFY_WITH_TIMEOUT(!spy.isEmpty() && spy.last().at(0) == "end", 20000);
        QCOMPARE(spy.count(), 2);
        QCOMPARE(spy.first().at(0).toString(), QStringLiteral("abc"));
    }
};

TOLVANE_TEST_MAIN(TestUdpBroadcast)
#include "tst_udpbroadcast.moc"
