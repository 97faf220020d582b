#include "log/logconfig.h"
#include "log/logger.h"
#include "relay/bufferedchannel.h"
#include "relay/v2/handler.h"
#include "relay/v2/sessionmanager.h"
#include "support/logcapture.h"
#include "support/relayserverstandin.h"
#include "support/testmain.h"

#include <QPointer>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QtTest>
#include <memory>
#include <vector>

using Relay::V2::Handler;

namespace {

// The link in memory: what the handler writes is kept, what the peer sends is fed in.
struct Wire : QIODevice
{
    QByteArray written, input;
    int keepAnswers = 0; // KEEPs still to answer with OK, once the handler is back in the loop
    // When set, each write is also kept with its time on this clock, in nanoseconds.
    const QElapsedTimer *clock = nullptr;
    QVector<std::pair<QByteArray, qint64>> timedWrites;
    Wire() { open(QIODevice::ReadWrite | QIODevice::Unbuffered); }
    bool isSequential() const override { return true; }
    qint64 readData(char *data, qint64 size) override
    {
        size = qMin(size, qint64(input.size()));
        memcpy(data, input.constData(), size_t(size));
        input.remove(0, int(size));
        return size;
    }
    qint64 writeData(const char *data, qint64 size) override
    {
        written.append(data, int(size));
        if (clock)
            timedWrites.append({QByteArray(data, int(size)), clock->nsecsElapsed()});
        if (keepAnswers > 0 && written.endsWith("KEEP\n") && keepAnswers--)
            QMetaObject::invokeMethod(
                this, [this] { feed("OK\n"); }, Qt::QueuedConnection);
        return size;
    }
    void feed(const QByteArray &bytes)
    {
        input += bytes;
        Q_EMIT readyRead();
    }
    QByteArray take() { return std::exchange(written, QByteArray()); }
};

// A keep-alive interval longer than any limit a test waits for: no tick comes within a test.
constexpr int kOutlastsEveryLimit = 3600 * 1000;

QByteArray error0(const QByteArray &text)
{
    return "ERROR: 0 " + QByteArray::number(text.size()) + '\n' + text;
}

// A handler over the wire, and the local sides of the connections it was asked to carry.
struct Fixture
{
    Wire wire;
    Handler handler{&wire};
    QSignalSpy closed{&handler, &Relay::Connection::closed};
    std::vector<std::unique_ptr<Relay::Channel>> locals;
    QByteArray requestId; // of the latest request

    explicit Fixture(bool shaken)
    {
        // As every owner does: the link goes as soon as the handler reports it closed.
        QObject::connect(&handler, &Relay::Connection::closed, &wire, &QIODevice::close);
        handler.setDrainTimeout(50);
        if (shaken)
            wire.feed("HELLO: 2\n");
        wire.take();
    }
    // Asks for a connection into session 77's POP3, its local side an open channel end.
    void request()
    {
        auto pair = Relay::BufferedChannel::makePair(262144);
        pair.first->open();
        locals.emplace_back(std::move(pair.first));
        handler.connectTo(77, "POP3", pair.second.release());
        const QByteArray line = wire.take();
        QVERIFY2(line.startsWith("CONNECT_TO: 77 POP3 ") && line.endsWith('\n'), line);
        requestId = line.mid(20).trimmed();
    }
};

} // namespace

// The handler at the wire: the bytes it writes for what the peer sends and the local sides do.
class TestHandler : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void cleanup() { QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete); }

    // Steps, separated by '|': wire input from the peer ('#' standing for the latest request id),
    // or one of: "request" (a connection into 77/POP3), "carry" (a request the peer grants as
    // connection 4), "s:<text>" (the local side sends), "r:<text>" (the local side takes a block
    // and it is the text), "close" (the local side closes), "watch" (session 5), "wait" (until
    // the drain limit ended the carried connection).
    void wire_data()
    {
        QTest::addColumn<bool>("shaken"); // the peer's HELLO was answered before the steps
        QTest::addColumn<QString>("steps");
        QTest::addColumn<QByteArray>("output");
        QTest::addColumn<bool>("closes");
        QTest::addColumn<QString>("localError"); // null: every local side is still open
        const auto row = [](const char *name, const QString &steps, const QByteArray &output,
                            bool closes = false, const QString &localError = QString(),
                            bool shaken = true) {
            QTest::newRow(name) << shaken << steps << output << closes << localError;
        };
        const auto raw = [&](const char *name, const QString &steps, const QByteArray &output,
                             bool closes) { row(name, steps, output, closes, {}, false); };
        raw("HELLO 2 is answered OK, a second one ignored", "HELLO: 2\nHELLO: 2\n", "OK\n", false);
        raw("HELLO 3 refused before the link goes", "HELLO: 3\n",
            error0("Protocol version 3 not supported"), true);
        raw("parse error before the handshake: no QUIT", "HELP\n",
            error0("Syntax error in context: HELP"), true);
        raw("a command before the handshake ends the rest", "WATCH: 5\nHELLO: 2\n", "", true);
        raw("an OK with arguments before the handshake is unexpected and completes nothing",
            "OK: 5\nOK: 7 9\nKEEP\n", error0("OK command unexpected in this context").repeated(2),
            true);
        row("KEEP_ALIVE", "KEEP_ALIVE\n", "OK\n");
        row("unknown ids", "CONNECTION: 9 OK\nDATA: 9 1\nxERROR: 9 1\nxTRANS: 9 OK\n",
            error0("Invalid connection ID 9").repeated(4));
        row("CONNECTED for no request", "CONNECTED: 5 POP3 777\n",
            error0("Unexpected request ID 777 in CONNECTED, ignoring"));
        row("bare OKs answer the WATCHes in order, then nothing",
            "watch|watch|OK\nOK\nOK: 4 1\nOK\n",
            "WATCH: 5\nWATCH: 5\n" + error0("OK command unexpected in this context").repeated(2));
        row("unhandled serving requests are refused",
            "CONNECT_TO: 1 POP3 55\nBEGIN_SESSION: 56\nCONNECTED: 3 SMTP\n",
            "FAIL: 17 55\nService not foundFAIL: 21 56\nSession not availableCONNECTION: 3 FAIL\n");
        row("syntax error ends the link, its context percent-encoded", "HEL\tP\nKEEP\n",
            error0("Syntax error in context: HEL%09P") + "QUIT\n", true);
        row("payload over the limit ends the link", "DATA: 1 262145\n",
            error0("Maximum data chunk len is 262144") + "QUIT\n", true);
        row("QUIT", "QUIT\nKEEP\n", "QUIT\n", true);
        row("blocks go out once each, the next on TRANS",
            "carry|s:a|s:bc|TRANS: 4 OK\n|TRANS: 4 OK\n", "DATA: 4 1\naDATA: 4 2\nbc");
        row("local close with nothing sent", "carry|close", "DISCONNECTED: 4\n", false, "");
        row("local close goes on once the last block is on the wire, and its TRANS is no error",
            "carry|s:a|s:bc|close|TRANS: 4 OK\n|KEEP\n|TRANS: 4 OK\n",
            "DATA: 4 1\naDATA: 4 2\nbcDISCONNECTED: 4\nOK\n", false, "");
        row("local close before CONNECTED", "request|s:early|close|CONNECTED: 4 POP3 #\n",
            "DATA: 4 5\nearlyDISCONNECTED: 4\n", false, "");
        row("local close before CONNECTED, nothing sent", "request|close|CONNECTED: 4 POP3 #\n",
            "DISCONNECTED: 4\n", false, "");
        row("the drain limit ends a close that waits", "carry|s:a|s:b|close|wait",
            "DATA: 4 1\naDISCONNECTED: 4\n", false, "");
        row("peer DATA: TRANS once the local side took it",
            "carry|DATA: 4 6\nwor\nld|KEEP\n|r:wor\nld", "OK\nTRANS: 4 OK\n");
        row("largest DATA",
            "carry|DATA: 4 262144\n" + QString(262144, 'x') + "|r:" + QString(262144, 'x'),
            "TRANS: 4 OK\n");
        row("empty DATA acknowledged at once", "carry|DATA: 4 0\n", "TRANS: 4 OK\n");
        row("second DATA before the TRANS", "carry|DATA: 4 1\nx|DATA: 4 1\ny",
            "TRANS: 4 FAIL\nERROR: 4 45\nSending data before previous packet was "
            "ACKedDISCONNECTED: "
            "4\n",
            false, "");
        row("peer DISCONNECT, silently", "carry|s:a|DISCONNECT: 4\n", "DATA: 4 1\na", false, "");
        row("TRANS FAIL", "carry|s:a|TRANS: 4 FAIL\n", "DATA: 4 1\naDISCONNECTED: 4\n", false,
            "Transfer failed");
        row("FAIL answering the request", "request|s:a|FAIL: 15 #\nno such service", "", false,
            "no such service");
        row("connection id conflict ends the link and every carried connection", "carry|carry",
            error0("Connection number conflict, 4 is already in use") + "QUIT\n", true, "");
    }

    void wire()
    {
        QFETCH(bool, shaken);
        QFETCH(QString, steps);
        QFETCH(QByteArray, output);
        QFETCH(bool, closes);
        QFETCH(QString, localError);
        Fixture f(shaken);
        for (const QString &step : steps.split('|')) {
            const QByteArray text = step.mid(2).toUtf8();
            if (step == "request" || step == "carry") {
                f.request();
                if (step == "carry")
                    f.wire.feed("CONNECTED: 4 POP3 " + f.requestId + '\n');
            } else if (step.startsWith("s:")) {
                QVERIFY(f.locals.back()->send(text));
            } else if (step.startsWith("r:")) {
                QCOMPARE(f.locals.back()->recv(), text);
            } else if (step == "close") {
                f.locals.back()->close();
            } else if (step == "watch") {
                f.handler.watchSession(5);
            } else if (step == "wait") {
                QTRY_COMPARE(f.handler.carriedConnectionCount(), 0);
            } else {
                f.wire.feed(step.toUtf8().replace('#', f.requestId));
            }
        }
        QCOMPARE(f.wire.written, output);
        QCOMPARE(f.closed.count(), int(closes));
        QCOMPARE(f.handler.isReady(), !closes);
        for (const auto &local : f.locals) {
            QCOMPARE(local->isOpen(), localError.isNull());
            QCOMPARE(local->lastError(), localError.isNull() ? QString() : localError);
        }
        f.handler.close(); // final: closed() once
        QCOMPARE(f.closed.count(), 1);
    }

    void keepAliveGivesUpOnTheThirdSilentTick()
    {
        Fixture f(true);
        QSignalSpy errors(&f.handler, &Relay::Connection::error);
        f.wire.keepAnswers = 4; // an answered KEEP is a sign of life: the next tick is quiet
        f.handler.setKeepAliveInterval(50);
        QVERIFY(f.closed.wait(10000));
        QCOMPARE(f.wire.written, QByteArray("KEEP\n").repeated(7) + "QUIT\n");
        QCOMPARE(errors.value(0).value(0).toString(), QStringLiteral("Connection timeout"));
    }

    // The handler, all its parts included, writes under the logger "Relay::V2::Handler" or loggers
    // below it, so that one log.cfg line sets the level of every line it writes, on both roads.
    void logFollowsTheHandlersLevel_data()
    {
        QTest::addColumn<QByteArray>("config"); // log.cfg
        QTest::addColumn<bool>("written");      // the handler's lines
        QTest::newRow("TRACE") << QByteArray("ROOT = NONE\nRelay::V2::Handler = TRACE\n") << true;
        QTest::newRow("NONE") << QByteArray("ROOT = TRACE\nRelay::V2::Handler = NONE\n") << false;
    }

    void logFollowsTheHandlersLevel()
    {
        QFETCH(QByteArray, config);
        QFETCH(bool, written);
        QTemporaryDir folder;
        QFile file(folder.filePath(QStringLiteral("log.cfg")));
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(config) == config.size());
        file.close();
        const auto restore = qScopeGuard([] { Log::Logger("ROOT").setLevel(Log::ERROR); });
        Log::configure(QFile::encodeName(file.fileName()).toStdString());
        TestSupport::LogCapture log;
        {
            Fixture f(true);
            // Client road: a connection the peer grants as 4, data both ways, the peer's close.
            f.request();
            f.wire.feed("CONNECTED: 4 POP3 " + f.requestId + '\n');
            QVERIFY(f.locals.back()->send("a"));
            f.wire.feed("TRANS: 4 OK\nDATA: 9 1\nxDISCONNECT: 4\n");
            // Serving road: a session, a refused CONNECTED, a connection this side chose as 1.
            QObject::connect(&f.handler, &Relay::Connection::newLocalConnection, [] {});
            f.handler.listening(7);
            f.wire.feed("CONNECTED: 3 SMTP\n");
            auto pair = Relay::BufferedChannel::makePair(262144);
            pair.first->open();
            f.handler.handleConnection(7, "POP3", pair.second.release());
            f.wire.feed("CONNECTION: 1 OK\n");
            pair.first->close();
            // The keep-alive gives up on the peer, with a connection still carried.
            f.wire.take();
            f.request();
            f.wire.feed("CONNECTED: 5 POP3 " + f.requestId + '\n');
            f.handler.setKeepAliveInterval(10);
            QVERIFY(f.closed.wait(10000));
            QCOMPARE(f.handler.carriedConnectionCount(), 0);
        }
        const QStringList lines = log.lines();
        const QStringList handlerLines = lines.filter(QStringLiteral("[ Relay::V2::Handler"));
        for (const char *text :
             {"] created", "processData:", "handleCommand(", "with ID = 4", "with ID = 1",
              "with ID = 5", "Removing channel", "Established connection ID = 1",
              "Closing connection ID = 1", "Sending error to peer: 0",
              "Established local session ID = 7", "no session was started", "keep-alive sent",
              "keep-alive timer fired", "Missed two keep-alive packets", "] closing",
              "Connection ready after HELLO"}) {
            QVERIFY2(!lines.filter(QLatin1String(text)).isEmpty() == written, text);
        }
        // Adding and removing on both roads: 4 and 5 on the client road, 1 on the serving road.
        QCOMPARE(handlerLines.filter(QStringLiteral("Adding channel")).size(), written ? 3 : 0);
        QCOMPARE(handlerLines.filter(QStringLiteral("Removing channel")).size(), written ? 3 : 0);
        if (written) // nothing else was enabled
            QCOMPARE(handlerLines, lines);
        else // of the relay V2 classes, only the reader and the writer of commands were
            QCOMPARE(lines.filter(QRegularExpression(
                         QStringLiteral("\\[ Relay::V2::(?!ProtocolParser[( ]|Command[( ])"))),
                     QStringList());
    }

    // A closed handler lets go of its device, which may carry another link next (the connection
    // manager reuses its socket): it reads nothing more from it and writes nothing more to it.
    void closedHandlerLeavesTheDevice_data()
    {
        QTest::addColumn<QByteArray>("before"); // what the peer sent before the close
        QTest::addColumn<QByteArray>("written");
        QTest::newRow("ready") << QByteArray("HELLO: 2\n") << QByteArray("OK\nQUIT\n");
        QTest::newRow("in the handshake") << QByteArray() << QByteArray();
    }

    void closedHandlerLeavesTheDevice()
    {
        QFETCH(QByteArray, before);
        QFETCH(QByteArray, written);
        Wire wire; // stays open, as a reused socket does
        Handler handler(&wire);
        if (!before.isEmpty())
            wire.feed(before);
        handler.close();
        QCOMPARE(wire.take(), written);
        handler.watchSession(5);
        handler.startSession();
        wire.feed("HELLO: 2\n");
        QCOMPARE(wire.take(), QByteArray());
        QCOMPARE(wire.input, QByteArray("HELLO: 2\n"));
    }

    // The same for the session manager: an attempt it gave up on leaves the socket to the next
    // one at once, though the dropped handler lives on until its deferred deletion (here the
    // caller of the next attempt runs a local event loop meanwhile). The relay's answers must
    // reach the new handler, not the dropped one.
    void droppedSessionAttemptLeavesTheSocket()
    {
        QTcpServer silent;
        TestSupport::RelayServerStandIn relay;
        QVERIFY(silent.listen(QHostAddress::LocalHost) && relay.listen(QHostAddress::LocalHost));
        Relay::SessionManager manager;
        QSignalSpy connected(&manager, &Relay::SessionManager::connected);
        manager.connectToRelay(QHostAddress(QHostAddress::LocalHost), silent.serverPort());
        QTRY_VERIFY_WITH_TIMEOUT(manager.connection(), 10000);
        QPointer<Relay::Connection> dropped = manager.connection();
        bool retried = false, droppedLived = false;
        connect(&manager, &Relay::SessionManager::failed, this, [&] {
            if (std::exchange(retried, true))
                return;
            manager.setHandshakeTimeout(30000);
            manager.connectToRelay(QHostAddress(QHostAddress::LocalHost), relay.port());
            QEventLoop local;
            connect(&manager, &Relay::SessionManager::connected, &local, &QEventLoop::quit);
            connect(&manager, &Relay::SessionManager::failed, &local, &QEventLoop::quit);
            local.exec();
            droppedLived = !dropped.isNull();
        });
        manager.setHandshakeTimeout(1); // gives up on the silent relay
        QTRY_VERIFY_WITH_TIMEOUT(dropped.isNull(), 60000);
        QVERIFY(droppedLived); // so the relay's answers came while it was there
        QCOMPARE(connected.count(), 1);
    }

    // A peer silent after the handshake: the handshake is its last word, so the first tick sends
    // nothing, the next three send KEEP and the third KEEP declares the link dead. No tick comes
    // before its time on the monotonic clock: the link is never declared dead before three whole
    // intervals after the peer's last word (here four, the first tick having found the handshake).
    void keepAliveAfterTheHandshake_data()
    {
        // Our HELLO answered by the peer's OK, else the peer's HELLO.
        QTest::addColumn<bool>("ours");
        QTest::newRow("the peer's HELLO") << false;
        QTest::newRow("the peer's OK to our HELLO") << true;
    }

    void keepAliveAfterTheHandshake()
    {
        QFETCH(bool, ours);
        constexpr qint64 kTick = 200; // milliseconds
        Fixture f(false);
        QSignalSpy errors(&f.handler, &Relay::Connection::error);
        f.handler.setKeepAliveInterval(int(kTick));
        if (ours)
            f.handler.handshake();
        QCOMPARE(f.wire.take(), QByteArray(ours ? "HELLO: 2\n" : ""));
        // A coarse Qt timer may round its expiry to a multiple of the interval on the monotonic
        // clock, by up to 5%. The peer's last word comes early in such a step, where that
        // rounding would make every tick early.
        QTimer align;
        align.setTimerType(Qt::PreciseTimer);
        align.setSingleShot(true);
        QSignalSpy aligned(&align, &QTimer::timeout);
        const auto phase = [] {
            QElapsedTimer now; // its reference is the monotonic clock's reading
            now.start();
            return now.msecsSinceReference() % kTick;
        };
        for (int tries = 0; phase() < 45 || phase() > 85; ++tries) {
            QVERIFY(tries < 50);
            align.start(int((kTick + 65 - phase()) % kTick));
            QVERIFY(aligned.wait(10000));
        }
        QElapsedTimer sinceLastWord;
        sinceLastWord.start();
        f.wire.clock = &sinceLastWord;
        f.wire.feed(ours ? "OK\n" : "HELLO: 2\n");
        QVERIFY(f.closed.wait(10000));
        QCOMPARE(errors.value(0).value(0).toString(), QStringLiteral("Connection timeout"));
        QByteArrayList writes, expected{"KEEP\n", "KEEP\n", "KEEP\n", "QUIT\n"};
        for (const auto &write : qAsConst(f.wire.timedWrites))
            writes << write.first;
        if (!ours)
            expected.prepend("OK\n");
        QCOMPARE(writes, expected);
        const QVector<qint64> ticks{2, 3, 4, 4}; // the tick of each KEEP and of the verdict
        for (int i = 0; i < ticks.size(); ++i) {
            const auto &[bytes, at] = f.wire.timedWrites.at(writes.size() - ticks.size() + i);
            QVERIFY2(at >= ticks.at(i) * kTick * 1000000,
                     qPrintable(QStringLiteral("%1 after %2 ns")
                                    .arg(QString::fromLatin1(bytes.trimmed()))
                                    .arg(at)));
        }
    }

    void peerThatDoesNotReadCannotGrowTheWriteBuffer() // over TCP, with the system's buffers
    {
        QTcpServer server;
        QTcpSocket socket;
        QVERIFY(server.listen(QHostAddress::LocalHost));
        socket.connectToHost(QHostAddress::LocalHost, server.serverPort());
        QVERIFY(server.waitForNewConnection(10000) && socket.waitForConnected(10000));
        QTcpSocket *peer = server.nextPendingConnection();
        socket.setSocketOption(QAbstractSocket::SendBufferSizeSocketOption, 16384);
        peer->setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, 16384);
        peer->setReadBufferSize(4096); // the peer reads nothing for now
        Handler handler(&socket);
        // No KEEP of the handler's own among the answers, however long the run takes.
        handler.setKeepAliveInterval(kOutlastsEveryLimit);
        qint64 mostWaiting = 0; // after each read step
        connect(&socket, &QTcpSocket::readyRead, this,
                [&] { mostWaiting = qMax(mostWaiting, socket.bytesToWrite()); });
        const int keeps = 500000; // more answers than the limit
        peer->write("HELLO: 2\n" + QByteArray("KEEP\n").repeated(keeps) + "QUIT\n");
        QTRY_VERIFY_WITH_TIMEOUT(socket.bytesToWrite() > Handler::kMaxPendingWrite, 30000);
        QByteArray received;
        peer->setReadBufferSize(0); // and nothing was dropped or garbled
        connect(peer, &QTcpSocket::readyRead, this, [&] { received += peer->readAll(); });
        received += peer->readAll();
        QTRY_VERIFY_WITH_TIMEOUT(received.endsWith("QUIT\n"), 60000);
        QCOMPARE(received, QByteArray("OK\n").repeated(keeps + 1) + "QUIT\n");
        QVERIFY(mostWaiting <= Handler::kMaxPendingWrite + 3);
    }
};

TOLVANE_TEST_MAIN(TestHandler)
#include "tst_handler.moc"
