#include "relay/bufferedchannel.h"
#include "relay/localsocket.h"
#include "relay/v2/handler.h"
#include "support/rawpeer.h"
#include "support/testmain.h"

#include <QSignalSpy>
#include <QTcpSocket>

#include <QtTest>
#include <memory>

#ifdef Q_OS_LINUX
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#endif

using Relay::V2::Handler;
using TestSupport::RawPeer;

namespace {
const QHostAddress kPeerAddress(QStringLiteral("127.0.0.2"));
}

// The handler over a real loopback TCP link, with a scripted raw peer on the other end.
class TestHandler : public QObject
{
    Q_OBJECT

private:
    struct Link
    {
        std::unique_ptr<RawPeer> peer;
        std::unique_ptr<QTcpSocket> socket;
        std::unique_ptr<Handler> handler;
        std::unique_ptr<QSignalSpy> ready;
        std::unique_ptr<QSignalSpy> closed;
        std::unique_ptr<QSignalSpy> errors;
    };

    // A connected link whose handler has not shaken hands yet.
    static std::unique_ptr<Link> openLink()
    {
        auto link = std::make_unique<Link>();
        link->peer = std::make_unique<RawPeer>();
        if (!link->peer->listen(kPeerAddress))
            return nullptr;
        link->socket = std::make_unique<QTcpSocket>();
        link->socket->connectToHost(kPeerAddress, link->peer->port());
        if (!link->socket->waitForConnected(10000) || !link->peer->waitConnected())
            return nullptr;
        link->handler = std::make_unique<Handler>(link->socket.get());
        link->ready = std::make_unique<QSignalSpy>(link->handler.get(), &Relay::Connection::ready);
        link->closed =
            std::make_unique<QSignalSpy>(link->handler.get(), &Relay::Connection::closed);
        link->errors = std::make_unique<QSignalSpy>(link->handler.get(), &Relay::Connection::error);
        // As every owner does: the socket goes as soon as the handler reports the link closed.
        QTcpSocket *socket = link->socket.get();
        QObject::connect(link->handler.get(), &Relay::Connection::closed, socket,
                         [socket] { socket->abort(); });
        return link;
    }

    // A link after the peer's HELLO and the handler's OK.
    static std::unique_ptr<Link> readyLink()
    {
        auto link = openLink();
        if (!link)
            return nullptr;
        link->peer->writeLine("HELLO: 2");
        if (!link->ready->wait(10000) && link->ready->isEmpty())
            return nullptr;
        if (link->peer->waitFor("OK") != 0)
            return nullptr;
        return link;
    }

    // Ends the handler's side of the TCP link and waits until the peer has everything the
    // handler ever wrote, so that "nothing was sent" can be checked.
    static bool drainHandlerSide(Link &link)
    {
        link.socket->flush();
        link.socket->disconnectFromHost();
        return link.peer->waitForPeerClose();
    }

    struct Carried
    {
        Relay::Channel *local = nullptr; // the local side's end; the test owns it
        quint64 requestId = 0;
    };

    // Asks the handler for a carried connection and returns the local end (open, as a socket
    // wrapper keeps it) and the request id the handler sent.
    static Carried requestCarried(Link &link, QObject *owner)
    {
        auto pair = Relay::BufferedChannel::makePair(262144);
        Relay::Channel *local = pair.first.release();
        local->setParent(owner);
        local->open();
        const int from = link.peer->count();
        link.handler->connectTo(77, "POP3", pair.second.release());
        const int index = link.peer->waitFor("CONNECT_TO", from);
        if (index < 0)
            return {};
        const auto command = link.peer->commands().at(index);
        if (command.args.size() != 3 || command.args.at(0) != "77" || command.args.at(1) != "POP3")
            return {};
        return {local, command.number(2)};
    }

    // A carried connection that the peer confirmed under the given id.
    static Carried establishCarried(Link &link, QObject *owner, quint64 id)
    {
        Carried carried = requestCarried(link, owner);
        if (!carried.local)
            return {};
        link.peer->writeLine("CONNECTED: " + QByteArray::number(id) + " POP3 " +
                             QByteArray::number(carried.requestId));
        if (!QTest::qWaitFor([&] { return link.handler->carriedConnectionCount() == 1; }, 10000))
            return {};
        return carried;
    }

private Q_SLOTS:
    void cleanup() { QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete); }

    void handshake_data()
    {
        QTest::addColumn<bool>("callHandshake");
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<QByteArray>("expected"); // the handler's wire bytes, all of them
        QTest::addColumn<int>("readyCount");
        QTest::addColumn<int>("closedCount");

        QTest::newRow("peer HELLO 2 is answered OK")
            << false << QByteArray("HELLO: 2\n") << QByteArray("OK\n") << 1 << 0;
        QTest::newRow("OK answers our HELLO")
            << true << QByteArray("OK\n") << QByteArray("HELLO: 2\n") << 1 << 0;
        QTest::newRow("second HELLO is ignored")
            << false << QByteArray("HELLO: 2\nHELLO: 2\n") << QByteArray("OK\n") << 1 << 0;
        QTest::newRow("HELLO 3 is refused")
            << false << QByteArray("HELLO: 3\n")
            << QByteArray("ERROR: 0 32\nProtocol version 3 not supported") << 0 << 1;
        QTest::newRow("KEEP before handshake")
            << false << QByteArray("KEEP\n") << QByteArray() << 0 << 1;
        QTest::newRow("QUIT before handshake")
            << false << QByteArray("QUIT\n") << QByteArray() << 0 << 1;
        QTest::newRow("DATA before handshake")
            << false << QByteArray("DATA: 1 3\nabc") << QByteArray() << 0 << 1;
        QTest::newRow("refused command stops the rest of the read")
            << false << QByteArray("WATCH: 5\nHELLO: 2\n") << QByteArray() << 0 << 1;
        QTest::newRow("parse error before handshake: ERROR, no QUIT")
            << false << QByteArray("HELP\n")
            << QByteArray("ERROR: 0 29\nSyntax error in context: HELP") << 0 << 1;
    }

    void handshake()
    {
        QFETCH(bool, callHandshake);
        QFETCH(QByteArray, input);
        QFETCH(QByteArray, expected);
        QFETCH(int, readyCount);
        QFETCH(int, closedCount);

        auto link = openLink();
        QVERIFY(link);
        if (callHandshake) {
            link->handler->handshake();
            QVERIFY(link->peer->waitFor("HELLO") == 0);
        }
        link->peer->write(input);
        if (closedCount > 0)
            QTRY_COMPARE_WITH_TIMEOUT(link->closed->count(), closedCount, 10000);
        else
            QTRY_COMPARE_WITH_TIMEOUT(link->ready->count(), readyCount, 10000);
        const bool up = readyCount > 0 && closedCount == 0;
        if (up) { // the link answers a KEEP after the handshake
            const int before = link->peer->count();
            link->peer->writeLine("KEEP");
            QVERIFY(link->peer->waitFor("OK", before) == before);
        }
        QVERIFY(drainHandlerSide(*link));
        QByteArray received = link->peer->received();
        if (up) {
            QVERIFY(received.endsWith("OK\n"));
            received.chop(3);
        }
        QCOMPARE(received, expected);
        QCOMPARE(link->ready->count(), readyCount);
        QCOMPARE(link->closed->count(), closedCount);
        QCOMPARE(link->handler->isReady(), readyCount > 0 && closedCount == 0);
        QVERIFY(!link->peer->malformed());
    }

    void closedHandlerNeverBecomesReady()
    {
        auto link = openLink();
        QVERIFY(link);
        link->peer->writeLine("KEEP");
        QTRY_COMPARE_WITH_TIMEOUT(link->closed->count(), 1, 10000);
        link->peer->writeLine("HELLO: 2");
        link->peer->writeLine("OK");
        link->handler->close();
        QVERIFY(drainHandlerSide(*link));
        QVERIFY(!link->handler->isReady());
        QCOMPARE(link->ready->count(), 0);
        QCOMPARE(link->closed->count(), 1);
        QCOMPARE(link->peer->received(), QByteArray());
    }

    void peerErrors_data()
    {
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<QByteArray>("errorText"); // ERROR on connection 0
        QTest::addColumn<bool>("closes");

        QTest::newRow("CONNECTION on unknown id")
            << QByteArray("CONNECTION: 9 OK\n") << QByteArray("Invalid connection ID 9") << false;
        QTest::newRow("DATA on unknown id")
            << QByteArray("DATA: 9 1\nx") << QByteArray("Invalid connection ID 9") << false;
        QTest::newRow("TRANS on unknown id")
            << QByteArray("TRANS: 9 OK\n") << QByteArray("Invalid connection ID 9") << false;
        QTest::newRow("DISCONNECT on unknown id")
            << QByteArray("DISCONNECT: 9\n") << QByteArray("Invalid connection ID 9") << false;
        QTest::newRow("DISCONNECTED on unknown id")
            << QByteArray("DISCONNECTED: 9\n") << QByteArray("Invalid connection ID 9") << false;
        QTest::newRow("ERROR on unknown id")
            << QByteArray("ERROR: 9 3\nabc") << QByteArray("Invalid connection ID 9") << false;
        QTest::newRow("CONNECTED with unknown request")
            << QByteArray("CONNECTED: 5 POP3 777\n")
            << QByteArray("Unexpected request ID 777 in CONNECTED, ignoring") << false;
        QTest::newRow("OK with nothing to answer")
            << QByteArray("OK\n") << QByteArray("OK command unexpected in this context") << false;
        QTest::newRow("OK with unknown session request")
            << QByteArray("OK: 4 12345\n") << QByteArray("OK command unexpected in this context")
            << false;
        QTest::newRow("syntax error closes")
            << QByteArray("HELP\nKEEP\n") << QByteArray("Syntax error in context: HELP") << true;
        QTest::newRow("context is percent-encoded")
            << QByteArray("HELLO: 2 x\n") << QByteArray("Syntax error in context: HELLO: 2 x")
            << true;
        QTest::newRow("payload length over the limit closes")
            << QByteArray("DATA: 1 262145\n") << QByteArray("Maximum data chunk len is 262144")
            << true;
    }

    void peerErrors()
    {
        QFETCH(QByteArray, input);
        QFETCH(QByteArray, errorText);
        QFETCH(bool, closes);

        auto link = readyLink();
        QVERIFY(link);
        link->peer->write(input);
        const int index = link->peer->waitFor("ERROR", 1);
        QVERIFY2(index > 0, link->peer->received().constData());
        const auto error = link->peer->commands().at(index);
        QCOMPARE(error.args.value(0), QByteArray("0"));
        QCOMPARE(error.text(), errorText);
        if (closes) {
            QTRY_COMPARE_WITH_TIMEOUT(link->closed->count(), 1, 10000);
            QVERIFY(link->peer->waitFor("QUIT", index) == index + 1);
            // Nothing queued by the same read is dispatched after the close: no OK for KEEP.
            QVERIFY(drainHandlerSide(*link));
            QCOMPARE(link->peer->count(), index + 2);
        } else {
            // The link goes on: a KEEP is still answered.
            link->peer->writeLine("KEEP");
            QVERIFY(link->peer->waitFor("OK", index + 1) == index + 1);
            QVERIFY(link->handler->isReady());
            QCOMPARE(link->closed->count(), 0);
        }
        QVERIFY(!link->peer->malformed());
    }

    void generalErrorFromPeer()
    {
        auto link = readyLink();
        QVERIFY(link);
        link->peer->writeError(0, "relay is shutting down");
        QTRY_COMPARE_WITH_TIMEOUT(link->errors->count(), 1, 10000);
        QCOMPARE(link->errors->at(0).at(0).toString(), QStringLiteral("relay is shutting down"));
        QVERIFY(link->handler->isReady());
        link->peer->writeFail("nobody asked", 4242);
        link->peer->writeLine("KEEP");
        QVERIFY(link->peer->waitFor("OK", 1) == 1);
        QCOMPARE(link->errors->count(), 1);
        QCOMPARE(link->closed->count(), 0);
    }

    void peerQuitCloses()
    {
        auto link = readyLink();
        QVERIFY(link);
        link->peer->write("QUIT\nKEEP\n");
        QTRY_COMPARE_WITH_TIMEOUT(link->closed->count(), 1, 10000);
        QVERIFY(link->peer->waitFor("QUIT", 1) == 1);
        QVERIFY(drainHandlerSide(*link));
        QCOMPARE(link->peer->count(), 2); // OK of the handshake and QUIT, nothing for KEEP
        link->handler->close();
        QCOMPARE(link->closed->count(), 1);
    }

    void closeOnClosedSocketSendsNothing()
    {
        auto link = readyLink();
        QVERIFY(link);
        link->socket->abort();
        link->handler->close();
        QCOMPARE(link->closed->count(), 1);
        QVERIFY(!link->handler->isReady());
        QVERIFY(link->peer->waitForPeerClose());
        QCOMPARE(link->peer->count(), 1);
    }

    void keepAliveDeclaresSilentPeerDead()
    {
        auto link = readyLink();
        QVERIFY(link);
        link->peer->setAnswerKeep(false);
        link->handler->setKeepAliveInterval(40);
        QTRY_COMPARE_WITH_TIMEOUT(link->closed->count(), 1, 10000);
        QCOMPARE(link->errors->count(), 1);
        QCOMPARE(link->errors->at(0).at(0).toString(), QStringLiteral("Connection timeout"));
        QVERIFY(drainHandlerSide(*link));
        QByteArrayList names;
        for (const auto &command : link->peer->commands())
            names.append(command.name);
        QCOMPARE(names, QByteArrayList({"OK", "KEEP", "KEEP", "KEEP", "QUIT"}));
    }

    void keepAliveAnsweredKeepsLinkUp()
    {
        auto link = readyLink();
        QVERIFY(link);
        link->handler->setKeepAliveInterval(30);
        // The peer answers every KEEP; wait for several rounds.
        QTRY_VERIFY_WITH_TIMEOUT(link->peer->commands().size() >= 6, 10000);
        QVERIFY(link->handler->isReady());
        QCOMPARE(link->closed->count(), 0);
        QCOMPARE(link->peer->indexOf("ERROR"), -1);
        QCOMPARE(link->peer->indexOf("QUIT"), -1);
    }

    void anyReceivedByteCountsAsActivity()
    {
        auto link = readyLink();
        QVERIFY(link);
        link->peer->setAnswerKeep(false);
        // Each KEEP is answered only with a fragment of a command that never completes.
        bool first = true;
        connect(link->peer.get(), &RawPeer::commandReceived, link->peer.get(), [&] {
            if (link->peer->commands().last().name != "KEEP")
                return;
            link->peer->write(first ? QByteArray("DATA: 1 1000\n") : QByteArray("x"));
            first = false;
        });
        link->handler->setKeepAliveInterval(30);
        QTRY_VERIFY_WITH_TIMEOUT(link->peer->commands().size() >= 7, 10000);
        QVERIFY(link->handler->isReady());
        QCOMPARE(link->closed->count(), 0);
        QCOMPARE(link->peer->indexOf("QUIT"), -1);
    }

    void largestBlockGoesOutWholeAndReleased()
    {
        auto link = readyLink();
        QVERIFY(link);
        QObject owner;
        Carried carried = establishCarried(*link, &owner, 6);
        QVERIFY(carried.local);
        QSignalSpy sent(carried.local, &Relay::Channel::dataSent);

        QByteArray block(32768, 'x');
        for (int i = 0; i < block.size(); i += 97)
            block[i] = char('a' + i % 26);
        const int from = link->peer->count();
        QVERIFY(carried.local->send(block));
        const int index = link->peer->waitFor("DATA", from);
        QVERIFY(index >= 0);
        QCOMPARE(link->peer->commands().at(index).args, QByteArrayList({"6", "32768"}));
        QVERIFY(link->peer->commands().at(index).payload == block);
#ifdef Q_OS_LINUX
        int corked = -1;
        socklen_t length = sizeof(corked);
        QCOMPARE(::getsockopt(int(link->socket->socketDescriptor()), IPPROTO_TCP, TCP_CORK, &corked,
                              &length),
                 0);
        QCOMPARE(corked, 0);
#endif
        // A small command right after it is not held back either.
        link->peer->writeLine("TRANS: 6 OK");
        QTRY_COMPARE_WITH_TIMEOUT(sent.count(), 1, 10000);
        link->peer->writeData(6, QByteArray("ab"));
        QTRY_VERIFY_WITH_TIMEOUT(!carried.local->peek().isEmpty(), 10000);
        const int beforeAck = link->peer->count();
        QCOMPARE(carried.local->recv(), QByteArray("ab"));
        QVERIFY(link->peer->waitFor("TRANS", beforeAck) >= 0);
        QVERIFY(!link->peer->malformed());
    }

    void connectionIdConflictCloses()
    {
        auto link = readyLink();
        QVERIFY(link);
        QObject owner;
        Carried first = establishCarried(*link, &owner, 4);
        QVERIFY(first.local);
        Carried second = requestCarried(*link, &owner);
        QVERIFY(second.local);
        QSignalSpy firstClosed(first.local, &Relay::Channel::closed);
        QSignalSpy secondClosed(second.local, &Relay::Channel::closed);
        const int from = link->peer->count();
        link->peer->writeLine("CONNECTED: 4 POP3 " + QByteArray::number(second.requestId));
        QTRY_COMPARE_WITH_TIMEOUT(link->closed->count(), 1, 10000);
        const int index = link->peer->waitFor("ERROR", from);
        QVERIFY(index >= 0);
        QCOMPARE(link->peer->commands().at(index).text(),
                 QByteArray("Connection number conflict, 4 is already in use"));
        QVERIFY(link->peer->waitFor("QUIT", index) > index);
        // Every local side learns that the link is gone.
        QCOMPARE(firstClosed.count(), 1);
        QCOMPARE(secondClosed.count(), 1);
        QCOMPARE(link->handler->carriedConnectionCount(), 0);
        QCOMPARE(link->handler->openRequestCount(), 0);
    }

    void closeEndsEveryCarriedConnectionOnce()
    {
        auto link = readyLink();
        QVERIFY(link);
        QObject owner;
        Carried carried = establishCarried(*link, &owner, 9);
        QVERIFY(carried.local);
        QSignalSpy localClosed(carried.local, &Relay::Channel::closed);
        link->handler->close();
        link->handler->close();
        QCOMPARE(link->closed->count(), 1);
        QCOMPARE(localClosed.count(), 1);
        QVERIFY(link->peer->waitFor("QUIT", 1) >= 0);
        QVERIFY(drainHandlerSide(*link));
        QCOMPARE(link->peer->indexOf("DISCONNECTED"), -1);
        QCOMPARE(link->peer->commands().last().name, QByteArray("QUIT"));
    }

    void watchAndClosedSession()
    {
        auto link = readyLink();
        QVERIFY(link);
        QSignalSpy watched(link->handler.get(), &Relay::Connection::watchedSessionClosed);
        link->handler->watchSession(18446744073709551615ULL);
        const int index = link->peer->waitFor("WATCH", 1);
        QVERIFY(index >= 0);
        QCOMPARE(link->peer->commands().at(index).args, QByteArrayList({"18446744073709551615"}));
        link->peer->writeLine("CLOSED: 31");
        QTRY_COMPARE_WITH_TIMEOUT(watched.count(), 1, 10000);
        QCOMPARE(watched.at(0).at(0).toULongLong(), 31ULL);
    }

    void unhandledServingRequestsAreRefused()
    {
        auto link = readyLink();
        QVERIFY(link);
        link->peer->write("CONNECT_TO: 1 POP3 55\nBEGIN_SESSION: 56\nCONNECTED: 3 SMTP\n");
        QVERIFY(link->peer->waitForCount(4));
        const auto &commands = link->peer->commands();
        QCOMPARE(commands.at(1).name, QByteArray("FAIL"));
        QCOMPARE(commands.at(1).args.value(1), QByteArray("55"));
        QCOMPARE(commands.at(2).name, QByteArray("FAIL"));
        QCOMPARE(commands.at(2).args.value(1), QByteArray("56"));
        QCOMPARE(commands.at(3).header(), QByteArray("CONNECTION: 3 FAIL"));
        QCOMPARE(link->handler->pendingConnectionCount(), 0);
        QVERIFY(link->handler->isReady());
    }

    void peerThatDoesNotReadCannotGrowTheWriteBuffer()
    {
        auto link = readyLink();
        QVERIFY(link);
        link->socket->setReadBufferSize(65536);
        link->peer->setKeepCommands(false);
        link->peer->setReading(false);
        // Every KEEP draws an OK: more answers than the system's buffers hold, and nobody reads.
        const int keeps = 2000000;
        const QByteArray keep("KEEP\n");
        QByteArray flood;
        flood.reserve(keeps * keep.size());
        for (int i = 0; i < keeps; ++i)
            flood += keep;
        link->peer->write(flood);
        // The handler stops reading once its unsent answers pass the limit.
        QTRY_VERIFY_WITH_TIMEOUT(link->socket->bytesToWrite() > Handler::kMaxPendingWrite, 30000);
        QTest::qWait(100);
        QVERIFY(link->socket->bytesToWrite() <= Handler::kMaxPendingWrite + 64);
        QVERIFY(link->socket->bytesAvailable() <= 65536);
        // Reading again, the peer gets every answer: nothing was dropped.
        link->peer->setReading(true);
        QTRY_COMPARE_WITH_TIMEOUT(link->peer->receivedCommandCount(), qint64(keeps + 1), 60000);
        QVERIFY(link->handler->isReady());
        QVERIFY(!link->peer->malformed());
    }

    void servingSideAnswersConnectTo_data()
    {
        QTest::addColumn<bool>("farEndGone");
        QTest::newRow("far end connects") << false;
        QTest::newRow("far end is gone") << true;
    }

    void servingSideAnswersConnectTo()
    {
        QFETCH(bool, farEndGone);
        auto link = readyLink();
        QVERIFY(link);
        QPointer<Relay::Channel> far;
        QSignalSpy requested(link->handler.get(), &Relay::Connection::newConnection);
        connect(link->handler.get(), &Relay::Connection::newConnection, link->handler.get(),
                [&](qulonglong sessionId, const QByteArray &serviceId) {
                    auto pair = Relay::BufferedChannel::makePair(262144);
                    far = pair.first.release();
                    far->setParent(link->handler.get());
                    if (farEndGone)
                        delete far.data();
                    link->handler->accept(sessionId, serviceId, pair.second.release());
                });
        link->peer->writeLine("CONNECT_TO: 1 POP3 44");
        QTRY_COMPARE_WITH_TIMEOUT(requested.count(), 1, 10000);
        if (farEndGone) {
            const int index = link->peer->waitFor("FAIL", 1);
            QVERIFY(index == 1);
            QCOMPARE(link->peer->commands().at(index).args.value(1), QByteArray("44"));
            QCOMPARE(link->peer->commands().at(index).text(), QByteArray("Connection closed"));
            QCOMPARE(link->handler->carriedConnectionCount(), 0);
            return;
        }
        QVERIFY(far);
        far->open();
        const int index = link->peer->waitFor("CONNECTED", 1);
        QVERIFY(index == 1);
        QCOMPARE(link->peer->commands().at(index).header(), QByteArray("CONNECTED: 1 POP3 44"));
        link->peer->writeData(1, "to the service");
        QTRY_COMPARE_WITH_TIMEOUT(far->peek(), QByteArray("to the service"), 10000);
        far->recv();
        QVERIFY(link->peer->waitFor("TRANS", index) > index);
        QVERIFY(far->send("from the service"));
        const int data = link->peer->waitFor("DATA", index);
        QVERIFY(data > index);
        QCOMPARE(link->peer->commands().at(data).payload, QByteArray("from the service"));
        // The peer closes: the far end learns it and nothing is sent back.
        QSignalSpy farClosed(far.data(), &Relay::Channel::closed);
        const int before = link->peer->count();
        link->peer->write("DISCONNECT: 1\nKEEP\n");
        QTRY_COMPARE_WITH_TIMEOUT(farClosed.count(), 1, 10000);
        QVERIFY(link->peer->waitFor("OK", before) == before);
    }

    void bareOkAnswersTheOldestRequest_data()
    {
        QTest::addColumn<int>("watches");
        QTest::addColumn<int>("oks");
        QTest::addColumn<int>("errors");
        QTest::newRow("OK answers WATCH") << 1 << 1 << 0;
        QTest::newRow("two WATCHes, two OKs") << 2 << 2 << 0;
        QTest::newRow("OK beyond the requests") << 1 << 2 << 1;
    }

    void bareOkAnswersTheOldestRequest()
    {
        QFETCH(int, watches);
        QFETCH(int, oks);
        QFETCH(int, errors);
        auto link = readyLink();
        QVERIFY(link);
        for (int i = 0; i < watches; ++i)
            link->handler->watchSession(5 + i);
        QVERIFY(link->peer->waitForCount(1 + watches));
        const int from = link->peer->count();
        link->peer->write(QByteArray("OK\n").repeated(oks) + "KEEP\n");
        // The KEEP's answer comes after whatever the OKs drew.
        QVERIFY(link->peer->waitForCount(from + errors + 1));
        QVERIFY(drainHandlerSide(*link));
        QCOMPARE(link->peer->count(), from + errors + 1);
        for (int i = 0; i < errors; ++i)
            QCOMPARE(link->peer->commands().at(from + i).text(),
                     QByteArray("OK command unexpected in this context"));
        QCOMPARE(link->peer->commands().last().header(), QByteArray("OK"));
    }

    void queuedBlocksGoOutOnceEachInOrder()
    {
        auto link = readyLink();
        QVERIFY(link);
        QObject owner;
        Carried carried = establishCarried(*link, &owner, 4);
        QVERIFY(carried.local);
        const int from = link->peer->count();
        QVERIFY(carried.local->send("first"));
        QVERIFY(carried.local->send("second"));
        QVERIFY(link->peer->waitFor("DATA", from) == from);
        link->peer->writeLine("KEEP"); // one block on the wire until its TRANS
        QVERIFY(link->peer->waitFor("OK", from) == from + 1);
        link->peer->writeLine("TRANS: 4 OK");
        QVERIFY(link->peer->waitFor("DATA", from + 2) == from + 2);
        link->peer->write("TRANS: 4 OK\nKEEP\n");
        QVERIFY(link->peer->waitFor("OK", from + 3) == from + 3);
        QByteArrayList blocks;
        for (const auto &command : link->peer->commands().mid(from)) {
            if (command.name == "DATA")
                blocks.append(command.payload);
        }
        QCOMPARE(blocks, QByteArrayList({"first", "second"}));
        QTRY_COMPARE_WITH_TIMEOUT(carried.local->peek(), QByteArray(), 10000);
    }

    void localCloseWithLastBlockUnacknowledgedIsPassedOn()
    {
        auto link = readyLink();
        QVERIFY(link);
        Relay::LocalSocket forward;
        QVERIFY(forward.listen(QHostAddress::LocalHost, 0));
        connect(&forward, qOverload<Relay::Channel *>(&Relay::LocalSocket::newConnection),
                link->handler.get(),
                [&](Relay::Channel *channel) { link->handler->connectTo(77, "POP3", channel); });
        QTcpSocket client;
        client.connectToHost(QHostAddress::LocalHost, forward.serverPort());
        const int request = link->peer->waitFor("CONNECT_TO");
        QVERIFY(request > 0);
        link->peer->writeLine("CONNECTED: 6 POP3 " + link->peer->commands().at(request).args.at(2));
        QVERIFY(client.waitForConnected(10000));
        client.write("last words");
        client.disconnectFromHost();
        const int data = link->peer->waitFor("DATA", request);
        QVERIFY(data > request);
        QCOMPARE(link->peer->commands().at(data).payload, QByteArray("last words"));
        // No TRANS: the block is on the wire, so the close goes on at once.
        const int closed = link->peer->waitFor("DISCONNECTED", data);
        QCOMPARE(closed, data + 1);
        QCOMPARE(link->peer->commands().at(closed).args, QByteArrayList({"6"}));
        // The TRANS that crossed it is no error.
        link->peer->write("TRANS: 6 OK\nKEEP\n");
        QCOMPARE(link->peer->waitFor("OK", closed), closed + 1);
        QCOMPARE(link->peer->indexOf("ERROR"), -1);
    }

    void requestIdsComeFromACounter()
    {
        auto link = readyLink();
        QVERIFY(link);
        QObject owner;
        const Carried a = requestCarried(*link, &owner);
        const Carried b = requestCarried(*link, &owner);
        QVERIFY(a.local && b.local);
        QCOMPARE(b.requestId, a.requestId + 1);
    }
};

TOLVANE_TEST_MAIN(TestHandler)
#include "tst_handler.moc"
