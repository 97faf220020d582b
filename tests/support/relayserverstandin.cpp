#include "support/relayserverstandin.h"

#include "relay/v2/handler.h"

#include <QTcpSocket>

namespace TestSupport {

RelayServerStandIn::RelayServerStandIn(QObject *parent) : QObject(parent)
{
    m_router.setLocalService(&m_localService);
    connect(&m_server, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket *socket = m_server.nextPendingConnection()) {
            socket->setReadBufferSize(1024 * 1024);
            auto *handler = new Relay::V2::Handler(socket, socket);
            m_router.addConnection(handler);
            connect(socket, &QTcpSocket::disconnected, handler, &Relay::V2::Handler::close);
            connect(handler, &Relay::Connection::closed, socket, [socket] {
                socket->disconnectFromHost();
                socket->deleteLater();
            });
            Q_EMIT linkAccepted();
        }
    });
}

RelayServerStandIn::~RelayServerStandIn()
{
    // Every link ends (and the router forgets it) before the sockets take their handlers along.
    for (Relay::V2::Handler *handler : m_server.findChildren<Relay::V2::Handler *>())
        handler->close();
}

bool RelayServerStandIn::listen(const QHostAddress &address, quint16 port)
{
    return m_server.listen(address, port);
}

void RelayServerStandIn::dropNewest()
{
    const QList<QTcpSocket *> sockets = m_server.findChildren<QTcpSocket *>();
    for (auto it = sockets.crbegin(); it != sockets.crend(); ++it) {
        if ((*it)->state() == QAbstractSocket::ConnectedState)
            return (*it)->abort();
    }
}

void RelayServerStandIn::serveLocally(const QByteArray &serviceId, quint16 port)
{
    m_localService.forward(serviceId, port);
    m_localService.forwardToConnection(serviceId, 1);
}

} // namespace TestSupport
