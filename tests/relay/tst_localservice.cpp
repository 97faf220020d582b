#include "relay/bufferedchannel.h"
#include "relay/channelsocketwrapper.h"
#include "relay/localservice.h"
#include "support/echoserver.h"
#include "support/testmain.h"

#include <QPointer>
#include <QSignalSpy>
#include <QtTest>

using Relay::BufferedChannel;
using Relay::Channel;
using Relay::LocalService;
using TestSupport::EchoServer;

namespace {

// Hands the near end of a new pair to the service by slot name, as the router does; the test
// keeps the far end open, as the relay side would have it.
struct Handed
{
    Handed(LocalService *service, const QByteArray &serviceId)
    {
        auto pair = BufferedChannel::makePair(262144);
        nearEnd = pair.first.get();
        far = std::move(pair.second);
        far->open();
        invoked = QMetaObject::invokeMethod(service, "handleConnection", Qt::DirectConnection,
                                            Q_ARG(qulonglong, 7), Q_ARG(QByteArray, serviceId),
                                            Q_ARG(Relay::Channel *, pair.first.release()));
    }
    bool invoked = false;
    QPointer<Channel> nearEnd;
    std::unique_ptr<BufferedChannel> far;
};

} // namespace

class TestLocalService : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void connectsToTheServicePort();
    void serviceNotFound_data();
    void serviceNotFound();
    void refusedConnectionClosesThePair();
    void laterEntriesReplaceEarlierOnes();
    void wrapperGoesAwayAfterTheClose();
};

void TestLocalService::connectsToTheServicePort()
{
    EchoServer echo;
    QVERIFY(echo.listen(QHostAddress::LocalHost, 0));
    LocalService service;
    service.forward("ECHO", echo.serverPort());
    service.forwardToConnection("ECHO", 1);

    Handed handed(&service, "ECHO");
    QVERIFY(handed.invoked);
    QSignalSpy connected(handed.far.get(), &Channel::connected);
    QTRY_COMPARE(connected.count(), 1);
    QCOMPARE(echo.connectionCount(), 1);

    QVERIFY(handed.far->send("ping"));
    QTRY_COMPARE(handed.far->peek(), QByteArray("ping"));
    QCOMPARE(handed.far->recv(), QByteArray("ping"));
}

void TestLocalService::serviceNotFound_data()
{
    QTest::addColumn<bool>("withPort");
    QTest::newRow("unknown id") << false;
    QTest::newRow("port but not offered") << true;
}

void TestLocalService::serviceNotFound()
{
    QFETCH(bool, withPort);
    EchoServer echo;
    QVERIFY(echo.listen(QHostAddress::LocalHost, 0));
    LocalService service;
    if (withPort)
        service.forward("POP3", echo.serverPort());
    service.forwardToConnection("SMTP", 1);

    auto pair = BufferedChannel::makePair(262144);
    QPointer<Channel> nearEnd = pair.first.get();
    pair.second->open();
    QSignalSpy error(pair.second.get(), &Channel::error);
    QSignalSpy closed(pair.second.get(), &Channel::closed);
    QVERIFY(QMetaObject::invokeMethod(&service, "handleConnection", Qt::DirectConnection,
                                      Q_ARG(qulonglong, 7), Q_ARG(QByteArray, "POP3"),
                                      Q_ARG(Relay::Channel *, pair.first.release())));
    QCOMPARE(error.count(), 1);
    QCOMPARE(error.first().first().toString(), QStringLiteral("Service not found"));
    QCOMPARE(closed.count(), 1);
    QCOMPARE(pair.second->lastError(), QStringLiteral("Service not found"));
    // The refused end is not left behind.
    QTRY_VERIFY(nearEnd.isNull());
    QCoreApplication::processEvents();
    QCOMPARE(echo.connectionCount(), 0);
}

void TestLocalService::refusedConnectionClosesThePair()
{
    // A port where nothing listens: the far side hears of the failure and the pair closes.
    quint16 deadPort = 0;
    {
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
        deadPort = probe.serverPort();
    }
    LocalService service;
    service.forward("SMTP", deadPort);
    service.forwardToConnection("SMTP", 1);
    Handed handed(&service, "SMTP");
    QVERIFY(handed.invoked);
    QSignalSpy error(handed.far.get(), &Channel::error);
    QSignalSpy closed(handed.far.get(), &Channel::closed);
    QTRY_COMPARE(closed.count(), 1);
    QCOMPARE(error.count(), 1);
    QCOMPARE(error.first().first().toString(), QStringLiteral("Remote socket error"));
    QTRY_VERIFY(service.findChildren<Relay::ChannelSocketWrapper *>().isEmpty());
    QTRY_VERIFY(handed.nearEnd.isNull());

    // With no port recorded at all, port 0 is tried and fails the same way.
    LocalService noPort;
    noPort.forwardToConnection("PMTP", 1);
    Handed second(&noPort, "PMTP");
    QSignalSpy closedToo(second.far.get(), &Channel::closed);
    QTRY_COMPARE(closedToo.count(), 1);
}

void TestLocalService::laterEntriesReplaceEarlierOnes()
{
    EchoServer wrong;
    EchoServer right;
    QVERIFY(wrong.listen(QHostAddress::LocalHost, 0));
    QVERIFY(right.listen(QHostAddress::LocalHost, 0));
    LocalService service;
    service.forward("POP3", wrong.serverPort());
    service.forward("POP3", right.serverPort());
    service.forwardToConnection("POP3", 1);
    service.forwardToConnection("POP3", 2);
    Handed handed(&service, "POP3");
    QSignalSpy connected(handed.far.get(), &Channel::connected);
    QTRY_COMPARE(connected.count(), 1);
    QCOMPARE(right.connectionCount(), 1);
    QCOMPARE(wrong.connectionCount(), 0);
}

void TestLocalService::wrapperGoesAwayAfterTheClose()
{
    EchoServer echo;
    QVERIFY(echo.listen(QHostAddress::LocalHost, 0));
    LocalService service;
    service.forward("ECHO", echo.serverPort());
    service.forwardToConnection("ECHO", 1);
    Handed handed(&service, "ECHO");
    QSignalSpy connected(handed.far.get(), &Channel::connected);
    QTRY_COMPARE(connected.count(), 1);
    QCOMPARE(service.findChildren<Relay::ChannelSocketWrapper *>().size(), 1);
    handed.far->close();
    QTRY_VERIFY(service.findChildren<Relay::ChannelSocketWrapper *>().isEmpty());
    QVERIFY(handed.nearEnd.isNull());
    QVERIFY(service.findChildren<QTcpSocket *>().isEmpty());
}

TOLVANE_TEST_MAIN(TestLocalService)
#include "tst_localservice.moc"
