#include "relay/bufferedchannel.h"
#include "relay/channelsocketwrapper.h"
#include "relay/localservice.h"
#include "relay/localsocket.h"
#include "support/echoserver.h"
#include "support/testbytes.h"
#include "support/testmain.h"

#include <QSignalSpy>
#include <QTcpSocket>
#include <QtTest>
#include <memory>

using Relay::BufferedChannel;
using Relay::Channel;
using TestSupport::TestBytes;

namespace {
constexpr int kChunk = 32768;
}

// Channel pairs, and local forwards: a local client's bytes through a listener, a socket
// wrapper and a channel pair to the far owner of the pair, and back.
class TestChannels : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { qRegisterMetaType<Relay::Channel *>(); }
    void cleanup() { QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete); }

    // Operations on the ends A and B of a pair of capacity 8: o open, c close, d destroy,
    // s<n> send n bytes, r recv, p peek, e sendError("x"). The log holds what each returned
    // (A+3 accepted, A-3 refused, B<3 taken, B?3 peeked) and every signal in order.
    void pair_data()
    {
        QTest::addColumn<QString>("script");
        QTest::addColumn<QString>("log");
        QTest::newRow("the second opener hears first") << "oA oB"
                                                       << "B:conn A:conn";
        QTest::newRow("budget: the capacity exactly, no byte more")
            << "oA oB s8A s1A rB s1A"
            << "B:conn A:conn B:new A+8 A-1 A:sent B<8 B:new A+1";
        QTest::newRow("messages keep their bounds") << "oA oB s1A s2A pB pB rB rB rB"
                                                    << "B:conn A:conn B:new A+1 B:new A+2 "
                                                       "B?1 B?1 A:sent B<1 A:sent B<2 B<0";
        QTest::newRow("an end not open refuses") << "oB s1A"
                                                 << "A-1";
        QTest::newRow("close reaches both ends once") << "oA oB cB cB cA s1A"
                                                      << "B:conn A:conn B:closed A:closed A-1";
        QTest::newRow("closing an end never opened closes both") << "oA cB"
                                                                 << "B:closed A:closed";
        QTest::newRow("a closed end stays closed") << "oA oB cA oA"
                                                   << "B:conn A:conn A:closed B:closed A:closed";
        QTest::newRow("error before opening keeps the pair apart") << "oA eA oB s1B"
                                                                   << "B:error=x B-1";
        QTest::newRow("error reaches an open peer") << "oA oB eA"
                                                    << "B:conn A:conn B:error=x";
        QTest::newRow("destroyed end closes its peer; queued messages stay")
            << "oA oB s2A dA rB"
            << "B:conn A:conn B:new A+2 A:closed B:closed B<2";
    }

    void pair()
    {
        QFETCH(QString, script);
        QFETCH(QString, log);
        QStringList events; // outlives the ends, which still report their close
        auto pair = BufferedChannel::makePair(8);
        std::unique_ptr<BufferedChannel> ends[2] = {std::move(pair.first), std::move(pair.second)};
        for (int i = 0; i < 2; ++i) {
            const QString name = i == 0 ? "A" : "B";
            Channel *end = ends[i].get();
            connect(end, &Channel::connected, this, [&events, name] { events << name + ":conn"; });
            connect(end, &Channel::newData, this, [&events, name] { events << name + ":new"; });
            connect(end, &Channel::dataSent, this, [&events, name] { events << name + ":sent"; });
            connect(end, &Channel::closed, this, [&events, name] { events << name + ":closed"; });
            connect(end, &Channel::error, this,
                    [&events, name](const QString &text) { events << name + ":error=" + text; });
        }
        BufferedChannel *end = nullptr;
        QString name;
        int size = 0;
        const QHash<char, std::function<void()>> steps = {
            {'o', [&] { end->open(); }},
            {'c', [&] { end->close(); }},
            {'d', [&] { ends[name == "A" ? 0 : 1].reset(); }},
            {'e', [&] { end->sendError("x"); }},
            {'r', [&] { events << name + "<" + QString::number(end->recv().size()); }},
            {'p', [&] { events << name + "?" + QString::number(end->peek().size()); }},
            {'s', [&] {
                 events << name + (end->send(QByteArray(size, 'm')) ? "+" : "-") +
                               QString::number(size);
             }}};
        for (const QString &op : script.split(' ')) {
            name = op.right(1);
            end = ends[name == "A" ? 0 : 1].get();
            size = op.mid(1, op.size() - 2).toInt();
            steps.value(op.at(0).toLatin1())();
        }
        QCOMPARE(events.join(' '), log);
    }

    void forwardCarriesEveryByte_data()
    {
        QTest::addColumn<bool>("upload");
        QTest::addColumn<int>("size");
        QTest::addColumn<bool>("late"); // upload: the far owner takes nothing before the client
                                        // closed; download: the client reads nothing before
                                        // the far owner closed
        for (int size : {1, kChunk, kChunk + 1, 300000}) {
            QTest::addRow("upload %d", size) << true << size << false;
            QTest::addRow("download %d", size) << false << size << false;
        }
        QTest::newRow("upload closed with its only block waiting") << true << 1 << true;
        QTest::newRow("upload whose last bytes come with the close")
            << true << kChunk + 100 << true;
        QTest::newRow("download closed while the client reads slowly") << false << 262144 << true;
    }

    void forwardCarriesEveryByte()
    {
        QFETCH(bool, upload);
        QFETCH(int, size);
        QFETCH(bool, late);
        Relay::LocalSocket forward;
        QVERIFY(forward.listen(QHostAddress::LocalHost, 0));
        QSignalSpy accepted(&forward, qOverload<Channel *>(&Relay::LocalSocket::newConnection));
        QTcpSocket client;
        client.setReadBufferSize(late ? 4096 : 0);
        client.connectToHost(QHostAddress::LocalHost, forward.serverPort());
        QVERIFY(accepted.wait(10000));
        std::unique_ptr<Channel> far(accepted.at(0).at(0).value<Channel *>());
        QSignalSpy farClosed(far.get(), &Channel::closed);
        const QByteArray sent = TestBytes::make(size, quint32(size));
        QByteArray received;
        int waiting = 0; // messages offered to the far owner and not taken yet
        bool take = !late || !upload;
        connect(far.get(), &Channel::newData, this, [&] {
            ++waiting;
            QVERIFY(waiting == 1); // one message of the local side's at a time
            QVERIFY(far->peek().size() <= kChunk);
            if (take) { // kept before the take, which may offer the next message at once
                received += far->peek();
                --waiting;
                far->recv();
            }
        });
        int queued = 0;
        auto feed = [&] {
            while (queued < size) { // counted first: a send may come back here at once
                const QByteArray piece = sent.mid(queued, 131072);
                queued += piece.size();
                if (!far->send(piece)) {
                    queued -= piece.size();
                    break;
                }
            }
            if (queued == size && late)
                far->close(); // the rest still waits in the channel
        };
        connect(far.get(), &Channel::dataSent, this, feed);
        far->open();
        if (upload) {
            client.write(sent);
            client.disconnectFromHost();
            QTRY_COMPARE_WITH_TIMEOUT(client.state(), QAbstractSocket::UnconnectedState, 10000);
            if (late) {
                // The forward sees the close while a message waits; nothing else tells when.
                QTest::qWait(100);
                // All is read: the channel closes with the last block still for the far owner.
                QCOMPARE(farClosed.count(), size <= kChunk ? 1 : 0);
                QCOMPARE(waiting, 1);
                take = true;
                received += far->peek();
                --waiting;
                far->recv();
            }
            QTRY_COMPARE_WITH_TIMEOUT(received.size(), size, 20000);
            QTRY_COMPARE_WITH_TIMEOUT(farClosed.count(), 1, 10000);
        } else {
            QSignalSpy farSent(far.get(), &Channel::dataSent);
            // Small system buffers: a block cannot be written at once.
            client.setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, 16384);
            forward.findChild<Relay::ChannelSocketWrapper *>()->socket()->setSocketOption(
                QAbstractSocket::SendBufferSizeSocketOption, 16384);
            feed();
            if (late) { // a block leaves the channel only once the socket has written all of it
                QTest::qWait(100);
                QCOMPARE(farSent.count(), 0);
            } else
                QTRY_COMPARE_WITH_TIMEOUT(queued, size, 20000);
            client.setReadBufferSize(0);
            connect(&client, &QTcpSocket::readyRead, this, [&] { received += client.readAll(); });
            received += client.readAll();
            if (!late)
                far->close();
            QTRY_COMPARE_WITH_TIMEOUT(client.state(), QAbstractSocket::UnconnectedState, 20000);
            received += client.readAll();
        }
        QCOMPARE(received.size(), sent.size());
        QCOMPARE(TestBytes::sha256(received), TestBytes::sha256(sent));
    }

    void localServiceConnectsOfferedServicesOnly()
    {
        TestSupport::EchoServer echo;
        QVERIFY(echo.listen(QHostAddress::LocalHost));
        Relay::LocalService service;
        service.forward("POP3", echo.serverPort());
        service.forward("SMTP", echo.serverPort()); // a port, but not offered
        service.forwardToConnection("POP3", 1);
        for (const QByteArray serviceId : {"SMTP", "POP3"}) {
            auto pair = BufferedChannel::makePair(262144);
            std::unique_ptr<Channel> far(pair.first.release());
            QSignalSpy farData(far.get(), &Channel::newData);
            far->open();
            service.handleConnection(5, serviceId, pair.second.release());
            if (serviceId == "SMTP") {
                QCOMPARE(far->lastError(), QStringLiteral("Service not found"));
                QVERIFY(!far->isOpen());
                continue;
            }
            QVERIFY(far->send("ping"));
            QVERIFY(farData.wait(10000));
            QCOMPARE(far->recv(), QByteArray("ping"));
        }
    }
};

TOLVANE_TEST_MAIN(TestChannels)
#include "tst_channels.moc"
