#include "support/tlstestserver.h"

namespace TestSupport {

TlsTestServer::TlsTestServer(const TestIdentity &identity, QObject *parent)
    : QTcpServer(parent), m_identity(identity)
{
}

void TlsTestServer::setSocketFactory(std::function<QSslSocket *(QObject *)> factory)
{
    m_factory = std::move(factory);
}

void TlsTestServer::setStarter(std::function<void(QSslSocket *)> starter)
{
    m_starter = std::move(starter);
}

bool TlsTestServer::listenOnLoopback(const QHostAddress &address)
{
    return listen(address, 0);
}

QList<QSslSocket *> TlsTestServer::sockets() const
{
    QList<QSslSocket *> result;
    for (const QPointer<QSslSocket> &socket : m_sockets) {
        if (socket)
            result.append(socket.data());
    }
    return result;
}

void TlsTestServer::incomingConnection(qintptr descriptor)
{
    QSslSocket *socket = m_factory ? m_factory(this) : new QSslSocket(this);
    if (!socket->setSocketDescriptor(descriptor)) {
        delete socket;
        return;
    }
    m_sockets.append(socket);
    Q_EMIT accepted(socket);
    if (m_starter) {
        m_starter(socket);
        return;
    }
    socket->setLocalCertificate(m_identity.certificate);
    socket->setPrivateKey(m_identity.key);
    socket->startServerEncryption();
}

} // namespace TestSupport
