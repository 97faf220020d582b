#include "relay/v2/carriedconnections.h"

#include "log/logger.h"
#include "relay/channel.h"
#include "relay/v2/command.h"
#include "relay/v2/link.h"

#include <atomic>

namespace Relay::V2 {

namespace {
// A part of the handler: its lines follow the handler's logger level (the logger tree passes a
// level set on "Relay::V2::Handler" down to this one).
const Log::Logger kLog("Relay::V2::Handler::CarriedConnections");
} // namespace

quint64 CarriedConnections::nextRequestId()
{
    static std::atomic<quint64> s_lastRequestId{0};
    return ++s_lastRequestId;
}

CarriedConnections::CarriedConnections(Link &link, QObject *parent) : QObject(parent), m_link(link)
{
    m_drainTimer.setSingleShot(true);
    connect(&m_drainTimer, &QTimer::timeout, this, &CarriedConnections::onDrainTimeout);
}

CarriedConnections::~CarriedConnections()
{
    // The local sides learn that the link is gone; nothing calls back into a half-destroyed owner.
    closeAll();
}

void CarriedConnections::closeAll()
{
    const QList<Relay::Channel *> channels = m_carried.keys();
    m_carried.clear();
    m_ids.clear();
    m_requests.clear();
    m_endedWithBlockOnWire.clear();
    m_drainTimer.stop();
    for (Relay::Channel *channel : channels) {
        kLog.trace(this) << "Removing channel" << channel;
        disconnect(channel, nullptr, this, nullptr);
        abandon(channel);
    }
}

CarriedConnections::Carried *CarriedConnections::find(Relay::Channel *channel)
{
    const auto it = m_carried.find(channel);
    return it == m_carried.end() ? nullptr : &it.value();
}

CarriedConnections::Carried *CarriedConnections::sending()
{
    return find(qobject_cast<Relay::Channel *>(sender()));
}

CarriedConnections::Carried *CarriedConnections::known(quint64 id)
{
    Relay::Channel *channel = m_ids.value(id);
    if (!channel)
        emitError(0, QStringLiteral("Invalid connection ID %1").arg(id));
    return channel ? find(channel) : nullptr;
}

void CarriedConnections::emitError(quint64 id, const QString &text)
{
    kLog.error(this) << "Sending error to peer:" << id << text;
    m_link.sendError(id, text);
}

quint64 CarriedConnections::nextConnectionId()
{
    do {
        ++m_lastConnectionId;
    } while (m_lastConnectionId == 0 || m_ids.contains(m_lastConnectionId));
    return m_lastConnectionId;
}

void CarriedConnections::watch(Relay::Channel *channel)
{
    connect(channel, &Relay::Channel::connected, this, &CarriedConnections::onChannelConnected);
    connect(channel, &Relay::Channel::newData, this, &CarriedConnections::onChannelData);
    connect(channel, &Relay::Channel::dataSent, this, &CarriedConnections::onChannelSent);
    connect(channel, &Relay::Channel::error, this, &CarriedConnections::onChannelError);
    connect(channel, &Relay::Channel::closed, this, &CarriedConnections::onChannelClosed);
}

void CarriedConnections::request(quint64 sessionId, const QByteArray &serviceId,
                                 Relay::Channel *channel)
{
    Carried carried;
    carried.channel = channel;
    carried.phase = Phase::kRequested;
    carried.requestId = nextRequestId();
    m_carried.insert(channel, carried);
    m_requests.insert(carried.requestId, channel);
    watch(channel);
    // The local end opens now so that a local close before the far side answers is seen; what
    // the local client sends meanwhile waits in the channel until the connection id is known.
    channel->open();
    m_link.send(
        Command(CommandType::CONNECT_TO, {Command::number(sessionId), Command::Argument(serviceId),
                                          Command::number(carried.requestId)}));
}

quint64 CarriedConnections::add(Relay::Channel *channel, quint64 id, std::optional<Answer> answer)
{
    if (id == 0)
        id = nextConnectionId();
    kLog.trace(this) << "Adding channel" << channel << "with ID =" << id;
    Carried carried;
    carried.channel = channel;
    carried.id = id;
    carried.answer = std::move(answer);
    m_carried.insert(channel, carried);
    m_ids.insert(id, channel);
    m_endedWithBlockOnWire.remove(id);
    watch(channel);
    return id;
}

void CarriedConnections::onConnected(quint64 id, quint64 requestId)
{
    const auto it = m_requests.find(requestId);
    if (it == m_requests.end()) {
        emitError(0,
                  QStringLiteral("Unexpected request ID %1 in CONNECTED, ignoring").arg(requestId));
        return;
    }
    Relay::Channel *channel = it.value();
    m_requests.erase(it);
    if (!channel) {
        // The local client went away while the far side was connecting.
        m_link.send(Command(CommandType::DISCONNECTED, {Command::number(id)}));
        return;
    }
    // The far side chose the id: the channel is added under it.
    kLog.trace(this) << "Adding channel" << channel << "with ID =" << id;
    Carried &carried = m_carried[channel];
    carried.id = id;
    carried.phase = Phase::kOpening;
    m_ids.insert(id, channel);
    m_endedWithBlockOnWire.remove(id);
    if (carried.localConnected)
        establish(channel);
    else
        channel->open();
}

bool CarriedConnections::onFail(quint64 requestId, const QString &text)
{
    const auto it = m_requests.find(requestId);
    if (it == m_requests.end())
        return false;
    Relay::Channel *channel = it.value();
    m_requests.erase(it);
    if (channel) {
        m_carried.remove(channel);
        disconnect(channel, nullptr, this, nullptr);
        channel->sendError(text);
        abandon(channel);
    }
    return true;
}

void CarriedConnections::onConnection(quint64 id, bool accepted)
{
    Carried *carried = known(id);
    if (!carried)
        return;
    if (carried->phase == Phase::kEstablished) {
        kLog.warn(this) << QStringLiteral(
                               "CONNECTION received for an already existing connection %1, "
                               "ignoring.")
                               .arg(id);
        return;
    }
    Relay::Channel *channel = carried->channel;
    if (!accepted) {
        channel->sendError(QStringLiteral("Peer refused connection"));
        remove(channel);
        return;
    }
    channel->open();
}

void CarriedConnections::onData(quint64 id, const QByteArray &payload)
{
    Carried *carried = known(id);
    if (!carried)
        return;
    Relay::Channel *channel = carried->channel;
    if (carried->phase != Phase::kEstablished) {
        emitError(id, QStringLiteral("Sending data before connection is established"));
        return;
    }
    if (carried->blockWithLocal) {
        // A stream with a refused block has a hole: the carried connection cannot go on.
        m_link.send(Command(CommandType::TRANS, {Command::number(id), Command::Argument(false)}));
        emitError(id, QStringLiteral("Sending data before previous packet was ACKed"));
        end(channel);
        return;
    }
    if (payload.isEmpty()) {
        // An empty block carries nothing: acknowledge it without bothering the local side.
        m_link.send(Command(CommandType::TRANS, {Command::number(id), Command::Argument(true)}));
        return;
    }
    // Marked before the hand-over: a local side that writes at once takes the block (and its
    // TRANS goes out) before send() returns.
    carried->blockWithLocal = true;
    if (!channel->send(payload)) {
        if (Carried *again = find(channel))
            again->blockWithLocal = false;
        m_link.send(Command(CommandType::TRANS, {Command::number(id), Command::Argument(false)}));
        end(channel);
    }
}

void CarriedConnections::onTrans(quint64 id, bool ok)
{
    Relay::Channel *channel = m_ids.value(id);
    if (!channel) {
        // The answer to the last block of a connection this side has already ended.
        if (!m_endedWithBlockOnWire.remove(id))
            emitError(0, QStringLiteral("Invalid connection ID %1").arg(id));
        return;
    }
    if (!ok) {
        // The far side lost a block: the stream cannot go on without it.
        channel->sendError(QStringLiteral("Transfer failed"));
        end(channel);
        return;
    }
    Carried *carried = find(channel);
    if (!carried->blockOnWire) {
        kLog.warn(this) << "TRANS for connection ID =" << id << "without a block on the wire";
        return;
    }
    carried->blockOnWire = false;
    --carried->queued;
    // Taking the block may let the local side queue its next one at once (nested newData).
    channel->recv();
    pump(channel);
}

void CarriedConnections::onDisconnect(quint64 id)
{
    if (Carried *carried = known(id))
        remove(carried->channel);
}

bool CarriedConnections::onError(quint64 id, const QString &text)
{
    Relay::Channel *channel = m_ids.value(id);
    if (!channel)
        return false;
    channel->sendError(text);
    return true;
}

void CarriedConnections::establish(Relay::Channel *channel)
{
    Carried *carried = find(channel);
    carried->phase = Phase::kEstablished;
    carried->answerWithDisconnected = true;
    kLog.info(this) << "Established connection ID =" << carried->id;
    if (const std::optional<Answer> answer = std::exchange(carried->answer, std::nullopt)) {
        if (answer->peerConnectionId != 0) {
            carried->answerWithDisconnected = false;
            m_link.send(Command(CommandType::CONNECTION,
                                {Command::number(carried->id), Command::Argument(true)}));
        } else {
            Command::Arguments arguments{Command::number(carried->id),
                                         Command::Argument(answer->serviceId)};
            if (answer->requestId)
                arguments.append(Command::number(*answer->requestId));
            m_link.send(Command(CommandType::CONNECTED, std::move(arguments)));
        }
    }
    pump(channel);
}

void CarriedConnections::pump(Relay::Channel *channel)
{
    Carried *carried = find(channel);
    if (!carried || carried->phase != Phase::kEstablished)
        return;
    if (!carried->blockOnWire) {
        const QByteArray block = channel->peek();
        if (!block.isEmpty()) {
            // Messages queued before this side watched the channel count as one at least.
            carried->queued = qMax(carried->queued, 1);
            m_link.sendData(carried->id, block);
            carried->blockOnWire = true;
        } else {
            carried->queued = 0;
        }
    }
    // Once the last block is on the wire nothing can be lost by passing the close on.
    if (carried->localClosed && carried->queued <= 1)
        end(channel);
}

void CarriedConnections::end(Relay::Channel *channel)
{
    const Carried *carried = find(channel);
    if (!carried)
        return;
    if (carried->phase == Phase::kEstablished) {
        kLog.info(this) << "Closing connection ID =" << carried->id;
        m_link.send(Command(carried->answerWithDisconnected ? CommandType::DISCONNECTED
                                                            : CommandType::DISCONNECT,
                            {Command::number(carried->id)}));
        if (carried->blockOnWire)
            m_endedWithBlockOnWire.insert(carried->id);
    }
    remove(channel);
}

void CarriedConnections::remove(Relay::Channel *channel)
{
    kLog.trace(this) << "Removing channel" << channel;
    disconnect(channel, nullptr, this, nullptr);
    const auto it = m_carried.find(channel);
    if (it != m_carried.end()) {
        if (it->phase == Phase::kRequested)
            m_requests.remove(it->requestId);
        else
            m_ids.remove(it->id);
        m_carried.erase(it);
    }
    abandon(channel);
}

void CarriedConnections::abandon(Relay::Channel *channel)
{
    // Closing an end that never opened does not reach its peer; opening it first does.
    if (!channel->isOpen())
        channel->open();
    channel->close();
    channel->deleteLater();
}

void CarriedConnections::onChannelConnected()
{
    Carried *carried = sending();
    if (!carried)
        return;
    carried->localConnected = true;
    if (carried->phase == Phase::kOpening)
        establish(carried->channel);
}

void CarriedConnections::onChannelData()
{
    Carried *carried = sending();
    if (!carried)
        return;
    ++carried->queued;
    pump(carried->channel);
}

void CarriedConnections::onChannelSent()
{
    Carried *carried = sending();
    if (!carried)
        return;
    carried->blockWithLocal = false;
    m_link.send(
        Command(CommandType::TRANS, {Command::number(carried->id), Command::Argument(true)}));
}

void CarriedConnections::onChannelClosed()
{
    Carried *carried = sending();
    if (!carried)
        return;
    Relay::Channel *channel = carried->channel;
    carried->localClosed = true;
    if (carried->queued == 0)
        carried->queued = channel->peek().isEmpty() ? 0 : 1;
    switch (carried->phase) {
    case Phase::kRequested:
        if (carried->queued > 0) {
            startDrain(*carried);
            return;
        }
        // Kept as an empty request: a late CONNECTED is answered with DISCONNECTED.
        m_requests.insert(carried->requestId, nullptr);
        m_carried.remove(channel);
        disconnect(channel, nullptr, this, nullptr);
        channel->deleteLater();
        return;
    case Phase::kOpening:
        // The far end of an accepted connection went away before it connected: the peer that
        // asked for it gets its refusal instead of waiting for ever.
        refuse(*carried, channel->lastError().isEmpty() ? QStringLiteral("Connection closed")
                                                        : channel->lastError());
        end(channel);
        return;
    case Phase::kEstablished:
        if (carried->queued > 1 || (carried->queued == 1 && !carried->blockOnWire))
            startDrain(*carried);
        pump(channel);
        return;
    }
}

void CarriedConnections::onChannelError(const QString &message)
{
    Carried *carried = sending();
    if (!carried)
        return;
    Relay::Channel *channel = carried->channel;
    kLog.info(this) << "Received error over channel" << channel << "ID =" << carried->id << ":"
                    << message;
    if (carried->phase == Phase::kEstablished)
        m_link.sendError(carried->id, message);
    else
        refuse(*carried, message);
    channel->close();
}

void CarriedConnections::refuse(Carried &carried, const QString &text)
{
    const std::optional<Answer> answer = std::exchange(carried.answer, std::nullopt);
    if (!answer)
        return;
    if (answer->peerConnectionId != 0) {
        m_link.send(Command(CommandType::CONNECTION,
                            {Command::number(carried.id), Command::Argument(false)}));
        return;
    }
    const QByteArray payload = text.toUtf8();
    Command::Arguments arguments{Command::number(quint64(payload.size()))};
    if (answer->requestId)
        arguments.append(Command::number(*answer->requestId));
    arguments.append(Command::Argument(payload));
    m_link.send(Command(CommandType::FAIL, std::move(arguments)));
}

void CarriedConnections::startDrain(Carried &carried)
{
    carried.drainDeadline = QDeadlineTimer(m_drainTimeout);
    if (!m_drainTimer.isActive() || m_drainTimer.remainingTime() > m_drainTimeout)
        m_drainTimer.start(m_drainTimeout);
}

void CarriedConnections::onDrainTimeout()
{
    qint64 next = -1;
    const QList<Relay::Channel *> channels = m_carried.keys();
    for (Relay::Channel *channel : channels) {
        Carried *carried = find(channel);
        if (!carried || !carried->localClosed)
            continue;
        if (!carried->drainDeadline.hasExpired()) {
            const qint64 left = carried->drainDeadline.remainingTime();
            next = next < 0 ? left : qMin(next, left);
            continue;
        }
        kLog.warn(this) << "The peer did not take what a closed local side left within"
                        << m_drainTimeout << "ms; ending connection ID =" << carried->id;
        if (carried->phase == Phase::kRequested) {
            m_requests.insert(carried->requestId, nullptr);
            m_carried.remove(channel);
            disconnect(channel, nullptr, this, nullptr);
            channel->deleteLater();
        } else {
            end(channel);
        }
    }
    if (next >= 0)
        m_drainTimer.start(int(qMax<qint64>(next, 1)));
}

} // namespace Relay::V2
