#include "support/echoserver.h"

#include <QTcpSocket>

namespace TestSupport {

EchoServer::EchoServer(QObject *parent) : QTcpServer(parent)
{
    connect(this, &QTcpServer::newConnection, this, &EchoServer::onNewConnection);
}

void EchoServer::onNewConnection()
{
    while (QTcpSocket *socket = nextPendingConnection()) {
        ++m_connectionCount;
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] {
            const QByteArray data = socket->readAll();
            m_bytesEchoed += data.size();
            socket->write(data);
        });
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    }
}

} // namespace TestSupport
