#include "support/sourceserver.h"

#include <QTcpSocket>

namespace TestSupport {

SourceServer::SourceServer(const QByteArray &data, QObject *parent)
    : QTcpServer(parent), m_data(data)
{
    connect(this, &QTcpServer::newConnection, this, &SourceServer::onNewConnection);
}

void SourceServer::onNewConnection()
{
    while (QTcpSocket *socket = nextPendingConnection()) {
        ++m_connectionCount;
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        socket->write(m_data);
        socket->disconnectFromHost();
    }
}

} // namespace TestSupport
