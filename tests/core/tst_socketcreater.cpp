#include "core/socketcreater.h"
#include "core/sockettimeouthelper.h"
#include "support/testmain.h"

#include <QPointer>
#include <QSslSocket>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

class TestSocketCreater : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void createSocket_data();
    void createSocket();
    void watchdogClosesASilentConnection();
};

void TestSocketCreater::createSocket_data()
{
    QTest::addColumn<bool>("tls");
    QTest::addColumn<int>("timeout");
    QTest::addColumn<bool>("watchdog");
    QTest::newRow("plain, no time-out") << false << 0 << false;
    QTest::newRow("plain, negative time-out") << false << -5 << false;
    QTest::newRow("plain, 1 ms") << false << 1 << true;
    QTest::newRow("plain, 30 s") << false << 30000 << true;
    QTest::newRow("tls, no time-out") << true << 0 << false;
    QTest::newRow("tls, 30 s") << true << 30000 << true;
}

void TestSocketCreater::createSocket()
{
    QFETCH(bool, tls);
    QFETCH(int, timeout);
    QFETCH(bool, watchdog);

    QObject owner;
    QPointer<QTcpSocket> socket = tls ? SocketCreater::createSSLSocket(&owner, timeout)
                                      : SocketCreater::createSocket(&owner, timeout);
    QVERIFY(socket);
    QCOMPARE(socket->parent(), &owner);
    QCOMPARE(qobject_cast<QSslSocket *>(socket.data()) != nullptr, tls);
    QCOMPARE(socket->readBufferSize(), qint64(8192));
    auto *helper = socket->findChild<SocketTimeoutHelper *>();
    QCOMPARE(helper != nullptr, watchdog);
    if (helper)
        QVERIFY(!helper->isCounting()); // counts only once connected
}

void TestSocketCreater::watchdogClosesASilentConnection()
{
    QTcpServer server;
    QVERIFY(server.listen(QHostAddress(QStringLiteral("127.0.0.1"))));
    QObject owner;
    QTcpSocket *socket = SocketCreater::createSocket(&owner, 200);
    QSignalSpy disconnected(socket, &QAbstractSocket::disconnected);
    socket->connectToHost(server.serverAddress(), server.serverPort());
    QVERIFY(disconnected.wait(10000));
    QTRY_VERIFY_WITH_TIMEOUT(!socket->findChild<SocketTimeoutHelper *>(), 10000);
}

TOLVANE_TEST_MAIN(TestSocketCreater)
#include "tst_socketcreater.moc"
