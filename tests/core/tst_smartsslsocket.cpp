#include "core/smartsslsocket.h"
#include "log/logger.h"
#include "support/messagerecorder.h"
#include "support/stalledlistener.h"
#include "support/testmain.h"

#include <QElapsedTimer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QtTest>
#include <memory>

class TestSmartSslSocket : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();

    void timerIdleAfterConstruction();
    void silentPeerIsDropped();
    void trafficKeepsTheSocket_data();
    void trafficKeepsTheSocket();
    void trafficNeverStartsAnIdleTimer();
    void setTimeoutWaitsForTheNextStart();
    void stopTimerStops();
    void disconnectionStopsTheTimer();
    void connectingAttemptIsAbandoned();

private:
    QTimer *timerOf(SmartSslSocket &socket);
    // Connects the socket to m_server in plain mode and returns the server's end.
    QTcpSocket *connectPlain(SmartSslSocket &socket);

    std::unique_ptr<QTcpServer> m_server;
};

void TestSmartSslSocket::initTestCase()
{
    Log::Logger("SmartSslSocket").setLevel(Log::TRACE);
}

void TestSmartSslSocket::init()
{
    m_server = std::make_unique<QTcpServer>();
    QVERIFY(m_server->listen(QHostAddress(QStringLiteral("127.0.0.1"))));
}

void TestSmartSslSocket::cleanup()
{
    m_server.reset();
}

QTimer *TestSmartSslSocket::timerOf(SmartSslSocket &socket)
{
    return socket.findChild<QTimer *>(QStringLiteral("inactivityTimer"),
                                      Qt::FindDirectChildrenOnly);
}

QTcpSocket *TestSmartSslSocket::connectPlain(SmartSslSocket &socket)
{
    socket.connectToHost(m_server->serverAddress(), m_server->serverPort());
    if (!socket.waitForConnected(10000))
        return nullptr;
    if (!m_server->hasPendingConnections() && !m_server->waitForNewConnection(10000))
        return nullptr;
    return m_server->nextPendingConnection();
}

void TestSmartSslSocket::timerIdleAfterConstruction()
{
    SmartSslSocket socket;
    QTimer *timer = timerOf(socket);
    QVERIFY(timer);
    QVERIFY(!timer->isActive());
    QVERIFY(!timer->isSingleShot());
    QCOMPARE(socket.timeout(), 300000);
}

void TestSmartSslSocket::silentPeerIsDropped()
{
    TestSupport::MessageRecorder recorder;
    SmartSslSocket socket;
    socket.setTimeout(300);
    QSignalSpy disconnected(&socket, &QAbstractSocket::disconnected);
    socket.connectToHost(m_server->serverAddress(), m_server->serverPort());
    socket.startTimer();
    QVERIFY(socket.waitForConnected(10000));
    QVERIFY(timerOf(socket)->isActive());

    QVERIFY(disconnected.wait(10000));
    QCOMPARE(socket.state(), QAbstractSocket::UnconnectedState);
    QVERIFY(!timerOf(socket)->isActive());
    // The state at expiry is written by value: 3 is ConnectedState.
    QCOMPARE(recorder.count({QStringLiteral("WARN"), QStringLiteral("SmartSslSocket("),
                             QStringLiteral("] timeout 3")}),
             1);
    QCOMPARE(recorder.count({QStringLiteral("SmartSslSocket("), QStringLiteral("] Started")}), 1);
}

void TestSmartSslSocket::trafficKeepsTheSocket_data()
{
    QTest::addColumn<bool>("peerTalks");
    QTest::newRow("the peer writes") << true;
    QTest::newRow("the socket writes") << false;
}

void TestSmartSslSocket::trafficKeepsTheSocket()
{
    QFETCH(bool, peerTalks);
    SmartSslSocket socket;
    socket.setTimeout(1500);
    QTcpSocket *peer = connectPlain(socket);
    QVERIFY(peer);
    socket.startTimer();
    QSignalSpy disconnected(&socket, &QAbstractSocket::disconnected);

    // Traffic every 100 ms, far inside the time-out, for well over two time-outs.
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
    QVERIFY(timerOf(socket)->isActive());

    // Silence from here on drops it.
    talk.stop();
    QVERIFY(disconnected.wait(20000));
    QCOMPARE(socket.state(), QAbstractSocket::UnconnectedState);
}

void TestSmartSslSocket::trafficNeverStartsAnIdleTimer()
{
    SmartSslSocket socket;
    socket.setTimeout(50);
    QTcpSocket *peer = connectPlain(socket);
    QVERIFY(peer);
    QSignalSpy written(&socket, &QIODevice::bytesWritten);
    QSignalSpy read(&socket, &QIODevice::readyRead);
    socket.write("ping");
    QVERIFY(written.wait(10000));
    peer->write("pong");
    QVERIFY(read.wait(10000));
    QCOMPARE(socket.readAll(), QByteArray("pong"));
    QVERIFY(!timerOf(socket)->isActive());
    QCOMPARE(socket.state(), QAbstractSocket::ConnectedState);
}

void TestSmartSslSocket::setTimeoutWaitsForTheNextStart()
{
    SmartSslSocket socket;
    socket.setTimeout(60000);
    socket.startTimer();
    QTimer *timer = timerOf(socket);
    QCOMPARE(timer->interval(), 60000);
    socket.setTimeout(100);
    QCOMPARE(timer->interval(), 60000);
    QVERIFY(timer->isActive());
    socket.restartTimer();
    QCOMPARE(timer->interval(), 100);
    QVERIFY(timer->isActive());
    socket.setTimeout(70000);
    socket.startTimer();
    QCOMPARE(timer->interval(), 70000);
}

void TestSmartSslSocket::stopTimerStops()
{
    TestSupport::MessageRecorder recorder;
    SmartSslSocket socket;
    socket.startTimer();
    socket.stopTimer();
    QVERIFY(!timerOf(socket)->isActive());
    socket.restartTimer();
    QVERIFY(!timerOf(socket)->isActive());
    QCOMPARE(recorder.count({QStringLiteral("SmartSslSocket("), QStringLiteral("] Stopped")}), 1);
}

void TestSmartSslSocket::disconnectionStopsTheTimer()
{
    TestSupport::MessageRecorder recorder;
    SmartSslSocket socket;
    socket.setTimeout(60000);
    QTcpSocket *peer = connectPlain(socket);
    QVERIFY(peer);
    socket.startTimer();
    QSignalSpy disconnected(&socket, &QAbstractSocket::disconnected);
    peer->disconnectFromHost();
    QVERIFY(disconnected.wait(10000));
    QVERIFY(!timerOf(socket)->isActive());
    QCOMPARE(recorder.count({QStringLiteral("] timeout")}), 0);
}

void TestSmartSslSocket::connectingAttemptIsAbandoned()
{
    TestSupport::StalledListener stalled;
    QVERIFY(stalled.isValid());
    TestSupport::MessageRecorder recorder;
    SmartSslSocket socket;
    socket.setTimeout(200);
    socket.connectToHost(stalled.address(), stalled.port());
    socket.startTimer();
    QCOMPARE(socket.state(), QAbstractSocket::ConnectingState);
    QTRY_COMPARE_WITH_TIMEOUT(socket.state(), QAbstractSocket::UnconnectedState, 20000);
    QVERIFY(!timerOf(socket)->isActive());
    // 2 is ConnectingState.
    QCOMPARE(recorder.count({QStringLiteral("WARN"), QStringLiteral("] timeout 2")}), 1);
}

TOLVANE_TEST_MAIN(TestSmartSslSocket)
#include "tst_smartsslsocket.moc"
