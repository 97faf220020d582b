#include "relay/v2/handler.h"

#include "log/logger.h"
#include "relay/channel.h"

#include <QAbstractSocket>
#include <QIODevice>
#include <QMetaMethod>
#include <atomic>

#ifdef Q_OS_LINUX
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#endif

namespace Relay::V2 {

namespace {
const Log::Logger kLog("Relay::V2::Handler");

constexpr quint64 kProtocolVersion = 2;

// The socket keeps what it is given in blocks of about this size and hands them to the system
// one by one. Whatever is larger than one block (a header with its payload) is held back until
// all of it is handed over, so that it leaves as one segment and the peer wakes once for it.
constexpr qint64 kCoalesceAbove = 16384;

void setCorked(qintptr descriptor, bool corked)
{
#ifdef Q_OS_LINUX
    const int value = corked ? 1 : 0;
    ::setsockopt(int(descriptor), IPPROTO_TCP, TCP_CORK, &value, sizeof(value));
#else
    Q_UNUSED(descriptor)
    Q_UNUSED(corked)
#endif
}

QByteArray percentEncoded(const QByteArray &bytes)
{
    // Letters, digits, "-", ".", "_" and "~" stay as they are, and so do ":" and blank.
    return bytes.toPercentEncoding(QByteArrayLiteral(": "));
}

Command makeCommand(CommandType type, Command::Arguments arguments = {})
{
    return Command(type, std::move(arguments));
}

Command::Argument number(quint64 value)
{
    return Command::Argument(value);
}

Command::Argument bytes(const QByteArray &value)
{
    return Command::Argument(value);
}

Command::Argument flag(bool value)
{
    return Command::Argument(value);
}

} // namespace

Handler::Handler(QIODevice *device, QObject *parent)
    : Relay::Connection(parent), m_device(device), m_socket(qobject_cast<QAbstractSocket *>(device))
{
    kLog.trace(this) << "created";
    m_keepAliveTimer.setInterval(kKeepAliveInterval);
    m_keepAliveTimer.setSingleShot(false);
    if (device) {
        connect(device, &QIODevice::readyRead, this, &Handler::onReadyRead);
        connect(device, &QIODevice::bytesWritten, this, &Handler::onBytesWritten);
    }
    connect(&m_keepAliveTimer, &QTimer::timeout, this, &Handler::onIdleTimer);
    connect(this, &Connection::ready, &m_keepAliveTimer, qOverload<>(&QTimer::start));
    connect(this, &Connection::closed, &m_keepAliveTimer, &QTimer::stop);
    setLowDelay();
    if (device && device->isOpen())
        onReadyRead();
}

void Handler::setLowDelay()
{
    // Commands are small and answered one by one (TRANS before the next DATA): waiting to
    // coalesce them would stall every block for a delayed acknowledgement.
    if (m_device && m_socket && m_socket->state() == QAbstractSocket::ConnectedState)
        m_socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
}

Handler::~Handler()
{
    // Channels still held are closed so that the local sides learn it; nothing may call back
    // into a half-destroyed handler.
    QList<Relay::Channel *> channels = m_contexts.keys();
    for (Relay::Channel *channel : qAsConst(m_requests)) {
        if (channel)
            channels.append(channel);
    }
    for (auto it = m_acceptedConnections.cbegin(); it != m_acceptedConnections.cend(); ++it) {
        if (!m_contexts.contains(it.key()))
            channels.append(it.key());
    }
    for (Relay::Channel *channel : qAsConst(channels)) {
        disconnect(channel, nullptr, this, nullptr);
        abandonChannel(channel);
    }
}

void Handler::setKeepAliveInterval(int milliseconds)
{
    m_keepAliveTimer.setInterval(milliseconds);
}

bool Handler::isReady() const
{
    return m_ready;
}

// ---- sending ---------------------------------------------------------------------------------

void Handler::send(const Command &command)
{
    if (!m_device || !m_device->isOpen())
        return;
    command.serialize(m_device);
    // Inside the read step everything it causes goes out in one flush at its end.
    if (!m_inReadStep)
        flush();
}

void Handler::flush()
{
    // The socket is the device; it may be gone before this handler is.
    if (!m_device || !m_socket || m_socket->state() != QAbstractSocket::ConnectedState)
        return;
    const qintptr descriptor = m_socket->socketType() == QAbstractSocket::TcpSocket
                                   ? m_socket->socketDescriptor()
                                   : qintptr(-1);
    const bool corked = descriptor >= 0 && m_socket->bytesToWrite() > kCoalesceAbove;
    if (corked)
        setCorked(descriptor, true);
    m_socket->flush();
    // Uncorking sends what is held at once. A socket that failed while writing has given up its
    // descriptor, and the number may already belong to another.
    if (corked && m_device && m_socket->socketDescriptor() == descriptor)
        setCorked(descriptor, false);
}

void Handler::sendErrorCommand(quint64 connectionId, const QString &text)
{
    const QByteArray payload = text.toUtf8();
    send(makeCommand(CommandType::ERROR,
                     {number(connectionId), number(quint64(payload.size())), bytes(payload)}));
}

Relay::Channel *Handler::knownChannel(quint64 id)
{
    Relay::Channel *channel = m_channels.value(id);
    if (!channel)
        emitError(0, QStringLiteral("Invalid connection ID %1").arg(id));
    return channel;
}

void Handler::emitError(quint64 connectionId, const QString &text)
{
    kLog.error(this) << "Sending error to peer:" << connectionId << text;
    sendErrorCommand(connectionId, text);
}

void Handler::sendFail(const QString &text, const std::optional<quint64> &requestId)
{
    const QByteArray payload = text.toUtf8();
    Command::Arguments arguments{number(quint64(payload.size()))};
    if (requestId)
        arguments.append(number(*requestId));
    arguments.append(bytes(payload));
    send(makeCommand(CommandType::FAIL, std::move(arguments)));
}

// ---- ids ---------------------------------------------------------------------------------------

quint64 Handler::nextRequestId()
{
    static std::atomic<quint64> s_lastRequestId{0};
    return ++s_lastRequestId;
}

quint64 Handler::nextConnectionId()
{
    do {
        ++m_lastConnectionId;
    } while (m_lastConnectionId == 0 || m_channels.contains(m_lastConnectionId));
    return m_lastConnectionId;
}

// ---- the link --------------------------------------------------------------------------------

void Handler::handshake()
{
    kLog.trace(this) << "void Relay::V2::Handler::handshake()";
    if (m_finished)
        return;
    setLowDelay();
    send(makeCommand(CommandType::HELLO, {number(kProtocolVersion)}));
}

void Handler::close()
{
    kLog.trace(this) << "void Relay::V2::Handler::close()";
    finish(m_ready);
}

void Handler::finish(bool sendQuit)
{
    if (m_finished)
        return;
    m_finished = true;
    m_ready = false;
    kLog.trace(this) << "closing";
    const QList<Relay::Channel *> channels = m_contexts.keys();
    for (Relay::Channel *channel : channels)
        removeChannel(channel);
    // Local clients still waiting for the far side's answer see their connection end as well.
    const QList<Relay::Channel *> waiting = m_requests.values();
    m_requests.clear();
    m_requestsConnected.clear();
    for (Relay::Channel *channel : waiting) {
        if (!channel)
            continue;
        disconnect(channel, nullptr, this, nullptr);
        abandonChannel(channel);
    }
    for (auto it = m_acceptedConnections.cbegin(); it != m_acceptedConnections.cend(); ++it) {
        disconnect(it.key(), nullptr, this, nullptr);
        abandonChannel(it.key());
    }
    m_acceptedConnections.clear();
    m_pendingConnections.clear();
    m_peerSessionRequests.clear();
    m_beginSessionRequests.clear();
    if (sendQuit && m_device && m_device->isOpen()) {
        send(makeCommand(CommandType::QUIT));
        flush();
    }
    Q_EMIT closed();
}

void Handler::onBytesWritten(qlonglong bytes)
{
    Q_UNUSED(bytes)
    if (m_readPaused && m_device && m_device->bytesToWrite() <= kMaxPendingWrite) {
        m_readPaused = false;
        // Later, not from inside the socket's own write.
        QMetaObject::invokeMethod(this, &Handler::onReadyRead, Qt::QueuedConnection);
    }
}

void Handler::onReadyRead()
{
    if (m_finished || !m_device || !m_device->isOpen() || m_inReadStep)
        return;
    // A peer that does not read what it is sent gets nothing more until it does.
    if (m_device->bytesToWrite() > kMaxPendingWrite) {
        m_readPaused = true;
        return;
    }
    QPointer<Handler> guard(this);
    m_inReadStep = true;
    // Commands left over from a paused step go first; new bytes are read only after them.
    if (!m_parser.hasCommands()) {
        const QByteArray data = m_device->readAll();
        if (data.isEmpty()) {
            m_inReadStep = false;
            return;
        }
        m_activity = true;
        if (kLog.isTrace())
            kLog.trace(this) << "processData:" << QString::fromLatin1(percentEncoded(data));
        m_parser.feed(data);
        if (m_parser.error()) {
            QString text = m_parser.errorMessage();
            const QByteArray line = m_parser.errorLine();
            if (!line.isEmpty())
                text += QStringLiteral(" in context: ") + QString::fromLatin1(percentEncoded(line));
            emitError(0, text);
            finish(m_ready);
        }
    }
    while (m_parser.hasCommands()) {
        if (m_finished) {
            m_parser.popCommand(); // a closed link dispatches nothing more
            continue;
        }
        // Answers pile up only to the limit, however many commands one read brought.
        if (m_device->bytesToWrite() > kMaxPendingWrite) {
            m_readPaused = true;
            break;
        }
        const Command command = m_parser.popCommand();
        dispatch(command);
        if (!guard)
            return;
    }
    m_inReadStep = false;
    flush();
    // Bytes that arrived while the commands ran (signals may spin no loop, but be safe).
    if (guard && !m_finished && !m_readPaused && m_device && m_device->bytesAvailable() > 0)
        QMetaObject::invokeMethod(this, &Handler::onReadyRead, Qt::QueuedConnection);
}

void Handler::onIdleTimer()
{
    kLog.trace(this) << "keep-alive timer fired";
    if (m_finished)
        return;
    if (m_activity) {
        m_activity = false;
        m_missedKeepAlives = 0;
        return;
    }
    kLog.trace(this) << "keep-alive sent";
    send(makeCommand(CommandType::KEEP));
    ++m_missedKeepAlives;
    if (m_missedKeepAlives > 2) {
        Q_EMIT error(QStringLiteral("Connection timeout"));
        kLog.error(this) << "Missed two keep-alive packets, assuming connection dead.";
        close();
    }
}

// ---- dispatch ----------------------------------------------------------------------------------

void Handler::dispatch(const Command &command)
{
    kLog.trace(this) << "handleCommand(" << Command::toStr(command.type()) << ")";
    m_activity = true;
    const CommandType type = command.type();
    if (!m_ready && type != CommandType::HELLO && type != CommandType::OK) {
        // Nothing but the handshake is accepted from a peer that has not shaken hands.
        finish(false);
        return;
    }
    switch (type) {
    case CommandType::HELLO:
        onHello(command);
        break;
    case CommandType::OK:
        onOk(command);
        break;
    case CommandType::KEEP:
    case CommandType::KEEP_ALIVE:
        send(makeCommand(CommandType::OK));
        break;
    case CommandType::QUIT:
        kLog.info(this) << "closing after QUIT";
        close();
        break;
    case CommandType::CONNECTED:
        onConnected(command);
        break;
    case CommandType::CONNECTION:
        onConnection(command);
        break;
    case CommandType::DATA:
        onData(command);
        break;
    case CommandType::TRANS:
        onTrans(command);
        break;
    case CommandType::DISCONNECT:
    case CommandType::DISCONNECTED:
        onDisconnect(command);
        break;
    case CommandType::ERROR:
    case CommandType::PEER_ERROR:
        onError(command);
        break;
    case CommandType::FAIL:
        onFail(command);
        break;
    case CommandType::CLOSED:
        Q_EMIT watchedSessionClosed(command.arg<quint64>(0));
        break;
    case CommandType::WATCH:
        Q_EMIT watch(command.arg<quint64>(0));
        break;
    case CommandType::BEGIN_SESSION:
        onBeginSession(command);
        break;
    case CommandType::CONNECT_TO:
        onConnectTo(command);
        break;
    case CommandType::GET_CLIENTS:
    case CommandType::GET_CONNECTIONS:
        emitError(0, QStringLiteral("Unsupported command"));
        break;
    case CommandType::CODE:
        break;
    }
}

void Handler::onHello(const Command &command)
{
    if (m_ready) {
        kLog.warn(this) << "Ignoring duplicate HELLO";
        return;
    }
    const quint64 version = command.arg<quint64>(0);
    if (version != kProtocolVersion) {
        emitError(0, QStringLiteral("Protocol version %1 not supported").arg(version));
        finish(false);
        return;
    }
    m_ready = true;
    send(makeCommand(CommandType::OK));
    kLog.info(this) << "Connection ready after HELLO";
    Q_EMIT ready();
}

void Handler::onOk(const Command &command)
{
    const int count = command.argumentCount();
    if (count == 0 && !m_ready) {
        m_ready = true;
        kLog.info(this) << "Connection ready after OK";
        Q_EMIT ready();
        return;
    }
    if (!m_ready)
        return; // an OK with arguments answers nothing of a link without handshake
    if (count == 2) {
        const quint64 requestId = command.arg<quint64>(1);
        if (m_beginSessionRequests.remove(requestId)) {
            const quint64 sessionId = command.arg<quint64>(0);
            m_startedSessions.append(sessionId);
            Q_EMIT sessionStarted(sessionId);
            return;
        }
    }
    keepAliveAnswer();
}

void Handler::keepAliveAnswer()
{
    if (m_missedKeepAlives < 1)
        emitError(0, QStringLiteral("OK command unexpected in this context"));
    else
        --m_missedKeepAlives;
}

void Handler::onConnected(const Command &command)
{
    const quint64 id = command.arg<quint64>(0);
    if (m_channels.contains(id)) {
        emitError(0, QStringLiteral("Connection number conflict, %1 is already in use").arg(id));
        close();
        return;
    }
    if (command.argumentCount() >= 3) {
        const quint64 requestId = command.arg<quint64>(2);
        const auto it = m_requests.find(requestId);
        if (it == m_requests.end()) {
            emitError(0, QStringLiteral("Unexpected request ID %1 in CONNECTED, ignoring")
                             .arg(requestId));
            return;
        }
        Relay::Channel *channel = it.value();
        m_requests.erase(it);
        if (!channel) {
            // The local client went away while the far side was connecting.
            send(makeCommand(CommandType::DISCONNECTED, {number(id)}));
            return;
        }
        const bool connectedAlready = m_requestsConnected.remove(channel);
        detachRequestChannel(channel);
        addChannel(channel, id);
        channel->open();
        if (connectedAlready) {
            // The local end was opened when the request went out; what the local client sent
            // meanwhile waits in the channel.
            ConnectionContext &context = m_contexts[channel];
            context.established = true;
            context.answerWithDisconnected = true;
            kLog.info(this) << "Established connection ID =" << id;
            if (!channel->peek().isEmpty())
                sendBlock(channel, context);
        }
        return;
    }
    // Serving side: the relay hands over a connection into a session this side started.
    const QByteArray serviceId = command.arg<QByteArray>(1);
    if (m_startedSessions.isEmpty()) {
        kLog.error(this) << "Received CONNECTED, but no session was started. Rejecting.";
        send(makeCommand(CommandType::CONNECTION, {number(id), flag(false)}));
        return;
    }
    if (!isSignalConnected(QMetaMethod::fromSignal(&Connection::newLocalConnection))) {
        send(makeCommand(CommandType::CONNECTION, {number(id), flag(false)}));
        return;
    }
    PendingConnection pending;
    pending.sessionId = m_startedSessions.last();
    pending.serviceId = serviceId;
    pending.peerConnectionId = id;
    m_pendingConnections.append(pending);
    Q_EMIT newLocalConnection(pending.sessionId, serviceId);
}

void Handler::onConnection(const Command &command)
{
    const quint64 id = command.arg<quint64>(0);
    Relay::Channel *channel = knownChannel(id);
    if (!channel)
        return;
    if (m_contexts.value(channel).established) {
        kLog.warn(this) << QStringLiteral(
                               "CONNECTION received for an already existing connection %1, "
                               "ignoring.")
                               .arg(id);
        return;
    }
    if (!command.arg<bool>(1)) {
        channel->sendError(QStringLiteral("Peer refused connection"));
        removeChannel(channel);
        return;
    }
    channel->open();
}

void Handler::onData(const Command &command)
{
    const quint64 id = command.arg<quint64>(0);
    Relay::Channel *channel = knownChannel(id);
    if (!channel)
        return;
    ConnectionContext &context = m_contexts[channel];
    if (!context.established) {
        emitError(id, QStringLiteral("Sending data before connection is established"));
        return;
    }
    if (context.receivedUnacknowledged >= 1) {
        // A stream with a refused block has a hole: the carried connection cannot go on.
        send(makeCommand(CommandType::TRANS, {number(id), flag(false)}));
        emitError(id, QStringLiteral("Sending data before previous packet was ACKed"));
        closeCarried(channel);
        return;
    }
    const QByteArray payload = command.arg<QByteArray>(1);
    if (payload.isEmpty()) {
        // An empty block carries nothing: acknowledge it without bothering the local side.
        send(makeCommand(CommandType::TRANS, {number(id), flag(true)}));
        return;
    }
    // Counted before the hand-over: a local side that writes at once confirms the block (and
    // this handler sends its TRANS) before send() returns.
    ++context.receivedUnacknowledged;
    if (!channel->send(payload)) {
        const auto it = m_contexts.find(channel);
        if (it != m_contexts.end() && it->receivedUnacknowledged > 0)
            --it->receivedUnacknowledged;
        send(makeCommand(CommandType::TRANS, {number(id), flag(false)}));
        closeCarried(channel);
    }
}

void Handler::onTrans(const Command &command)
{
    const quint64 id = command.arg<quint64>(0);
    Relay::Channel *channel = knownChannel(id);
    if (!channel)
        return;
    if (command.arg<bool>(1)) {
        ConnectionContext &context = m_contexts[channel];
        if (context.sentUnacknowledged > 0)
            --context.sentUnacknowledged;
        channel->recv();
        return;
    }
    // The far side lost a block: the stream cannot go on without it.
    channel->sendError(QStringLiteral("Transfer failed"));
    closeCarried(channel);
}

void Handler::onDisconnect(const Command &command)
{
    const quint64 id = command.arg<quint64>(0);
    Relay::Channel *channel = knownChannel(id);
    if (!channel)
        return;
    removeChannel(channel);
}

void Handler::onError(const Command &command)
{
    const quint64 id = command.arg<quint64>(0);
    const QByteArray payload = command.arg<QByteArray>(1);
    const QString text = QString::fromUtf8(payload);
    if (Relay::Channel *channel = m_channels.value(id)) {
        channel->sendError(text);
        return;
    }
    if (id != 0) {
        emitError(0, QStringLiteral("Invalid connection ID %1").arg(id));
        return;
    }
    kLog.warn(this) << "Peer sends general error:" << payload;
    Q_EMIT error(text);
}

void Handler::onFail(const Command &command)
{
    const bool withRequest = command.argumentCount() >= 2;
    const quint64 requestId = withRequest ? command.arg<quint64>(0) : 0;
    const QByteArray payload = command.arg<QByteArray>(withRequest ? 1 : 0);
    const QString text = QString::fromUtf8(payload);
    const auto it = m_requests.find(requestId);
    if (it != m_requests.end()) {
        Relay::Channel *channel = it.value();
        m_requests.erase(it);
        if (channel) {
            m_requestsConnected.remove(channel);
            detachRequestChannel(channel);
            channel->sendError(text);
            abandonChannel(channel);
        }
        return;
    }
    if (m_beginSessionRequests.remove(requestId)) {
        kLog.error(this) << "FAIL in response to BEGIN_SESSION:" << payload;
        Q_EMIT error(text);
        return;
    }
    kLog.warn(this) << "FAIL" << requestId << text << "received"
                    << "with no known source.";
}

void Handler::onBeginSession(const Command &command)
{
    const std::optional<quint64> requestId =
        command.argumentCount() >= 1 ? std::optional<quint64>(command.arg<quint64>(0)) : std::nullopt;
    if (!isSignalConnected(QMetaMethod::fromSignal(&Connection::listen))) {
        // Nobody here hands out sessions: refuse rather than keep the request.
        sendFail(QStringLiteral("Session not available"), requestId);
        return;
    }
    m_peerSessionRequests.enqueue(requestId);
    Q_EMIT listen();
}

void Handler::onConnectTo(const Command &command)
{
    PendingConnection pending;
    pending.sessionId = command.arg<quint64>(0);
    pending.serviceId = command.arg<QByteArray>(1);
    if (command.argumentCount() >= 3)
        pending.requestId = command.arg<quint64>(2);
    if (!isSignalConnected(QMetaMethod::fromSignal(&Connection::newConnection))) {
        sendFail(QStringLiteral("Service not found"), pending.requestId);
        return;
    }
    m_pendingConnections.append(pending);
    Q_EMIT newConnection(pending.sessionId, pending.serviceId);
}

// ---- carried connections ---------------------------------------------------------------------

void Handler::connectTo(qulonglong sessionId, QByteArray serviceId, Relay::Channel *channel)
{
    kLog.trace(this) << "void Relay::V2::Handler::connectTo(qulonglong, QByteArray, Relay::Channel*)"
                     << sessionId << serviceId << channel;
    if (!channel)
        return;
    if (m_finished) {
        abandonChannel(channel);
        return;
    }
    const quint64 requestId = nextRequestId();
    m_requests.insert(requestId, channel);
    // The local end opens now so that a local close before the far side answers is seen; its
    // data waits in the channel until the connection id is known.
    connect(channel, &Relay::Channel::connected, this, &Handler::onRequestChannelConnected);
    connect(channel, &Relay::Channel::closed, this, &Handler::onRequestChannelClosed);
    channel->open();
    send(makeCommand(CommandType::CONNECT_TO,
                     {number(sessionId), bytes(serviceId), number(requestId)}));
}

void Handler::onRequestChannelConnected()
{
    auto *channel = qobject_cast<Relay::Channel *>(sender());
    if (channel)
        m_requestsConnected.insert(channel);
}

void Handler::onRequestChannelClosed()
{
    auto *channel = qobject_cast<Relay::Channel *>(sender());
    if (!channel)
        return;
    for (auto it = m_requests.begin(); it != m_requests.end(); ++it) {
        if (it.value() == channel) {
            // Kept as an empty entry: a late CONNECTED is answered with DISCONNECTED.
            it.value() = nullptr;
            break;
        }
    }
    m_requestsConnected.remove(channel);
    detachRequestChannel(channel);
    channel->deleteLater();
}

void Handler::detachRequestChannel(Relay::Channel *channel)
{
    disconnect(channel, &Relay::Channel::connected, this, &Handler::onRequestChannelConnected);
    disconnect(channel, &Relay::Channel::closed, this, &Handler::onRequestChannelClosed);
}

void Handler::abandonChannel(Relay::Channel *channel)
{
    // Closing an end that never opened does not reach its peer; opening it first does.
    if (!channel->isOpen())
        channel->open();
    channel->close();
    channel->deleteLater();
}

void Handler::watchSession(qulonglong sessionId)
{
    kLog.trace(this) << "void Relay::V2::Handler::watchSession(qulonglong)" << sessionId;
    send(makeCommand(CommandType::WATCH, {number(sessionId)}));
}

void Handler::addChannel(Relay::Channel *channel, quint64 id)
{
    if (id == 0)
        id = nextConnectionId();
    kLog.trace(this) << "Adding channel" << channel << "with ID =" << id;
    m_channels.insert(id, channel);
    ConnectionContext context;
    context.connectionId = id;
    m_contexts.insert(channel, context);
    connect(channel, &Relay::Channel::connected, this, &Handler::onChannelConnected);
    connect(channel, &Relay::Channel::newData, this, &Handler::onChannelData);
    connect(channel, &Relay::Channel::dataSent, this, &Handler::onChannelSent);
    connect(channel, &Relay::Channel::error, this, &Handler::onChannelError);
    connect(channel, &Relay::Channel::closed, this, &Handler::onChannelClosed);
}

void Handler::removeChannel(Relay::Channel *channel)
{
    kLog.trace(this) << "Removing channel" << channel;
    disconnect(channel, &Relay::Channel::connected, this, &Handler::onChannelConnected);
    disconnect(channel, &Relay::Channel::newData, this, &Handler::onChannelData);
    disconnect(channel, &Relay::Channel::dataSent, this, &Handler::onChannelSent);
    disconnect(channel, &Relay::Channel::error, this, &Handler::onChannelError);
    disconnect(channel, &Relay::Channel::closed, this, &Handler::onChannelClosed);
    m_acceptedConnections.remove(channel);
    const auto it = m_contexts.find(channel);
    if (it != m_contexts.end()) {
        m_channels.remove(it->connectionId);
        m_contexts.erase(it);
    }
    abandonChannel(channel);
}

void Handler::closeCarried(Relay::Channel *channel)
{
    const ConnectionContext context = m_contexts.value(channel);
    if (context.established) {
        kLog.info(this) << "Closing connection ID =" << context.connectionId;
        send(makeCommand(context.answerWithDisconnected ? CommandType::DISCONNECTED
                                                        : CommandType::DISCONNECT,
                         {number(context.connectionId)}));
    }
    removeChannel(channel);
}

void Handler::sendBlock(Relay::Channel *channel, ConnectionContext &context)
{
    const QByteArray block = channel->peek();
    if (block.isEmpty())
        return;
    send(makeCommand(CommandType::DATA, {number(context.connectionId),
                                         number(quint64(block.size())), bytes(block)}));
    ++context.sentUnacknowledged;
}

void Handler::onChannelConnected()
{
    auto *channel = qobject_cast<Relay::Channel *>(sender());
    const auto it = m_contexts.find(channel);
    if (it == m_contexts.end())
        return;
    it->established = true;
    it->answerWithDisconnected = true;
    kLog.info(this) << "Established connection ID =" << it->connectionId;
    const auto pendingIt = m_acceptedConnections.find(channel);
    if (pendingIt == m_acceptedConnections.end())
        return;
    const PendingConnection pending = pendingIt.value();
    m_acceptedConnections.erase(pendingIt);
    if (pending.peerConnectionId != 0) {
        it->answerWithDisconnected = false;
        send(makeCommand(CommandType::CONNECTION, {number(it->connectionId), flag(true)}));
        return;
    }
    Command::Arguments arguments{number(it->connectionId), bytes(pending.serviceId)};
    if (pending.requestId)
        arguments.append(number(*pending.requestId));
    send(makeCommand(CommandType::CONNECTED, std::move(arguments)));
}

void Handler::onChannelData()
{
    auto *channel = qobject_cast<Relay::Channel *>(sender());
    const auto it = m_contexts.find(channel);
    if (it == m_contexts.end())
        return;
    sendBlock(channel, *it);
}

void Handler::onChannelSent()
{
    auto *channel = qobject_cast<Relay::Channel *>(sender());
    const auto it = m_contexts.find(channel);
    if (it == m_contexts.end())
        return;
    send(makeCommand(CommandType::TRANS, {number(it->connectionId), flag(true)}));
    if (it->receivedUnacknowledged > 0)
        --it->receivedUnacknowledged;
}

void Handler::onChannelClosed()
{
    auto *channel = qobject_cast<Relay::Channel *>(sender());
    const auto it = m_contexts.find(channel);
    if (it == m_contexts.end())
        return;
    const auto pendingIt = m_acceptedConnections.find(channel);
    if (!it->established && pendingIt != m_acceptedConnections.end()) {
        // The far end of an accepted connection went away before it connected: the peer that
        // asked for it gets its refusal instead of waiting for ever.
        const PendingConnection pending = pendingIt.value();
        m_acceptedConnections.erase(pendingIt);
        const QString text = channel->lastError().isEmpty() ? QStringLiteral("Connection closed")
                                                            : channel->lastError();
        if (pending.peerConnectionId != 0)
            send(makeCommand(CommandType::CONNECTION, {number(it->connectionId), flag(false)}));
        else
            sendFail(text, pending.requestId);
    }
    closeCarried(channel);
}

void Handler::onChannelError(QString message)
{
    auto *channel = qobject_cast<Relay::Channel *>(sender());
    const auto it = m_contexts.find(channel);
    if (it == m_contexts.end())
        return;
    kLog.info(this) << "Received error over channel" << channel << "ID =" << it->connectionId
                    << ":" << message;
    if (it->established) {
        sendErrorCommand(it->connectionId, message);
    } else {
        const auto pendingIt = m_acceptedConnections.find(channel);
        if (pendingIt != m_acceptedConnections.end()) {
            const PendingConnection pending = pendingIt.value();
            m_acceptedConnections.erase(pendingIt);
            if (pending.peerConnectionId != 0)
                send(makeCommand(CommandType::CONNECTION, {number(it->connectionId), flag(false)}));
            else
                sendFail(message, pending.requestId);
        }
    }
    channel->close();
}

// ---- serving side ------------------------------------------------------------------------------

void Handler::startSession()
{
    kLog.trace(this) << "void Relay::V2::Handler::startSession()";
    const quint64 requestId = nextRequestId();
    m_beginSessionRequests.insert(requestId);
    send(makeCommand(CommandType::BEGIN_SESSION, {number(requestId)}));
}

void Handler::listening(qulonglong sessionId)
{
    kLog.trace(this) << "void Relay::V2::Handler::listening(qulonglong)" << sessionId;
    if (m_finished)
        return;
    m_listeningSessions.append(sessionId);
    kLog.info(this) << "Established local session ID =" << sessionId;
    const std::optional<quint64> requestId =
        m_peerSessionRequests.isEmpty() ? std::nullopt : m_peerSessionRequests.dequeue();
    Command::Arguments arguments{number(sessionId)};
    if (requestId)
        arguments.append(number(*requestId));
    send(makeCommand(CommandType::OK, std::move(arguments)));
}

void Handler::handleConnection(qulonglong sessionId, QByteArray serviceId, Relay::Channel *channel)
{
    kLog.trace(this)
        << "void Relay::V2::Handler::handleConnection(qulonglong, QByteArray, Relay::Channel*)"
        << sessionId << serviceId << channel;
    if (!channel)
        return;
    if (m_finished) {
        abandonChannel(channel);
        return;
    }
    addChannel(channel);
    send(makeCommand(CommandType::CONNECTED,
                     {number(m_contexts.value(channel).connectionId), bytes(serviceId)}));
}

void Handler::accept(qulonglong sessionId, QByteArray serviceId, Relay::Channel *channel)
{
    kLog.trace(this) << "void Relay::V2::Handler::accept(qulonglong, QByteArray, Relay::Channel*)"
                     << sessionId << serviceId << channel;
    if (!channel)
        return;
    int index = -1;
    for (int i = 0; i < m_pendingConnections.size(); ++i) {
        const PendingConnection &pending = m_pendingConnections.at(i);
        if (pending.sessionId == sessionId && pending.serviceId == serviceId) {
            index = i;
            break;
        }
    }
    if (index < 0 || m_finished) {
        // Nobody waits for this channel any more: close it so that its other end learns it.
        abandonChannel(channel);
        return;
    }
    const PendingConnection pending = m_pendingConnections.takeAt(index);
    if (pending.peerConnectionId != 0 && m_channels.contains(pending.peerConnectionId)) {
        send(makeCommand(CommandType::CONNECTION, {number(pending.peerConnectionId), flag(false)}));
        abandonChannel(channel);
        return;
    }
    addChannel(channel, pending.peerConnectionId);
    m_acceptedConnections.insert(channel, pending);
    channel->open();
}

void Handler::watchedSessionState(qulonglong sessionId, bool isOpen)
{
    kLog.trace(this) << "void Relay::V2::Handler::watchedSessionState(qulonglong, bool)" << sessionId
                     << isOpen;
    if (isOpen)
        send(makeCommand(CommandType::OK));
    else
        send(makeCommand(CommandType::CLOSED, {number(sessionId)}));
}

} // namespace Relay::V2
