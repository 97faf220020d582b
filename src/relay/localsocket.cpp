#include "relay/localsocket.h"

#include "log/logger.h"
#include "relay/bufferedchannel.h"
#include "relay/channelsocketwrapper.h"

#include <QMetaMethod>
#include <QTcpSocket>

namespace Relay {

namespace {
const Log::Logger kLog("Relay::LocalSocket");
const qint64 kChunkSize = 32768;
const int kCapacity = 262144;
} // namespace

LocalSocket::LocalSocket(QObject *parent)
    : QTcpServer(parent), m_drainTimeoutMs(ChannelSocketWrapper::kDefaultDrainTimeoutMs)
{
    kLog.trace(this) << "Relay::LocalSocket::LocalSocket(QObject*)";
    connect(this, &QTcpServer::newConnection, this, &LocalSocket::onNewConnection);
}

LocalSocket::~LocalSocket()
{
    kLog.trace(this) << "Relay::LocalSocket::~LocalSocket()";
    stop();
    // Wrappers still draining go with their parent, which resets their connections.
    m_wrappers.clear();
}

void LocalSocket::stop()
{
    kLog.trace(this) << "void Relay::LocalSocket::stop()";
    close();
    const QSet<ChannelSocketWrapper *> wrappers = m_wrappers;
    for (ChannelSocketWrapper *wrapper : wrappers) {
        if (m_wrappers.contains(wrapper))
            wrapper->close();
    }
}

void LocalSocket::onNewConnection()
{
    kLog.trace(this) << "void Relay::LocalSocket::onNewConnection()";
    QTcpSocket *socket = nextPendingConnection();
    if (!socket)
        return;
    kLog.trace(this) << "Accepted connection from"
                     << socket->peerAddress().toString() + QLatin1Char(':') +
                            QString::number(socket->peerPort());
    socket->setParent(nullptr); // the wrapper owns it
    socket->setReadBufferSize(kChunkSize);
    auto channels = BufferedChannel::makePair(kCapacity);
    auto *wrapper =
        new ChannelSocketWrapper(channels.first.release(), socket, kChunkSize, true, this);
    wrapper->setDrainTimeout(m_drainTimeoutMs);
    m_wrappers.insert(wrapper);
    connect(wrapper, &ChannelSocketWrapper::closed, this, &LocalSocket::onDisconnected);
    // With nobody to take the relay side's end, dropping it closes the pair and so the client.
    static const QMetaMethod signal =
        QMetaMethod::fromSignal(qOverload<Channel *>(&LocalSocket::newConnection));
    if (!isSignalConnected(signal)) {
        kLog.warn(this) << "No relay side takes the connection; closing it";
        return;
    }
    Q_EMIT newConnection(channels.second.release()); // the receiver owns it
}

void LocalSocket::onDisconnected()
{
    kLog.trace(this) << "void Relay::LocalSocket::onDisconnected()";
    auto *wrapper = qobject_cast<ChannelSocketWrapper *>(sender());
    if (!wrapper || !m_wrappers.remove(wrapper))
        return;
    wrapper->deleteLater();
    if (m_wrappers.isEmpty())
        Q_EMIT connectionsEnded();
}

} // namespace Relay
