#include "relay/bufferedchannel.h"
#include "relay/channelsocketwrapper.h"
#include "relay/localservice.h"
#include "relay/localsocket.h"
#include "support/testbytes.h"
#include "support/testmain.h"

#include <QSignalSpy>
#include <QTcpSocket>
#include <QtTest>
#include <arpa/inet.h>
#include <cerrno>
#include <memory>
#include <sys/socket.h>
#include <unistd.h>

using Relay::Channel;
using TestSupport::TestBytes;

namespace {
constexpr int kChunk = 32768;

// A local client on a plain system socket, so that a reset can be told from an ordinary end.
class RawClient
{
public:
    // The receive buffer is set before the connect, so that the window it offers stays small.
    explicit RawClient(int receiveBuffer) : m_socket(::socket(AF_INET, SOCK_STREAM, 0))
    {
        ::setsockopt(m_socket, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof(receiveBuffer));
    }
    ~RawClient() { ::close(m_socket); }
    RawClient(const RawClient &) = delete;
    RawClient &operator=(const RawClient &) = delete;

    bool connectTo(quint16 port)
    {
        sockaddr_in peer{};
        peer.sin_family = AF_INET;
        peer.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        peer.sin_port = htons(port);
        return ::connect(m_socket, reinterpret_cast<const sockaddr *>(&peer), sizeof(peer)) == 0;
    }
    // Takes at most `most` of the bytes that are there, without waiting; notes how the stream
    // ended once it has.
    void read(int most)
    {
        if (ended())
            return;
        QByteArray buffer(most, Qt::Uninitialized);
        const ssize_t result = ::recv(m_socket, buffer.data(), size_t(most), MSG_DONTWAIT);
        if (result > 0)
            m_received += buffer.left(int(result));
        else if (result == 0)
            m_error = 0;
        else if (errno != EAGAIN && errno != EWOULDBLOCK)
            m_error = errno;
    }
    bool ended() const { return m_error != kOpen; }
    // 0 for an ordinary end, else the error that ended the stream.
    int error() const { return m_error; }
    const QByteArray &received() const { return m_received; }

private:
    static constexpr int kOpen = -1;
    int m_socket;
    int m_error = kOpen;
    QByteArray m_received;
};
} // namespace

// Local forwards: a local client's bytes through a listener, a socket wrapper and a channel pair
// to the far owner of the pair, and back, none lost at either side's close; a client that stops
// reading is cut with a reset; and the local service.
class TestLocalForward : public QObject
{
    Q_OBJECT

    // The drain rows: a system send queue of a few hundred kB. At the slow client's pace its
    // first third, which must go before the socket can hand the system more, takes almost twice
    // the drain time-out; the client takes bytes at every one of its many reads meanwhile.
    static constexpr int kDrainMs = 1000;
    static constexpr int kSendBuffer = 196608; // the system allows for twice as much
    static constexpr int kReceiveBuffer = 4096;
    static constexpr int kReadEveryMs = 20;
    static constexpr int kSlowRead = 1024; // 50 kB/s

private Q_SLOTS:
    void initTestCase() { qRegisterMetaType<Relay::Channel *>(); }
    void cleanup() { QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete); }

    void forwardCarriesEveryByte_data()
    {
        QTest::addColumn<bool>("upload");
        QTest::addColumn<int>("size");
        QTest::addColumn<bool>("late"); // upload: the far owner takes nothing before the client
                                        // closed; download: the client reads nothing before
                                        // the far owner closed
        for (int size : {1, kChunk, kChunk + 1, 4 << 20}) {
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
        const auto takeOne = [&] {
            received += far->peek();
            --waiting;
            far->recv();
        };
        connect(far.get(), &Channel::newData, this, [&] {
            // One message of the local side's at a time, of a chunk at most; counted before the
            // take, which may offer the next message at once.
            QVERIFY(++waiting == 1 && far->peek().size() <= kChunk);
            if (take)
                takeOne();
        });
        int queued = 0;
        const auto feed = [&] {
            while (queued < size) { // counted first: a send may come back here at once
                const QByteArray piece = sent.mid(queued, 131072);
                queued += piece.size();
                if (!far->send(piece))
                    return void(queued -= piece.size());
            }
            if (late)
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
                takeOne();
            }
            QTRY_COMPARE_WITH_TIMEOUT(received.size(), size, 20000);
            QTRY_COMPARE_WITH_TIMEOUT(farClosed.count(), 1, 10000);
        } else {
            QSignalSpy farSent(far.get(), &Channel::dataSent);
            if (late) { // small system buffers: a block cannot be written at once
                client.setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, 16384);
                forward.findChild<Relay::ChannelSocketWrapper *>()->socket()->setSocketOption(
                    QAbstractSocket::SendBufferSizeSocketOption, 16384);
            }
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

    void drainEndsInOrderOrWithAReset_data()
    {
        QTest::addColumn<int>("bytesPerRead"); // one read every kReadEveryMs; 0: the client waits
        QTest::addColumn<bool>("destroy"); // the listener is destroyed while it drains, as at exit
        QTest::newRow("client never reads: cut at the limit") << 0 << false;
        QTest::newRow("client reads steadily but slower than the limit") << kSlowRead << false;
        QTest::newRow("listener destroyed while draining") << 0 << true;
    }

    // The far owner closes while the system's send queue towards a client that has read nothing
    // yet is full and the socket holds more. A client that then keeps taking bytes, however
    // slowly, gets every one of them and an ordinary end. A connection cut because the client
    // took nothing for the drain time-out, or because its listener went, is reset: the client
    // reads fewer bytes, then "connection reset".
    void drainEndsInOrderOrWithAReset()
    {
        QFETCH(int, bytesPerRead);
        QFETCH(bool, destroy);
        auto forward = std::make_unique<Relay::LocalSocket>();
        forward->setDrainTimeout(kDrainMs);
        QVERIFY(forward->listen(QHostAddress::LocalHost, 0));
        QSignalSpy accepted(forward.get(),
                            qOverload<Channel *>(&Relay::LocalSocket::newConnection));
        QSignalSpy ended(forward.get(), &Relay::LocalSocket::connectionsEnded);
        RawClient client(kReceiveBuffer);
        QVERIFY(client.connectTo(forward->serverPort()));
        QVERIFY(accepted.wait(10000));
        std::unique_ptr<Channel> far(accepted.at(0).at(0).value<Channel *>());
        QTcpSocket *socket = forward->findChild<Relay::ChannelSocketWrapper *>()->socket();
        socket->setSocketOption(QAbstractSocket::SendBufferSizeSocketOption, kSendBuffer);
        far->open();
        // The wrapper hands each block to the system at once, until the system's queue is full
        // and the socket keeps the rest of one.
        const QByteArray stream = TestBytes::make(4 << 20, 7);
        int sent = 0;
        while (socket->bytesToWrite() == 0) {
            QVERIFY(sent < stream.size());
            QVERIFY(far->send(stream.mid(sent, kChunk)));
            sent += kChunk;
        }
        far->close();
        if (destroy)
            forward.reset();
        else if (bytesPerRead == 0)
            QVERIFY(ended.wait(kDrainMs * 20)); // the cut
        QTimer reader;
        connect(&reader, &QTimer::timeout, this,
                [&] { client.read(bytesPerRead > 0 ? bytesPerRead : kChunk); });
        reader.start(bytesPerRead > 0 ? kReadEveryMs : 0);
        QTRY_VERIFY_WITH_TIMEOUT(client.ended(), 60000);
        const QByteArray &received = client.received();
        QVERIFY(received == stream.left(received.size()));
        if (bytesPerRead > 0) {
            QCOMPARE(received.size(), sent);
            QCOMPARE(client.error(), 0);
        } else {
            QVERIFY(received.size() < sent);
            QCOMPARE(client.error(), ECONNRESET);
        }
    }

    void localServiceRefusesServicesNotOffered()
    {
        Relay::LocalService service;
        service.forward("SMTP", 25); // a port, but not offered
        auto pair = Relay::BufferedChannel::makePair(8);
        pair.first->open();
        service.handleConnection(5, "SMTP", pair.second.release());
        QCOMPARE(pair.first->lastError(), QStringLiteral("Service not found"));
        QVERIFY(!pair.first->isOpen());
    }
};

TOLVANE_TEST_MAIN(TestLocalForward)
#include "tst_localforward.moc"
