#include "support/relayserverstandin.h"

#include "relay/localservice.h"
#include "relay/router.h"
#include "relay/v2/handler.h"

#include <QTcpSocket>

namespace TestSupport {

RelayServerStandIn::RelayServerStandIn(QObject *parent) : QObject(parent)
{
    m_router = new Relay::Router(this);
    connect(&m_server, &QTcpServer::newConnection, this, &RelayServerStandIn::onNewConnection);
}

RelayServerStandIn::~RelayServerStandIn()
{
    m_server.close();
    for (const Link &link : qAsConst(m_links)) {
        if (link.handler) {
            disconnect(link.handler, nullptr, this, nullptr);
            m_router->removeConnection(link.handler);
            delete link.handler;
        }
        if (link.socket) {
            link.socket->abort();
            delete link.socket;
        }
    }
}

bool RelayServerStandIn::listen(const QHostAddress &address, quint16 port)
{
    return m_server.listen(address, port);
}

void RelayServerStandIn::onNewConnection()
{
    while (QTcpSocket *socket = m_server.nextPendingConnection()) {
        socket->setParent(nullptr);
        socket->setReadBufferSize(1024 * 1024);
        auto *handler = new Relay::V2::Handler(socket, nullptr);
        if (m_keepAliveInterval > 0)
            handler->setKeepAliveInterval(m_keepAliveInterval);
        m_router->addConnection(handler);
        connect(socket, &QTcpSocket::disconnected, handler, &Relay::V2::Handler::close);
        connect(handler, &Relay::Connection::closed, this, [this, socket, handler] {
            for (int i = 0; i < m_links.size(); ++i) {
                if (m_links.at(i).handler == handler) {
                    m_links.removeAt(i);
                    break;
                }
            }
            disconnect(socket, nullptr, handler, nullptr);
            if (socket->state() == QAbstractSocket::ConnectedState)
                socket->disconnectFromHost();
            handler->deleteLater();
            socket->deleteLater();
        });
        m_links.append({socket, handler});
        Q_EMIT linkAccepted();
    }
}

int RelayServerStandIn::linkCount() const
{
    return m_links.size();
}

QList<Relay::V2::Handler *> RelayServerStandIn::handlers() const
{
    QList<Relay::V2::Handler *> result;
    for (const Link &link : m_links) {
        if (link.handler)
            result.append(link.handler);
    }
    return result;
}

void RelayServerStandIn::dropAll()
{
    const QList<Link> links = m_links;
    for (const Link &link : links) {
        if (link.socket)
            link.socket->abort();
    }
}

void RelayServerStandIn::closeAll()
{
    const QList<Link> links = m_links;
    for (const Link &link : links) {
        if (link.handler)
            link.handler->close();
    }
}

void RelayServerStandIn::dropNewest()
{
    if (!m_links.isEmpty() && m_links.last().socket)
        m_links.last().socket->abort();
}

void RelayServerStandIn::serveLocally(const QByteArray &serviceId, quint16 port)
{
    if (!m_localService) {
        m_localService = new Relay::LocalService(this);
        m_router->setLocalService(m_localService);
    }
    m_localService->forward(serviceId, port);
    m_localService->forwardToConnection(serviceId, 1);
}

} // namespace TestSupport
