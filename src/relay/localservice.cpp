#include "relay/localservice.h"

#include "log/logger.h"
#include "relay/channel.h"
#include "relay/channelsocketwrapper.h"

#include <QHostAddress>
#include <QTcpSocket>

namespace Relay {

namespace {
const Log::Logger kLog("Relay::LocalService");
const qint64 kChunkSize = 32768;
} // namespace

LocalService::LocalService(QObject *parent)
    : Service(parent), m_drainTimeoutMs(ChannelSocketWrapper::kDefaultDrainTimeoutMs)
{
}

void LocalService::forward(const QByteArray &serviceId, quint16 port)
{
    kLog.trace(this) << "void Relay::LocalService::forward(const QByteArray&, quint16)" << serviceId
                     << port;
    m_ports.insert(serviceId, port);
}

void LocalService::forwardToConnection(const QByteArray &serviceId, int type)
{
    kLog.trace(this) << "void Relay::LocalService::forwardToConnection(const QByteArray&, int)"
                     << serviceId << type;
    m_connectionTypes.insert(serviceId, type);
}

void LocalService::handleConnection(qulonglong sessionId, QByteArray serviceId, Channel *channel)
{
    kLog.trace(this) << "void Relay::LocalService::handleConnection(qulonglong, QByteArray, "
                        "Relay::Channel*)"
                     << sessionId << serviceId << channel;
    if (!channel)
        return;
    if (!m_connectionTypes.contains(serviceId)) {
        kLog.debug(this) << "No service" << serviceId;
        channel->sendError(QStringLiteral("Service not found"));
        channel->close();
        // The channel was handed over to this service; nobody else will delete it.
        channel->deleteLater();
        return;
    }
    const quint16 port = m_ports.value(serviceId, 0);
    // No parent: the wrapper alone owns the socket. As a child of the service it would go
    // before the wrapper, with an ordinary end, where the wrapper resets a connection still open.
    auto *socket = new QTcpSocket;
    socket->setReadBufferSize(kChunkSize);
    auto *wrapper = new ChannelSocketWrapper(channel, socket, kChunkSize, true, this);
    wrapper->setDrainTimeout(m_drainTimeoutMs);
    connect(wrapper, &ChannelSocketWrapper::closed, wrapper, &QObject::deleteLater);
    socket->connectToHost(QHostAddress(QHostAddress::LocalHost), port, QIODevice::ReadWrite);
}

} // namespace Relay
