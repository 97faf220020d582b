#include "relay/v2/connectionmanager.h"

#include "log/logger.h"
#include "relay/channel.h"
#include "relay/connection.h"
#include "relay/localsocket.h"
#include "relay/router.h"
#include "relay/v2/protocolimpl.h"

namespace Relay {

namespace {
const Log::Logger kLog("Relay::ConnectionManager");
}

ConnectionManager::ConnectionManager(QObject *parent)
    : QObject(parent), m_protocol(std::make_unique<V2::ProtocolImpl>())
{
    m_router = new Router(this);
    m_socket.setReadBufferSize(kReadBufferSize);
    m_handshakeTimer.setSingleShot(true);
    m_handshakeTimer.setInterval(kHandshakeTimeout);
    connect(&m_handshakeTimer, &QTimer::timeout, this, &ConnectionManager::onHandshakeTimeout);
    connect(&m_socket, &QAbstractSocket::errorOccurred, this, &ConnectionManager::onSocketError);
}

ConnectionManager::~ConnectionManager()
{
    disconnectFromRelay();
    disconnect(&m_socket, nullptr, this, nullptr);
}

void ConnectionManager::connectToRelay(const QHostAddress &address, quint16 port)
{
    kLog.trace(this) << "connectToRelay(" << address << "," << port << ")";
    makeConnection();
    m_socket.connectToHost(address, port, QIODevice::ReadWrite);
}

void ConnectionManager::connectToRelay(const QString &host, quint16 port)
{
    kLog.trace(this) << "connectToRelay(" << host << "," << port << ")";
    makeConnection();
    m_socket.connectToHost(host, port, QIODevice::ReadWrite, QAbstractSocket::AnyIPProtocol);
}

void ConnectionManager::makeConnection()
{
    if (m_connection) {
        kLog.trace(this) << "closing existing connection";
        disconnectFromRelay();
    }
    // Every attempt starts from an unconnected socket, so it reaches the endpoint it names even
    // when the previous link is still closing.
    if (m_socket.state() != QAbstractSocket::UnconnectedState) {
        if (m_socket.state() == QAbstractSocket::ConnectedState)
            m_socket.flush();
        m_socket.abort();
    }
    m_connection = m_protocol->create(&m_socket);
    kLog.trace(this) << "Created protocol handler" << m_connection;
    connect(&m_socket, &QAbstractSocket::connected, m_connection, &Connection::handshake);
    connect(&m_socket, &QAbstractSocket::disconnected, m_connection, &Connection::close);
    connect(m_connection, &Connection::ready, this, &ConnectionManager::onConnectionReady);
    connect(m_connection, &Connection::error, this, &ConnectionManager::onConnectionError);
    connect(m_connection, &Connection::closed, this, &ConnectionManager::onConnectionClosed);
    connect(m_connection, &Connection::watchedSessionClosed, this,
            &ConnectionManager::sessionClosed);
    m_attemptInProgress = true;
    m_handshakeTimer.start();
}

void ConnectionManager::dropConnection()
{
    if (!m_connection)
        return;
    kLog.trace(this) << "Deleting connection";
    disconnect(&m_socket, nullptr, m_connection, nullptr);
    disconnect(m_connection, nullptr, this, nullptr);
    // A closed handler lets go of the socket at once: until its deferred deletion it must not
    // read what arrives for the next attempt, nor write to it.
    m_connection->close();
    m_connection->deleteLater();
    m_connection = nullptr;
}

void ConnectionManager::disconnectFromRelay()
{
    kLog.trace(this) << "disconnect()";
    if (m_connection && m_connection->isReady()) {
        m_connection->close();
        return;
    }
    if (m_connection) {
        // An attempt still under way ends quietly: neither failed() nor disconnected().
        m_attemptInProgress = false;
        m_handshakeTimer.stop();
        dropConnection();
    }
    m_socket.abort();
}

void ConnectionManager::onSocketError(QAbstractSocket::SocketError error)
{
    kLog.error(this) << "Socket error:" << error << m_socket.errorString();
    if (!m_attemptInProgress)
        return;
    failAttempt();
}

void ConnectionManager::failAttempt()
{
    m_attemptInProgress = false;
    m_handshakeTimer.stop();
    dropConnection();
    if (m_socket.state() != QAbstractSocket::UnconnectedState)
        m_socket.abort();
    Q_EMIT failed();
}

void ConnectionManager::onHandshakeTimeout()
{
    if (!m_attemptInProgress)
        return;
    kLog.warn(this) << "No handshake within" << m_handshakeTimer.interval() << "ms, giving up";
    failAttempt();
}

void ConnectionManager::onConnectionReady()
{
    if (sender() != m_connection)
        return;
    m_attemptInProgress = false;
    m_handshakeTimer.stop();
    Q_EMIT connected();
}

void ConnectionManager::onConnectionError(QString message)
{
    if (sender() != m_connection)
        return;
    kLog.error(this) << "Connection error:" << message;
}

void ConnectionManager::onConnectionClosed()
{
    if (sender() != m_connection)
        return;
    if (m_attemptInProgress) {
        // Refused or broken before the handshake completed: the attempt failed.
        failAttempt();
        return;
    }
    dropConnection();
    m_socket.disconnectFromHost();
    const QList<LocalSocket *> listeners = m_forwards.keys();
    m_forwards.clear();
    for (LocalSocket *listener : listeners) {
        // A stopped listener accepts nothing more, but its connections may still be handing
        // their local clients what came over the link; it goes once the last of them has ended.
        listener->stop();
        if (listener->connectionCount() == 0)
            listener->deleteLater();
        else
            connect(listener, &LocalSocket::connectionsEnded, listener, &QObject::deleteLater);
    }
    Q_EMIT disconnected();
}

quint16 ConnectionManager::addForward(quint64 sessionId, const QByteArray &serviceId)
{
    kLog.trace(this) << "quint16 Relay::ConnectionManager::addForward(quint64, const QByteArray&)"
                     << sessionId << serviceId;
    const EndPoint endPoint{sessionId, serviceId};
    for (auto it = m_forwards.cbegin(); it != m_forwards.cend(); ++it) {
        if (it.value() == endPoint)
            return it.key()->serverPort();
    }
    auto *listener = new LocalSocket(this);
    if (!listener->listen(QHostAddress(QHostAddress::LocalHost), m_forwardPort)) {
        kLog.error(this) << "Cannot listen for" << serviceId << ":" << listener->errorString();
        delete listener;
        return 0;
    }
    m_forwards.insert(listener, endPoint);
    connect(listener, qOverload<Relay::Channel *>(&LocalSocket::newConnection), this,
            &ConnectionManager::onLocalConnection);
    return listener->serverPort();
}

void ConnectionManager::onLocalConnection(Relay::Channel *channel)
{
    auto *listener = qobject_cast<LocalSocket *>(sender());
    const auto it = m_forwards.constFind(listener);
    if (it != m_forwards.cend() && isConnected()) {
        kLog.trace(this) << "Connecting" << channel << "to" << it->sessionId << "," << it->serviceId;
        m_connection->connectTo(it->sessionId, it->serviceId, channel);
        return;
    }
    kLog.trace(this) << "Ignoring and deleting" << channel;
    channel->deleteLater();
}

void ConnectionManager::watch(quint64 sessionId)
{
    kLog.trace(this) << "void Relay::ConnectionManager::watch(quint64)" << sessionId;
    if (!isConnected()) {
        kLog.warn(this) << "watch() called on disconnected instance";
        return;
    }
    m_connection->watchSession(sessionId);
}

bool ConnectionManager::isConnected() const
{
    return m_connection && m_connection->isReady();
}

} // namespace Relay
