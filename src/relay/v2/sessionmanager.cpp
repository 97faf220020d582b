#include "relay/v2/sessionmanager.h"

#include "log/logger.h"
#include "relay/connection.h"
#include "relay/localservice.h"
#include "relay/router.h"
#include "relay/v2/protocolimpl.h"

namespace Relay {

namespace {
const Log::Logger kLog("Relay::SessionManager");
}

SessionManager::SessionManager(QObject *parent)
    : QObject(parent), m_protocol(std::make_unique<V2::ProtocolImpl>())
{
    m_router = new Router(this);
    m_localService = new LocalService(m_router);
    m_router->setLocalService(m_localService);
    m_socket.setReadBufferSize(kReadBufferSize);
    m_handshakeTimer.setSingleShot(true);
    m_handshakeTimer.setInterval(kHandshakeTimeout);
    connect(&m_handshakeTimer, &QTimer::timeout, this, &SessionManager::onHandshakeTimeout);
    connect(&m_socket, &QAbstractSocket::connected, this, &SessionManager::onSocketConnected);
    connect(&m_socket, &QAbstractSocket::errorOccurred, this, &SessionManager::onSocketError);
    connect(&m_socket, &QAbstractSocket::disconnected, this, &SessionManager::onSocketDisconnected);
}

SessionManager::~SessionManager()
{
    close();
    disconnect(&m_socket, nullptr, this, nullptr);
    if (m_connection) {
        disconnect(m_connection, nullptr, this, nullptr);
        m_router->removeConnection(m_connection);
        delete m_connection;
        m_connection = nullptr;
    }
}

void SessionManager::connectToRelay(const QString &host, quint16 port)
{
    kLog.debug(this) << "connectToRelay(" << host << "," << port << ")";
    if (m_connection) {
        kLog.warn(this) << "Aborting existing connection in connectToRelay";
        close();
    }
    // A fresh attempt starts from an unconnected socket.
    if (m_socket.state() != QAbstractSocket::UnconnectedState) {
        if (m_socket.state() == QAbstractSocket::ConnectedState)
            m_socket.flush();
        m_socket.abort();
    }
    m_attemptInProgress = true;
    m_handshakeTimer.start();
    m_socket.connectToHost(host, port, QIODevice::ReadWrite, QAbstractSocket::AnyIPProtocol);
}

void SessionManager::connectToRelay(const QHostAddress &address, quint16 port)
{
    connectToRelay(address.toString(), port);
}

void SessionManager::addLocalForward(const QByteArray &serviceId, quint16 port)
{
    m_localService->forward(serviceId, port);
}

void SessionManager::addLocalForwardConnectionType(const QByteArray &serviceId, int type)
{
    m_localService->forwardToConnection(serviceId, type);
}

void SessionManager::watch(qulonglong sessionId)
{
    kLog.trace(this) << "void Relay::SessionManager::watch(qulonglong)" << sessionId;
    if (m_connection && m_connection->isReady()) {
        Q_EMIT m_connection->watch(sessionId);
        return;
    }
    kLog.warn(this) << "watch() on disconnected session";
}

bool SessionManager::isReady() const
{
    return m_sessionId != 0;
}

void SessionManager::close()
{
    kLog.trace(this) << "void Relay::SessionManager::close()";
    if (m_connection) {
        m_connection->close();
        return;
    }
    m_attemptInProgress = false;
    m_handshakeTimer.stop();
    m_socket.abort();
}

void SessionManager::onSocketConnected()
{
    if (m_connection)
        dropConnection();
    m_connection = m_protocol->create(&m_socket);
    kLog.debug(this) << "Socket connected, created protocol handler" << m_connection;
    connect(m_connection, &Connection::ready, this, &SessionManager::onConnectionReady);
    connect(m_connection, &Connection::sessionStarted, this,
            &SessionManager::onConnectionSessionStarted);
    connect(m_connection, &Connection::closed, this, &SessionManager::onConnectionClosed);
    connect(m_connection, &Connection::error, this, &SessionManager::onConnectionError);
    connect(m_connection, &Connection::watchedSessionClosed, this, &SessionManager::sessionClosed);
    m_connection->handshake();
}

void SessionManager::onConnectionReady()
{
    if (sender() != m_connection)
        return;
    m_router->addConnection(m_connection);
    m_connection->startSession();
}

void SessionManager::onConnectionSessionStarted(qulonglong sessionId)
{
    if (sender() != m_connection)
        return;
    m_attemptInProgress = false;
    m_handshakeTimer.stop();
    m_sessionId = sessionId;
    Q_EMIT connected(sessionId);
}

void SessionManager::onSocketError(QAbstractSocket::SocketError error)
{
    kLog.error(this) << "Socket error:" << error << m_socket.errorString();
    if (m_attemptInProgress) {
        m_attemptInProgress = false;
        m_handshakeTimer.stop();
        dropConnection();
        m_socket.abort();
        Q_EMIT failed();
    }
}

void SessionManager::onSocketDisconnected()
{
    kLog.debug(this) << "Socket disconnected";
    if (!m_connection)
        return;
    // The handler closes (emitting closed() even before its handshake) and the closed step runs.
    m_connection->close();
}

void SessionManager::onConnectionClosed()
{
    if (sender() != m_connection)
        return;
    m_handshakeTimer.stop();
    const bool hadSession = m_sessionId != 0;
    m_sessionId = 0;
    m_attemptInProgress = false;
    dropConnection();
    if (m_socket.state() != QAbstractSocket::UnconnectedState)
        m_socket.disconnectFromHost();
    if (hadSession)
        Q_EMIT disconnected();
    else
        Q_EMIT failed();
}

void SessionManager::onConnectionError(QString message)
{
    if (sender() != m_connection)
        return;
    kLog.warn(this) << "Connection error:" << message;
    if (m_sessionId == 0)
        m_connection->close();
}

void SessionManager::onHandshakeTimeout()
{
    if (!m_attemptInProgress)
        return;
    kLog.warn(this) << "No session within" << m_handshakeTimer.interval() << "ms, giving up";
    m_attemptInProgress = false;
    dropConnection();
    m_socket.abort();
    Q_EMIT failed();
}

void SessionManager::dropConnection()
{
    if (!m_connection)
        return;
    disconnect(m_connection, nullptr, this, nullptr);
    m_router->removeConnection(m_connection);
    // A closed handler lets go of the socket at once: until its deferred deletion it must not
    // read what arrives for the next attempt, nor write to it.
    m_connection->close();
    m_connection->deleteLater();
    m_connection = nullptr;
}

} // namespace Relay
