#include "relay/bufferedchannel.h"
#include "relay/v2/handler.h"
#include "support/rawpeer.h"
#include "support/testmain.h"

#include <QSignalSpy>
#include <QTcpSocket>
#include <QtTest>
#include <memory>

using Relay::V2::Handler;
using TestSupport::RawPeer;

namespace {

QByteArray error0(const QByteArray &text)
{
    return "ERROR: 0 " + QByteArray::number(text.size()) + '\n' + text;
}

// The handler over a real loopback TCP link, with a scripted raw peer on the other end.
struct Link
{
    RawPeer peer;
    QTcpSocket socket;
    std::unique_ptr<Handler> handler;
    std::unique_ptr<QSignalSpy> ready, closed;

    bool open()
    {
        if (!peer.listen(QHostAddress(QStringLiteral("127.0.0.2"))))
            return false;
        socket.connectToHost(QHostAddress(QStringLiteral("127.0.0.2")), peer.port());
        if (!socket.waitForConnected(10000) || !peer.waitConnected())
            return false;
        handler = std::make_unique<Handler>(&socket);
        ready = std::make_unique<QSignalSpy>(handler.get(), &Relay::Connection::ready);
        closed = std::make_unique<QSignalSpy>(handler.get(), &Relay::Connection::closed);
        // As every owner does: the socket goes as soon as the handler reports the link closed.
        QObject::connect(handler.get(), &Relay::Connection::closed, &socket, &QTcpSocket::abort);
        return true;
    }
    bool shakeHands()
    {
        peer.writeLine("HELLO: 2");
        return ready->wait(10000) && peer.waitFor("OK") == 0;
    }
    // Everything the handler wrote after what the peer had already read, once its side ended.
    QByteArray drain(int from = 0)
    {
        socket.flush();
        socket.disconnectFromHost();
        peer.waitForPeerClose();
        return peer.received().mid(from);
    }
    // Asks for a carried connection, which the peer grants under the id; the local side is a
    // bare channel end (owned by the caller).
    Relay::Channel *carry(quint64 id)
    {
        auto pair = Relay::BufferedChannel::makePair(262144);
        pair.first->open();
        handler->connectTo(77, "POP3", pair.second.release());
        const int index = peer.waitFor("CONNECT_TO", peer.count());
        peer.writeLine("CONNECTED: " + QByteArray::number(id) + " POP3 " +
                       peer.commands().value(index).args.value(2));
        const bool added = QTest::qWaitFor([&] { return handler->carriedConnectionCount() > 0; });
        return added ? pair.first.release() : nullptr;
    }
};

} // namespace

// The handler at the wire: every byte it writes for what the peer sends.
class TestHandler : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void cleanup() { QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete); }

    void wire_data()
    {
        QTest::addColumn<bool>("shaken"); // the peer's HELLO was answered before the input
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<QByteArray>("output");
        QTest::addColumn<bool>("closes");
        auto row = [](const char *name, bool shaken, const QByteArray &input,
                      const QByteArray &output,
                      bool closes) { QTest::newRow(name) << shaken << input << output << closes; };
        row("HELLO 2 is answered OK, a second one ignored", false, "HELLO: 2\nHELLO: 2\n", "OK\n",
            false);
        row("HELLO 3 is refused before the socket goes", false, "HELLO: 3\n",
            error0("Protocol version 3 not supported"), true);
        row("parse error before the handshake: ERROR, no QUIT", false, "HELP\n",
            error0("Syntax error in context: HELP"), true);
        row("command before the handshake ends the rest", false, "WATCH: 5\nHELLO: 2\n", "", true);
        row("KEEP", true, "KEEP_ALIVE\n", "OK\n", false);
        row("CONNECTION on an unknown id", true, "CONNECTION: 9 OK\n",
            error0("Invalid connection ID 9"), false);
        row("DATA on an unknown id", true, "DATA: 9 1\nx", error0("Invalid connection ID 9"),
            false);
        row("ERROR on an unknown id", true, "ERROR: 9 1\nx", error0("Invalid connection ID 9"),
            false);
        row("TRANS on an unknown id", true, "TRANS: 9 OK\n", error0("Invalid connection ID 9"),
            false);
        row("CONNECTED for no request", true, "CONNECTED: 5 POP3 777\n",
            error0("Unexpected request ID 777 in CONNECTED, ignoring"), false);
        row("OK answering nothing", true, "OK\nOK: 4 12345\n",
            error0("OK command unexpected in this context") +
                error0("OK command unexpected in this context"),
            false);
        row("unhandled serving requests are refused", true,
            "CONNECT_TO: 1 POP3 55\nBEGIN_SESSION: 56\nCONNECTED: 3 SMTP\n",
            "FAIL: 17 55\nService not foundFAIL: 21 56\nSession not availableCONNECTION: 3 FAIL\n",
            false);
        row("syntax error ends the link", true, "HELP\nKEEP\n",
            error0("Syntax error in context: HELP") + "QUIT\n", true);
        row("context is percent-encoded", true, "HELLO: 2\t\n",
            error0("Syntax error in context: HELLO: 2%09") + "QUIT\n", true);
        row("payload over the limit ends the link", true, "DATA: 1 262145\n",
            error0("Maximum data chunk len is 262144") + "QUIT\n", true);
        row("QUIT", true, "QUIT\nKEEP\n", "QUIT\n", true);
    }

    void wire()
    {
        QFETCH(bool, shaken);
        QFETCH(QByteArray, input);
        QFETCH(QByteArray, output);
        QFETCH(bool, closes);
        Link link;
        QVERIFY(link.open());
        if (shaken)
            QVERIFY(link.shakeHands());
        const int from = link.peer.received().size();
        if (closes) {
            link.peer.write(input);
            QTRY_COMPARE_WITH_TIMEOUT(link.closed->count(), 1, 10000);
            QCOMPARE(link.drain(from), output);
        } else { // the answer to a last KEEP comes after whatever the input drew
            link.peer.write(input + "KEEP\n");
            QTRY_COMPARE_WITH_TIMEOUT(link.peer.received().mid(from), output + "OK\n", 10000);
        }
        QCOMPARE(link.handler->isReady(), !closes);
        link.handler->close(); // close() is final: closed() once
        QCOMPARE(link.closed->count(), 1);
    }

    void silentPeerIsDeadOnTheThirdTick()
    {
        Link link;
        QVERIFY(link.open() && link.shakeHands());
        link.peer.setAnswerKeep(false);
        QSignalSpy errors(link.handler.get(), &Relay::Connection::error);
        link.handler->setKeepAliveInterval(40);
        QTRY_COMPARE_WITH_TIMEOUT(link.closed->count(), 1, 10000);
        QCOMPARE(errors.value(0).value(0).toString(), QStringLiteral("Connection timeout"));
        QCOMPARE(link.drain(3), QByteArray("KEEP\nKEEP\nKEEP\nQUIT\n"));
    }

    void bareOkAnswersTheOldestWatchOrKeep_data()
    {
        QTest::addColumn<int>("watches");
        QTest::addColumn<int>("oks");
        QTest::newRow("OK answers WATCH") << 1 << 1;
        QTest::newRow("two WATCHes, two OKs") << 2 << 2;
        QTest::newRow("OK beyond them") << 1 << 2;
    }

    void bareOkAnswersTheOldestWatchOrKeep()
    {
        QFETCH(int, watches);
        QFETCH(int, oks);
        Link link;
        QVERIFY(link.open() && link.shakeHands());
        for (int i = 0; i < watches; ++i)
            link.handler->watchSession(5);
        QVERIFY(link.peer.waitForCount(1 + watches));
        const int from = link.peer.received().size();
        link.peer.write(QByteArray("OK\n").repeated(oks) + "KEEP\n");
        QVERIFY(link.peer.waitFor("OK", 1 + watches) >= 0);
        QCOMPARE(
            link.drain(from),
            QByteArray(error0("OK command unexpected in this context")).repeated(oks - watches) +
                "OK\n");
    }

    void blocksGoOutOnceEachAndTheCloseFollowsTheLast()
    {
        Link link;
        QVERIFY(link.open() && link.shakeHands());
        std::unique_ptr<Relay::Channel> local(link.carry(4));
        QVERIFY(local);
        const int from = link.peer.received().size();
        QVERIFY(local->send("first"));
        QVERIFY(local->send("second"));
        link.peer.writeLine("KEEP"); // one block on the wire until its TRANS
        QVERIFY(link.peer.waitFor("OK", 2) >= 0);
        link.peer.writeLine("TRANS: 4 OK");
        QTRY_COMPARE_WITH_TIMEOUT(link.peer.indexOf("DATA", link.peer.indexOf("OK", 2)) > 0, true,
                                  10000);
        local->close(); // "second" is on the wire: the close goes on without its TRANS
        QVERIFY(link.peer.waitFor("DISCONNECTED") > 0);
        link.peer.write("TRANS: 4 OK\nKEEP\n"); // crossing the close: no error
        QVERIFY(link.peer.waitFor("OK", link.peer.indexOf("DISCONNECTED")) > 0);
        QCOMPARE(link.drain(from), QByteArray("DATA: 4 5\nfirstOK\nDATA: 4 6\nsecondDISCONNECTED: "
                                              "4\nOK\n"));
    }

    void peerThatDoesNotReadCannotGrowTheWriteBuffer()
    {
        Link link;
        QVERIFY(link.open() && link.shakeHands());
        link.socket.setReadBufferSize(65536);
        link.peer.setKeepCommands(false);
        link.peer.setReading(false);
        const int keeps = 2000000; // more answers than the system's buffers hold
        link.peer.write(QByteArray("KEEP\n").repeated(keeps));
        QTRY_VERIFY_WITH_TIMEOUT(link.socket.bytesToWrite() > Handler::kMaxPendingWrite, 30000);
        QTest::qWait(100);
        QVERIFY(link.socket.bytesToWrite() <= Handler::kMaxPendingWrite + 64);
        link.peer.setReading(true); // and nothing was dropped
        QTRY_COMPARE_WITH_TIMEOUT(link.peer.receivedCommandCount(), qint64(keeps + 1), 60000);
    }

    void connectionIdConflictEndsTheLink()
    {
        Link link;
        QVERIFY(link.open() && link.shakeHands());
        std::unique_ptr<Relay::Channel> first(link.carry(4)), second(link.carry(4));
        QTRY_COMPARE_WITH_TIMEOUT(link.closed->count(), 1, 10000);
        QVERIFY(!first->isOpen() && !second->isOpen()); // every local side learns it
        QVERIFY(link.drain().endsWith(error0("Connection number conflict, 4 is already in use") +
                                      "QUIT\n"));
    }
};

TOLVANE_TEST_MAIN(TestHandler)
#include "tst_handler.moc"
