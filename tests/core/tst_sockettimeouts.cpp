#include "core/smartsslsocket.h"
#include "core/socketcreater.h"
#include "core/sockettimeouthelper.h"
#include "support/logcapture.h"
#include "support/stalledlistener.h"
#include "support/testmain.h"

// The inactivity watchdogs: SmartSslSocket's own timer, and the SocketTimeoutHelper that
// SocketCreater attaches (counting from the connection) or that counts from its creation.
enum Kind { kSmart, kCreated, kStartNow };
enum Peer { kStalledConnect, kSilent, kTalksThenStalls, kNeverReads, kCloses };
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
        QTest::addColumn<QString>("heard"); // the socket's errors (by number) and disconnections
        QTest::addColumn<QString>("state"); // in SmartSslSocket's time-out line
        const auto row = [](const char *name, Kind kind, Peer peer, const char *signalled,
                            const char *state = "") {
            QTest::newRow(name) << kind << peer << QString(signalled) << QString(state);
        };
        row("smart, connect stalls", kSmart, kStalledConnect, "error5", "ConnectingState");
        row("counting at once, connect stalls", kStartNow, kStalledConnect, "error5");
        row("smart, handshake stalls", kSmart, kSilent, "error5 disconnected", "ConnectedState");
        row("created, silent peer", kCreated, kSilent, "error5 disconnected");
        row("smart, read and write, then a stall", kSmart, kTalksThenStalls, "error5 disconnected",
            "ConnectedState");
        row("created, read and write, then a stall", kCreated, kTalksThenStalls,
            "error5 disconnected");
        // The socket still holds much of what it wrote, so a graceful close would never end.
        row("smart, peer never reads", kSmart, kNeverReads, "error5 disconnected",
            "ConnectedState");
        row("created, peer never reads", kCreated, kNeverReads, "error5 disconnected");
        row("smart, peer closes", kSmart, kCloses, "error1 disconnected");
        row("created, peer closes", kCreated, kCloses, "error1 disconnected");
    }

    // Expiry ends a socket in any state and tells its user, with one SocketTimeoutError: a
    // connection attempt is abandoned, a connected socket closed after the error. Traffic in
    // either direction keeps it, and a close stops the count.
    void expiry()
    {
        QFETCH(Kind, kind);
        QFETCH(Peer, peer);
        QFETCH(QString, heard);
        QFETCH(QString, state);
        TestSupport::LogCapture log;
        constexpr int kTimeout = 1000;
        QTcpServer server;
        TestSupport::StalledListener stalled;
        QVERIFY(server.listen(QHostAddress::LocalHost) && stalled.isValid());
        QStringList signalled;
        qint64 unsent = 0; // when the error came
        QObject owner;     // gone before them: a socket left open may still signal as it goes
        QTcpSocket *socket = watched(kind, peer == kTalksThenStalls ? kTimeout : 200, &owner);
        connect(socket, &QAbstractSocket::errorOccurred, this,
                [&signalled, &unsent, socket](QAbstractSocket::SocketError e) {
                    signalled << "error" + QString::number(e);
                    unsent = socket->bytesToWrite();
                });
        connect(socket, &QAbstractSocket::disconnected, this, [&] { signalled << "disconnected"; });
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
            QCOMPARE(signalled, QStringList());
        }
        if (peer == kNeverReads) {
            remote->setReadBufferSize(1); // the rest stays in the kernel's buffers
            socket->write(QByteArray(16 << 20, 'x'));
        }
        if (peer == kCloses)
            remote->disconnectFromHost();
        QTRY_COMPARE_WITH_TIMEOUT(socket->state(), QAbstractSocket::UnconnectedState, 20000);
        QCOMPARE(signalled.join(' '), heard);
        QVERIFY(!counting(socket));
        QCOMPARE(unsent > 0, peer == kNeverReads);
        if (peer != kCloses)
            QCOMPARE(socket->errorString(), QString("Socket operation timed out"));
        const QStringList warnings = log.lines().filter("] timeout");
        QCOMPARE(warnings.size(), int(!state.isEmpty()));
        if (!state.isEmpty())
            QVERIFY2(warnings.first().endsWith("] timeout QAbstractSocket::" + state),
                     qPrintable(warnings.first()));
    }

    // A user that answers the time-out with a new attempt on the same socket keeps it: only the
    // connection that went quiet, or the attempt that never connected, is ended.
    void newAttemptFromTheErrorSlot_data()
    {
        QTest::addColumn<Kind>("kind");
        QTest::addColumn<Peer>("peer"); // of the first attempt
        QTest::newRow("smart") << kSmart << kSilent;
        QTest::newRow("created") << kCreated << kSilent;
        QTest::newRow("smart, connect stalls") << kSmart << kStalledConnect;
        QTest::newRow("counting at once, connect stalls") << kStartNow << kStalledConnect;
    }
    void newAttemptFromTheErrorSlot()
    {
        QFETCH(Kind, kind);
        QFETCH(Peer, peer);
        QTcpServer server;
        TestSupport::StalledListener stalled;
        QVERIFY(server.listen(QHostAddress::LocalHost) && stalled.isValid());
        QObject owner;
        QTcpSocket *socket = watched(kind, 200, &owner);
        int errors = 0;
        connect(socket, &QAbstractSocket::errorOccurred, this, [&] {
            if (++errors > 1)
                return;
            socket->abort();
            socket->connectToHost(server.serverAddress(), server.serverPort());
        });
        if (peer == kStalledConnect)
            socket->connectToHost(stalled.address(), stalled.port());
        else
            socket->connectToHost(server.serverAddress(), server.serverPort());
        if (auto *smart = qobject_cast<SmartSslSocket *>(socket))
            smart->startTimer();
        QTRY_COMPARE_WITH_TIMEOUT(errors, 1, 20000);
        QTRY_COMPARE_WITH_TIMEOUT(socket->state(), QAbstractSocket::ConnectedState, 20000);
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
