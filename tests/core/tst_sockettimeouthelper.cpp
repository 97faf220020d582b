#include "core/sockettimeouthelper.h"
#include "support/stalledlistener.h"
#include "support/testmain.h"

#include <QAbstractEventDispatcher>
#include <QElapsedTimer>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QtTest>
#include <memory>

class TestSocketTimeoutHelper : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();

    void idleUntilConnected();
    void startNowThenConnectedCountsOnce();
    void trafficKeepsTheSocket_data();
    void trafficKeepsTheSocket();
    void foreignTimerEventIsIgnored();
    void disconnectionWithoutExpiryKeepsTheWatchdog();
    void connectingAttemptIsAbandoned();
    void goesWithTheSocket();

private:
    static int timersOf(QObject *object)
    {
        return QAbstractEventDispatcher::instance()->registeredTimers(object).size();
    }
    QTcpSocket *acceptPeer();

    std::unique_ptr<QTcpServer> m_server;
};

void TestSocketTimeoutHelper::init()
{
    m_server = std::make_unique<QTcpServer>();
    QVERIFY(m_server->listen(QHostAddress(QStringLiteral("127.0.0.1"))));
}

void TestSocketTimeoutHelper::cleanup()
{
    m_server.reset();
}

QTcpSocket *TestSocketTimeoutHelper::acceptPeer()
{
    if (!m_server->hasPendingConnections() && !m_server->waitForNewConnection(10000))
        return nullptr;
    return m_server->nextPendingConnection();
}

void TestSocketTimeoutHelper::idleUntilConnected()
{
    QTcpSocket socket;
    QPointer<SocketTimeoutHelper> helper = new SocketTimeoutHelper(&socket, 300, false);
    QCOMPARE(helper->parent(), &socket);
    QVERIFY(!helper->isCounting());
    QCOMPARE(timersOf(helper), 0);

    // Looked at as the connection is reported (after the watchdog's own slot): polling later
    // could miss the short count on a slow machine.
    int timersOnConnection = -1;
    connect(&socket, &QAbstractSocket::connected, this, [&] {
        timersOnConnection = helper && helper->isCounting() ? timersOf(helper) : 0;
    });
    QSignalSpy disconnected(&socket, &QAbstractSocket::disconnected);
    socket.connectToHost(m_server->serverAddress(), m_server->serverPort());
    QTRY_VERIFY_WITH_TIMEOUT(timersOnConnection >= 0, 10000);
    QCOMPARE(timersOnConnection, 1);

    // The peer stays silent: the socket is closed and the watchdog goes.
    QVERIFY(disconnected.count() == 1 || disconnected.wait(10000));
    QTRY_VERIFY_WITH_TIMEOUT(helper.isNull(), 10000);
}

void TestSocketTimeoutHelper::startNowThenConnectedCountsOnce()
{
    QTcpSocket socket;
    QPointer<SocketTimeoutHelper> helper = new SocketTimeoutHelper(&socket, 60000, true);
    QVERIFY(helper->isCounting());
    QCOMPARE(timersOf(helper), 1);
    QSignalSpy connected(&socket, &QAbstractSocket::connected);
    socket.connectToHost(m_server->serverAddress(), m_server->serverPort());
    QVERIFY(connected.count() == 1 || connected.wait(10000));
    QVERIFY(helper->isCounting());
    QCOMPARE(timersOf(helper), 1);
    helper->start();
    helper->updateTime();
    QCOMPARE(timersOf(helper), 1);
    helper->stop();
    QVERIFY(!helper->isCounting());
    QCOMPARE(timersOf(helper), 0);
}

void TestSocketTimeoutHelper::trafficKeepsTheSocket_data()
{
    QTest::addColumn<bool>("peerTalks");
    QTest::newRow("the peer writes") << true;
    QTest::newRow("the socket writes") << false;
}

void TestSocketTimeoutHelper::trafficKeepsTheSocket()
{
    QFETCH(bool, peerTalks);
    QTcpSocket socket;
    QPointer<SocketTimeoutHelper> helper = new SocketTimeoutHelper(&socket, 1500, false);
    socket.connectToHost(m_server->serverAddress(), m_server->serverPort());
    QVERIFY(socket.waitForConnected(10000));
    QTcpSocket *peer = acceptPeer();
    QVERIFY(peer);
    QSignalSpy disconnected(&socket, &QAbstractSocket::disconnected);

    QTimer talk;
    talk.setInterval(100);
    connect(&talk, &QTimer::timeout, this, [&] {
        if (peerTalks)
            peer->write("x");
        else
            socket.write("y");
    });
    connect(&socket, &QIODevice::readyRead, &socket, [&] { socket.readAll(); });
    connect(peer, &QIODevice::readyRead, peer, [&] { peer->readAll(); });
    talk.start();
    QElapsedTimer elapsed;
    elapsed.start();
    QTRY_VERIFY_WITH_TIMEOUT(elapsed.hasExpired(3000), 20000);
    QCOMPARE(disconnected.count(), 0);
    QCOMPARE(socket.state(), QAbstractSocket::ConnectedState);
    QVERIFY(helper);
    QCOMPARE(timersOf(helper), 1);

    talk.stop();
    QVERIFY(disconnected.wait(20000));
    QTRY_VERIFY_WITH_TIMEOUT(helper.isNull(), 10000);
}

void TestSocketTimeoutHelper::foreignTimerEventIsIgnored()
{
    QTcpSocket socket;
    QPointer<SocketTimeoutHelper> helper = new SocketTimeoutHelper(&socket, 60000, false);
    socket.connectToHost(m_server->serverAddress(), m_server->serverPort());
    QVERIFY(socket.waitForConnected(10000));
    QTRY_VERIFY_WITH_TIMEOUT(helper->isCounting(), 10000);
    const QList<QAbstractEventDispatcher::TimerInfo> timers =
        QAbstractEventDispatcher::instance()->registeredTimers(helper);
    QCOMPARE(timers.size(), 1);

    QTimerEvent foreign(timers.first().timerId + 1000);
    QCoreApplication::sendEvent(helper, &foreign);
    QVERIFY(!foreign.isAccepted());
    QCoreApplication::processEvents();
    QVERIFY(helper);
    QVERIFY(helper->isCounting());
    QCOMPARE(socket.state(), QAbstractSocket::ConnectedState);

    // The watchdog's own timer id does close the socket.
    QSignalSpy disconnected(&socket, &QAbstractSocket::disconnected);
    QTimerEvent own(timers.first().timerId);
    QCoreApplication::sendEvent(helper, &own);
    QVERIFY(own.isAccepted());
    QVERIFY(disconnected.count() == 1 || disconnected.wait(10000));
    QTRY_VERIFY_WITH_TIMEOUT(helper.isNull(), 10000);
}

void TestSocketTimeoutHelper::disconnectionWithoutExpiryKeepsTheWatchdog()
{
    QTcpSocket socket;
    QPointer<SocketTimeoutHelper> helper = new SocketTimeoutHelper(&socket, 60000, false);
    socket.connectToHost(m_server->serverAddress(), m_server->serverPort());
    QVERIFY(socket.waitForConnected(10000));
    QTcpSocket *peer = acceptPeer();
    QVERIFY(peer);
    QTRY_VERIFY_WITH_TIMEOUT(helper->isCounting(), 10000);

    QSignalSpy disconnected(&socket, &QAbstractSocket::disconnected);
    peer->disconnectFromHost();
    QVERIFY(disconnected.wait(10000));
    QCoreApplication::processEvents();
    QVERIFY(helper);
    QVERIFY(!helper->isCounting());
    QCOMPARE(timersOf(helper), 0);

    // It counts again on the next connection.
    socket.connectToHost(m_server->serverAddress(), m_server->serverPort());
    QTRY_VERIFY_WITH_TIMEOUT(helper->isCounting(), 10000);
    QCOMPARE(timersOf(helper), 1);
}

void TestSocketTimeoutHelper::connectingAttemptIsAbandoned()
{
    TestSupport::StalledListener stalled;
    QVERIFY(stalled.isValid());
    QTcpSocket socket;
    QPointer<SocketTimeoutHelper> helper = new SocketTimeoutHelper(&socket, 200, true);
    socket.connectToHost(stalled.address(), stalled.port());
    QCOMPARE(socket.state(), QAbstractSocket::ConnectingState);
    QTRY_COMPARE_WITH_TIMEOUT(socket.state(), QAbstractSocket::UnconnectedState, 20000);
    QTRY_VERIFY_WITH_TIMEOUT(helper.isNull(), 10000);
}

void TestSocketTimeoutHelper::goesWithTheSocket()
{
    auto socket = std::make_unique<QTcpSocket>();
    QPointer<SocketTimeoutHelper> helper = new SocketTimeoutHelper(socket.get(), 100, true);
    socket.reset();
    QVERIFY(helper.isNull());
}

TOLVANE_TEST_MAIN(TestSocketTimeoutHelper)
#include "tst_sockettimeouthelper.moc"
