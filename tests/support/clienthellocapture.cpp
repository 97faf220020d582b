#include "support/clienthellocapture.h"

#include <QSslConfiguration>
#include <QSslSocket>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <memory>

namespace TestSupport {

namespace {
// Whether the bytes hold one whole TLS record.
bool completeRecord(const QByteArray &data)
{
    if (data.size() < 5)
        return false;
    const int length = (quint8(data.at(3)) << 8) | quint8(data.at(4));
    return data.size() >= 5 + length;
}
} // namespace

QByteArray ClientHelloCapture::capture(const QString &peerName)
{
    QTcpServer server;
    if (!server.listen(QHostAddress::LocalHost))
        return QByteArray();
    QSslSocket client;
    QSslConfiguration configuration = client.sslConfiguration();
    configuration.setPeerVerifyMode(QSslSocket::VerifyNone);
    client.setSslConfiguration(configuration);
    client.connectToHostEncrypted(QStringLiteral("127.0.0.1"), server.serverPort(), peerName);

    if (!QTest::qWaitFor([&server] { return server.hasPendingConnections(); }, 30000))
        return QByteArray();
    std::unique_ptr<QTcpSocket> accepted(server.nextPendingConnection());
    QByteArray data;
    const bool complete = QTest::qWaitFor(
        [&] {
            data += accepted->readAll();
            return completeRecord(data);
        },
        30000);
    client.abort();
    if (!complete)
        return QByteArray();
    const int length = (quint8(data.at(3)) << 8) | quint8(data.at(4));
    return data.left(5 + length);
}

} // namespace TestSupport
