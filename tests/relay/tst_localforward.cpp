// A local client and a service on 127.0.0.1 joined through a listener, two socket wrappers and
// one channel pair, the way a tunnelled connection runs with the relay taken out of the middle.

#include "relay/channel.h"
#include "relay/localservice.h"
#include "relay/localsocket.h"
#include "support/echoserver.h"
#include "support/sinkserver.h"
#include "support/sourceserver.h"
#include "support/streamclient.h"
#include "support/testbytes.h"
#include "support/testmain.h"

#include <QSignalSpy>
#include <QtTest>

using Relay::Channel;
using Relay::LocalService;
using Relay::LocalSocket;
using TestSupport::EchoServer;
using TestSupport::SinkServer;
using TestSupport::SourceServer;
using TestSupport::StreamClient;
using TestSupport::TestBytes;

namespace {

enum Direction { kUpload, kDownload, kEcho };

// Listener and service joined: each accepted connection's relay-side end goes straight to the
// service for the given service id.
struct Forward
{
    Forward(const QByteArray &serviceId, quint16 servicePort)
    {
        service.forward(serviceId, servicePort);
        service.forwardToConnection(serviceId, 1);
        QObject::connect(&listener, qOverload<Channel *>(&LocalSocket::newConnection), &service,
                         [this, serviceId](Channel *channel) {
                             QMetaObject::invokeMethod(
                                 &service, "handleConnection", Q_ARG(qulonglong, 1),
                                 Q_ARG(QByteArray, serviceId), Q_ARG(Relay::Channel *, channel));
                         });
        listening = listener.listen(QHostAddress::LocalHost, 0);
    }
    LocalService service;
    LocalSocket listener;
    bool listening = false;
};

} // namespace

class TestLocalForward : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void carriesEveryByte_data();
    void carriesEveryByte();
    void severalConnectionsAtOnce();
};

void TestLocalForward::carriesEveryByte_data()
{
    QTest::addColumn<int>("direction");
    QTest::addColumn<int>("size");
    const int sizes[] = {1, 32767, 32768, 32769, 262145, 10 * 1024 * 1024};
    for (const int size : sizes) {
        QTest::addRow("client sends %d bytes and closes", size) << int(kUpload) << size;
        QTest::addRow("service sends %d bytes and closes", size) << int(kDownload) << size;
        QTest::addRow("%d bytes there and back", size) << int(kEcho) << size;
    }
}

void TestLocalForward::carriesEveryByte()
{
    QFETCH(int, direction);
    QFETCH(int, size);
    const QByteArray data = TestBytes::make(size, quint32(size + direction));
    const QByteArray digest = TestBytes::sha256(data);
    const int timeout = 60000;

    if (direction == kUpload) {
        SinkServer sink;
        QVERIFY(sink.listen(QHostAddress::LocalHost, 0));
        Forward forward("SINK", sink.serverPort());
        QVERIFY(forward.listening);
        StreamClient client;
        client.connectTo(forward.listener.serverPort());
        QTRY_VERIFY(client.isConnected());
        client.send(data, true);
        QTRY_COMPARE_WITH_TIMEOUT(sink.finished().size(), 1, timeout);
        QCOMPARE(sink.finished().first().size(), size);
        QCOMPARE(TestBytes::sha256(sink.finished().first()), digest);
        QTRY_COMPARE(forward.listener.connectionCount(), 0);
    } else if (direction == kDownload) {
        SourceServer source(data);
        QVERIFY(source.listen(QHostAddress::LocalHost, 0));
        Forward forward("SOURCE", source.serverPort());
        QVERIFY(forward.listening);
        StreamClient client;
        client.connectTo(forward.listener.serverPort());
        QTRY_VERIFY_WITH_TIMEOUT(client.hasEnded(), timeout);
        QCOMPARE(client.received().size(), size);
        QCOMPARE(TestBytes::sha256(client.received()), digest);
        QTRY_COMPARE(forward.listener.connectionCount(), 0);
    } else {
        EchoServer echo;
        QVERIFY(echo.listen(QHostAddress::LocalHost, 0));
        Forward forward("ECHO", echo.serverPort());
        QVERIFY(forward.listening);
        StreamClient client;
        client.connectTo(forward.listener.serverPort());
        QTRY_VERIFY(client.isConnected());
        client.send(data);
        QTRY_COMPARE_WITH_TIMEOUT(client.received().size(), size, timeout);
        QCOMPARE(TestBytes::sha256(client.received()), digest);
        QCOMPARE(echo.bytesEchoed(), qint64(size));
        client.close();
        QTRY_COMPARE(forward.listener.connectionCount(), 0);
        QTRY_VERIFY(forward.service.findChildren<QObject *>().isEmpty());
    }
}

void TestLocalForward::severalConnectionsAtOnce()
{
    EchoServer echo;
    QVERIFY(echo.listen(QHostAddress::LocalHost, 0));
    Forward forward("ECHO", echo.serverPort());
    QVERIFY(forward.listening);
    std::vector<std::unique_ptr<StreamClient>> clients;
    QByteArrayList sent;
    for (int i = 0; i < 8; ++i) {
        clients.push_back(std::make_unique<StreamClient>());
        clients.back()->connectTo(forward.listener.serverPort());
        sent << TestBytes::make(100000 + i * 977, quint32(i));
    }
    for (int i = 0; i < 8; ++i) {
        QTRY_VERIFY(clients[i]->isConnected());
        clients[i]->send(sent.at(i));
    }
    for (int i = 0; i < 8; ++i)
        QTRY_COMPARE_WITH_TIMEOUT(clients[i]->received(), sent.at(i), 30000);
    QCOMPARE(echo.connectionCount(), 8);
    QCOMPARE(forward.listener.connectionCount(), 8);
}

TOLVANE_TEST_MAIN(TestLocalForward)
#include "tst_localforward.moc"
