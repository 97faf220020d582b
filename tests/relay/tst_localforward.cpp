#include "relay/bufferedchannel.h"
#include "relay/channelsocketwrapper.h"
#include "relay/localservice.h"
#include "relay/localsocket.h"
#include "support/testbytes.h"
#include "support/testmain.h"

#include <QSignalSpy>
#include <QTcpSocket>
#include <QtTest>
#include <memory>

using Relay::Channel;
using TestSupport::TestBytes;

namespace {
constexpr int kChunk = 32768;
}

// Local forwards: a local client's bytes through a listener, a socket wrapper and a channel pair
// to the far owner of the pair, and back, none lost at either side's close; and the local service.
class TestLocalForward : public QObject
{
    Q_OBJECT

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
