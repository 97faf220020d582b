#include "core/smartsslsocket.h"
#include "core/socketcreater.h"
#include "core/sockettimeouthelper.h"
#include "support/messagerecorder.h"
#include "support/stalledlistener.h"
#include "support/testmain.h"

// The inactivity watchdogs: SmartSslSocket's own timer, and the SocketTimeoutHelper that
// SocketCreater attaches (counting from the connection) or that counts from its creation.
enum Kind { kSmart, kCreated, kStartNow };
enum Traffic { kSilent, kPeerWrites, kSocketWrites, kPeerCloses };
Q_DECLARE_METATYPE(Kind)
Q_DECLARE_METATYPE(Traffic)

namespace {
QTcpSocket *watched(Kind kind, int timeout, QObject *owner)
{
    if (kind == kCreated)
        return SocketCreater::createSocket(owner, timeout);
    if (kind == kStartNow) {
        auto *socket = new QTcpSocket(owner);
        new SocketTimeoutHelper(socket, timeout, true);
        return socket;
    }
    auto *socket = new SmartSslSocket(owner);
    socket->setTimeout(timeout);
    return socket;
}

void connectWatched(QTcpSocket *socket, const QHostAddress &address, quint16 port)
{
    socket->connectToHost(address, port);
    if (auto *smart = qobject_cast<SmartSslSocket *>(socket))
        smart->startTimer(); // its owner starts the count with the attempt
}

QTimer *timerOf(QObject *socket)
{
    return socket->findChild<QTimer *>("inactivityTimer", Qt::FindDirectChildrenOnly);
}

bool counting(QTcpSocket *socket)
{
    if (auto *smart = qobject_cast<SmartSslSocket *>(socket))
        return timerOf(smart)->isActive();
    auto *helper = socket->findChild<SocketTimeoutHelper *>();
    return helper && helper->isCounting();
}
} // namespace

class TestSocketTimeouts : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void quietConnectionIsClosed_data()
    {
        QTest::addColumn<Kind>("kind");
        QTest::addColumn<Traffic>("traffic");
        for (Kind kind : {kSmart, kCreated}) {
            const char *name = kind == kSmart ? "smart" : "created";
            QTest::addRow("%s, silent", name) << kind << kSilent;
            QTest::addRow("%s, the peer writes", name) << kind << kPeerWrites;
            QTest::addRow("%s, the socket writes", name) << kind << kSocketWrites;
            QTest::addRow("%s, the peer closes", name) << kind << kPeerCloses;
        }
    }

    void quietConnectionIsClosed()
    {
        QFETCH(Kind, kind);
        QFETCH(Traffic, traffic);
        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost));
        QObject owner;
        TestSupport::MessageRecorder recorder;
        QTcpSocket *socket = watched(kind,
                                     traffic == kSilent       ? 300
                                     : traffic == kPeerCloses ? 60000
                                                              : 1500,
                                     &owner);
        QSignalSpy disconnected(socket, &QAbstractSocket::disconnected);
        connectWatched(socket, server.serverAddress(), server.serverPort());
        QVERIFY(server.waitForNewConnection(10000));
        QTcpSocket *peer = server.nextPendingConnection();
        if (traffic == kPeerWrites || traffic == kSocketWrites) {
            // Traffic every 100 ms keeps the socket for well over two time-outs.
            QTimer talk;
            connect(&talk, &QTimer::timeout, this,
                    [&] { (traffic == kPeerWrites ? peer : socket)->write("x"); });
            connect(socket, &QIODevice::readyRead, socket, [socket] { socket->readAll(); });
            connect(peer, &QIODevice::readyRead, peer, [peer] { peer->readAll(); });
            talk.start(100);
            QElapsedTimer elapsed;
            elapsed.start();
            QTRY_VERIFY_WITH_TIMEOUT(elapsed.hasExpired(3000), 20000);
            QCOMPARE(disconnected.count(), 0);
        }
        if (traffic == kPeerCloses)
            peer->disconnectFromHost();
        QVERIFY(disconnected.count() == 1 || disconnected.wait(20000));
        QTRY_VERIFY_WITH_TIMEOUT(!counting(socket), 10000);
        // SmartSslSocket reports its expiry with the state it found (3 is ConnectedState).
        QCOMPARE(recorder.count({"WARN", "] timeout 3"}),
                 kind == kSmart && traffic != kPeerCloses ? 1 : 0);
        if (kind == kCreated) {
            // The watchdog goes after its expiry; after a close without one it counts again on
            // the next connection.
            QTRY_COMPARE_WITH_TIMEOUT(!socket->findChild<SocketTimeoutHelper *>(),
                                      traffic != kPeerCloses, 10000);
            if (traffic == kPeerCloses) {
                socket->connectToHost(server.serverAddress(), server.serverPort());
                QTRY_VERIFY_WITH_TIMEOUT(counting(socket), 10000);
            }
        }
    }

    void connectingAttemptIsAbandoned_data()
    {
        QTest::addColumn<Kind>("kind");
        QTest::newRow("smart") << kSmart;
        QTest::newRow("counting from its creation") << kStartNow;
    }

    void connectingAttemptIsAbandoned()
    {
        QFETCH(Kind, kind);
        TestSupport::StalledListener stalled;
        QVERIFY(stalled.isValid());
        QObject owner;
        QTcpSocket *socket = watched(kind, 200, &owner);
        connectWatched(socket, stalled.address(), stalled.port());
        QCOMPARE(socket->state(), QAbstractSocket::ConnectingState);
        QTRY_COMPARE_WITH_TIMEOUT(socket->state(), QAbstractSocket::UnconnectedState, 20000);
        QTRY_VERIFY_WITH_TIMEOUT(!counting(socket), 10000);
    }

    void smartTimerControl()
    {
        SmartSslSocket socket;
        QTimer *timer = timerOf(&socket);
        QCOMPARE(socket.timeout(), 300000);
        socket.restartTimer(); // what traffic does: it never starts an idle timer
        QVERIFY(!timer->isActive());
        socket.setTimeout(60000);
        socket.startTimer();
        socket.setTimeout(100); // taken at the next start or restart only
        QCOMPARE(timer->interval(), 60000);
        socket.restartTimer();
        QCOMPARE(timer->interval(), 100);
        socket.stopTimer();
        QVERIFY(!timer->isActive());
    }

    void helperCountsWithOneTimer()
    {
        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost));
        QTcpSocket socket;
        QPointer<SocketTimeoutHelper> helper = new SocketTimeoutHelper(&socket, 60000, true);
        socket.connectToHost(server.serverAddress(), server.serverPort());
        QVERIFY(socket.waitForConnected(10000));
        QTRY_VERIFY(socket.state() == QAbstractSocket::ConnectedState && helper->isCounting());
        const auto timers = QAbstractEventDispatcher::instance()->registeredTimers(helper);
        QCOMPARE(timers.size(), 1); // started at once and again on connection
        QTimerEvent foreign(timers.first().timerId + 1000);
        QCoreApplication::sendEvent(helper, &foreign);
        QVERIFY(helper && helper->isCounting());
        QCOMPARE(socket.state(), QAbstractSocket::ConnectedState);
    }

    void createdSockets()
    {
        for (int timeout : {-5, 0, 1, 30000}) {
            QObject owner;
            QTcpSocket *plain = SocketCreater::createSocket(&owner, timeout);
            QSslSocket *tls = SocketCreater::createSSLSocket(&owner, timeout);
            for (QTcpSocket *socket : {plain, static_cast<QTcpSocket *>(tls)}) {
                QCOMPARE(socket->parent(), &owner);
                QCOMPARE(qobject_cast<QSslSocket *>(socket) != nullptr, socket == tls);
                QCOMPARE(socket->readBufferSize(), qint64(8192));
                auto *helper = socket->findChild<SocketTimeoutHelper *>();
                QCOMPARE(helper != nullptr, timeout >= 1);
                QVERIFY(!helper || !helper->isCounting()); // it counts once connected
            }
        }
    }
};

TOLVANE_TEST_MAIN(TestSocketTimeouts)
#include "tst_sockettimeouts.moc"
