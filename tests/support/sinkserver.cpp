#include "support/sinkserver.h"

#include <QTcpSocket>
#include <memory>

namespace TestSupport {

SinkServer::SinkServer(QObject *parent) : QTcpServer(parent)
{
    connect(this, &QTcpServer::newConnection, this, &SinkServer::onNewConnection);
}

void SinkServer::onNewConnection()
{
    while (QTcpSocket *socket = nextPendingConnection()) {
        ++m_connectionCount;
        auto received = std::make_shared<QByteArray>();
        connect(socket, &QTcpSocket::readyRead, this, [this, socket, received] {
            const QByteArray data = socket->readAll();
            m_bytesReceived += data.size();
            received->append(data);
        });
        connect(socket, &QTcpSocket::disconnected, this, [this, socket, received] {
            const QByteArray rest = socket->readAll();
            m_bytesReceived += rest.size();
            received->append(rest);
            m_finished << *received;
            socket->deleteLater();
            Q_EMIT connectionFinished(*received);
        });
    }
}

} // namespace TestSupport
