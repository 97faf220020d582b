#include "core/smartsslsocket.h"
#include "core/socketcreater.h"
#include "core/sockettimeouthelper.h"
#include "support/stalledlistener.h"
#include "support/testmain.h"

// The inactivity watchdogs: SmartSslSocket's own timer, and the SocketTimeoutHelper that
// SocketCreater attaches (counting from the connection) or that counts from its creation.
enum Kind { kSmart, kCreated, kStartNow };
enum Peer { kStalledConnect, kSilent, kTalksThenStalls, kCloses };
Q_DECLARE_METATYPE(Kind)
Q_DECLARE_METATYPE(Peer)

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

bool counting(QTcpSocket *socket)
{
    if (qobject_cast<SmartSslSocket *>(socket))
        return socket->findChild<QTimer *>("inactivityTimer")->isActive();
    auto *helper = socket->findChild<SocketTimeoutHelper *>();
    return helper && helper->isCounting();
}
} // namespace

class TestSocketTimeouts : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void expiry_data()
    {
        QTest::addColumn<Kind>("kind");
        QTest::addColumn<Peer>("peer");
        QTest::newRow("smart, connect stalls") << kSmart << kStalledConnect;
        QTest::newRow("counting at once, connect stalls") << kStartNow << kStalledConnect;
        QTest::newRow("smart, handshake stalls") << kSmart << kSilent;
        QTest::newRow("created, silent peer") << kCreated << kSilent;
        QTest::newRow("smart, read and write, then a stall") << kSmart << kTalksThenStalls;
        QTest::newRow("created, read and write, then a stall") << kCreated << kTalksThenStalls;
        QTest::newRow("smart, peer closes") << kSmart << kCloses;
        QTest::newRow("created, peer closes") << kCreated << kCloses;
    }

    // Expiry abandons a connection attempt and closes a connected socket; traffic in either
    // direction keeps it, and a close stops the count.
    void expiry()
    {
        QFETCH(Kind, kind);
        QFETCH(Peer, peer);
        constexpr int kTimeout = 1000;
        QTcpServer server;
        TestSupport::StalledListener stalled;
        QVERIFY(server.listen(QHostAddress::LocalHost) && stalled.isValid());
        QObject owner;
        QTcpSocket *socket = watched(kind, peer == kTalksThenStalls ? kTimeout : 200, &owner);
        QSignalSpy disconnected(socket, &QAbstractSocket::disconnected);
        QSignalSpy errors(socket, &QAbstractSocket::errorOccurred);
        auto *smart = qobject_cast<SmartSslSocket *>(socket);
        if (peer == kStalledConnect)
            socket->connectToHost(stalled.address(), stalled.port());
        else if (smart && peer == kSilent)
            smart->connectToHostEncrypted("127.0.0.1", server.serverPort());
        else
            socket->connectToHost(server.serverAddress(), server.serverPort());
        if (smart)
            smart->startTimer(); // its owner starts the count with the attempt
        QVERIFY(peer == kStalledConnect ? socket->state() == QAbstractSocket::ConnectingState
                                        : server.waitForNewConnection(10000));
        QTcpSocket *remote = server.nextPendingConnection();
        if (peer == kTalksThenStalls) {
            // Every 100 ms the peer writes for 1.5 time-outs, then the socket for as long.
            QElapsedTimer clock;
            clock.start();
            QTimer talk;
            connect(&talk, &QTimer::timeout, this, [&] {
                if (clock.elapsed() > 3 * kTimeout)
                    talk.stop();
                else
                    (clock.elapsed() < 3 * kTimeout / 2 ? remote : socket)->write("x");
            });
            connect(socket, &QIODevice::readyRead, socket, [socket] { socket->readAll(); });
            connect(remote, &QIODevice::readyRead, remote, [remote] { remote->readAll(); });
            talk.start(100);
            QTRY_VERIFY_WITH_TIMEOUT(!talk.isActive(), 30000);
            QCOMPARE(disconnected.count(), 0);
        }
        if (peer == kCloses)
            remote->disconnectFromHost();
        QTRY_COMPARE_WITH_TIMEOUT(socket->state(), QAbstractSocket::UnconnectedState, 20000);
        QCOMPARE(disconnected.count(), int(peer != kStalledConnect));
        QVERIFY(!counting(socket));
        QCOMPARE(errors.count(), int(peer == kCloses));
    }

    void createdSockets()
    {
        QObject owner;
        for (QTcpSocket *socket :
             {SocketCreater::createSocket(&owner, 0),
              static_cast<QTcpSocket *>(SocketCreater::createSSLSocket(&owner, 1))}) {
            QCOMPARE(socket->readBufferSize(), SocketCreater::kReadBufferSize);
            auto *helper = socket->findChild<SocketTimeoutHelper *>();
            QCOMPARE(helper != nullptr, qobject_cast<QSslSocket *>(socket) != nullptr);
            QVERIFY(!helper || !helper->isCounting()); // it counts once connected
        }
    }
};

TOLVANE_TEST_MAIN(TestSocketTimeouts)
#include "tst_sockettimeouts.moc"
