#include "relay/v2/handler.h"

#include "log/logger.h"
#include "relay/channel.h"

#include <QMetaMethod>

namespace Relay::V2 {

namespace {
const Log::Logger kLog("Relay::V2::Handler");

constexpr quint64 kProtocolVersion = 2;

std::optional<quint64> optionalNumber(const Command &command, int index)
{
    return command.argumentCount() > index ? std::optional<quint64>(command.arg<quint64>(index))
                                           : std::nullopt;
}
} // namespace

Handler::Handler(QIODevice *device, QObject *parent)
    : Relay::Connection(parent), m_link(device, nullptr), m_keepAlive(nullptr),
      m_carried(m_link, nullptr), m_serving(m_link, m_carried)
{
    kLog.trace(this) << "created";
    connect(&m_link, &Link::received, &m_keepAlive, &KeepAlive::noteActivity);
    connect(&m_link, &Link::commandReceived, this, &Handler::dispatch);
    connect(&m_link, &Link::parseError, this, &Handler::onParseError);
    connect(&m_keepAlive, &KeepAlive::keepDue, this,
            [this] { m_link.send(Command(CommandType::KEEP)); });
    connect(&m_keepAlive, &KeepAlive::timedOut, this, &Handler::onKeepAliveTimeout);
    connect(this, &Connection::ready, &m_keepAlive, &KeepAlive::start);
    connect(this, &Connection::closed, &m_keepAlive, &KeepAlive::stop);
    m_link.setLowDelay();
    m_link.readStep();
}

Handler::~Handler() = default;

bool Handler::isReady() const
{
    return m_link.state() == Link::State::kReady;
}

template <typename Signal> bool Handler::isServed(Signal signal) const
{
    return isSignalConnected(QMetaMethod::fromSignal(signal));
}

void Handler::emitError(quint64 connectionId, const QString &text)
{
    kLog.error(this) << "Sending error to peer:" << connectionId << text;
    m_link.sendError(connectionId, text);
}

// ---- the link ----------------------------------------------------------------------------------

void Handler::handshake()
{
    kLog.trace(this) << Q_FUNC_INFO;
    if (m_link.isClosed())
        return;
    m_link.setLowDelay();
    m_link.send(Command(CommandType::HELLO, {Command::Argument(kProtocolVersion)}));
}

void Handler::close()
{
    kLog.trace(this) << Q_FUNC_INFO;
    finish(isReady());
}

void Handler::finish(bool sendQuit)
{
    if (m_link.isClosed())
        return;
    kLog.trace(this) << "closing";
    m_carried.closeAll();
    m_serving.clear();
    m_link.close(sendQuit);
    Q_EMIT closed();
}

void Handler::onParseError(const QString &text)
{
    emitError(0, text);
    finish(isReady());
}

void Handler::onKeepAliveTimeout()
{
    Q_EMIT error(QStringLiteral("Connection timeout"));
    kLog.error(this) << "Missed two keep-alive packets, assuming connection dead.";
    close();
}

// ---- dispatch ----------------------------------------------------------------------------------

void Handler::dispatch(const Command &command)
{
    const CommandType type = command.type();
    kLog.trace(this) << "handleCommand(" << Command::toStr(type) << ")";
    if (!isReady() && type != CommandType::HELLO && type != CommandType::OK) {
        // Nothing but the handshake is accepted from a peer that has not shaken hands.
        finish(false);
        return;
    }
    switch (type) {
    case CommandType::DATA:
        m_carried.onData(command.arg<quint64>(0), command.arg<QByteArray>(1));
        break;
    case CommandType::TRANS:
        m_carried.onTrans(command.arg<quint64>(0), command.arg<bool>(1));
        break;
    case CommandType::HELLO:
        onHello(command.arg<quint64>(0));
        break;
    case CommandType::OK:
        onOk(command.argumentCount(), command.arg<quint64>(0), command.arg<quint64>(1));
        break;
    case CommandType::KEEP:
    case CommandType::KEEP_ALIVE:
        m_link.send(Command(CommandType::OK));
        break;
    case CommandType::QUIT:
        kLog.info(this) << "closing after QUIT";
        close();
        break;
    case CommandType::CONNECTED:
        onConnected(command.arg<quint64>(0), command.arg<QByteArray>(1),
                    optionalNumber(command, 2));
        break;
    case CommandType::CONNECTION:
        m_carried.onConnection(command.arg<quint64>(0), command.arg<bool>(1));
        break;
    case CommandType::DISCONNECT:
    case CommandType::DISCONNECTED:
        m_carried.onDisconnect(command.arg<quint64>(0));
        break;
    case CommandType::ERROR:
    case CommandType::PEER_ERROR:
        onError(command.arg<quint64>(0), command.arg<QByteArray>(1));
        break;
    case CommandType::FAIL: {
        const bool withRequest = command.argumentCount() >= 2;
        onFail(withRequest ? command.arg<quint64>(0) : 0,
               command.arg<QByteArray>(withRequest ? 1 : 0));
        break;
    }
    case CommandType::CLOSED:
        Q_EMIT watchedSessionClosed(command.arg<quint64>(0));
        break;
    case CommandType::WATCH:
        Q_EMIT watch(command.arg<quint64>(0));
        break;
    case CommandType::BEGIN_SESSION:
        if (m_serving.onBeginSession(optionalNumber(command, 0), isServed(&Connection::listen)))
            Q_EMIT listen();
        break;
    case CommandType::CONNECT_TO: {
        const quint64 sessionId = command.arg<quint64>(0);
        const QByteArray serviceId = command.arg<QByteArray>(1);
        if (m_serving.onConnectTo(sessionId, serviceId, optionalNumber(command, 2),
                                  isServed(&Connection::newConnection)))
            Q_EMIT newConnection(sessionId, serviceId);
        break;
    }
    case CommandType::GET_CLIENTS:
    case CommandType::GET_CONNECTIONS:
        emitError(0, QStringLiteral("Unsupported command"));
        break;
    case CommandType::CODE:
        break;
    }
}

void Handler::onHello(quint64 version)
{
    if (isReady()) {
        kLog.warn(this) << "Ignoring duplicate HELLO";
        return;
    }
    if (version != kProtocolVersion) {
        emitError(0, QStringLiteral("Protocol version %1 not supported").arg(version));
        finish(false);
        return;
    }
    m_link.setReady();
    m_link.send(Command(CommandType::OK));
    kLog.info(this) << "Connection ready after HELLO";
    Q_EMIT ready();
}

void Handler::onOk(int count, quint64 first, quint64 second)
{
    // Only a bare OK answers our HELLO; an OK with arguments is judged as on a ready link.
    if (count == 0 && !isReady()) {
        m_link.setReady();
        kLog.info(this) << "Connection ready after OK";
        Q_EMIT ready();
        return;
    }
    if (count == 2 && m_serving.takeStartedSession(first, second)) {
        Q_EMIT sessionStarted(first);
        return;
    }
    // KEEP and WATCH are answered by an OK each, in order.
    if (!m_keepAlive.takeOk())
        emitError(0, QStringLiteral("OK command unexpected in this context"));
}

void Handler::onConnected(quint64 id, const QByteArray &serviceId, std::optional<quint64> requestId)
{
    if (m_carried.contains(id)) {
        emitError(0, QStringLiteral("Connection number conflict, %1 is already in use").arg(id));
        close();
        return;
    }
    if (requestId) {
        m_carried.onConnected(id, *requestId);
        return;
    }
    // Serving side: the relay hands over a connection into a session this side started.
    if (const std::optional<quint64> sessionId =
            m_serving.onConnected(id, serviceId, isServed(&Connection::newLocalConnection)))
        Q_EMIT newLocalConnection(*sessionId, serviceId);
}

void Handler::onError(quint64 id, const QByteArray &payload)
{
    const QString text = QString::fromUtf8(payload);
    if (m_carried.onError(id, text))
        return;
    if (id != 0) {
        emitError(0, QStringLiteral("Invalid connection ID %1").arg(id));
        return;
    }
    kLog.warn(this) << "Peer sends general error:" << payload;
    Q_EMIT error(text);
}

void Handler::onFail(quint64 requestId, const QByteArray &payload)
{
    const QString text = QString::fromUtf8(payload);
    if (m_carried.onFail(requestId, text))
        return;
    if (m_serving.takeRefusedSession(requestId)) {
        kLog.error(this) << "FAIL in response to BEGIN_SESSION:" << payload;
        Q_EMIT error(text);
        return;
    }
    kLog.warn(this) << "FAIL" << requestId << text << "received"
                    << "with no known source.";
}

// ---- requests of the owner ---------------------------------------------------------------------

void Handler::connectTo(qulonglong sessionId, QByteArray serviceId, Relay::Channel *channel)
{
    kLog.trace(this) << Q_FUNC_INFO << sessionId << serviceId << channel;
    if (!channel)
        return;
    if (m_link.isClosed()) {
        CarriedConnections::abandon(channel);
        return;
    }
    m_carried.request(sessionId, serviceId, channel);
}

void Handler::watchSession(qulonglong sessionId)
{
    kLog.trace(this) << Q_FUNC_INFO << sessionId;
    m_link.send(Command(CommandType::WATCH, {Command::Argument(quint64(sessionId))}));
    m_keepAlive.expectOk(KeepAlive::Request::kWatch);
}

void Handler::startSession()
{
    kLog.trace(this) << Q_FUNC_INFO;
    m_serving.startSession();
}

void Handler::listening(qulonglong sessionId)
{
    kLog.trace(this) << Q_FUNC_INFO << sessionId;
    if (!m_link.isClosed())
        m_serving.listening(sessionId);
}

void Handler::handleConnection(qulonglong sessionId, QByteArray serviceId, Relay::Channel *channel)
{
    kLog.trace(this) << Q_FUNC_INFO << sessionId << serviceId << channel;
    if (!channel)
        return;
    if (m_link.isClosed()) {
        CarriedConnections::abandon(channel);
        return;
    }
    const quint64 id = m_carried.add(channel);
    m_link.send(
        Command(CommandType::CONNECTED, {Command::Argument(id), Command::Argument(serviceId)}));
}

void Handler::accept(qulonglong sessionId, QByteArray serviceId, Relay::Channel *channel)
{
    kLog.trace(this) << Q_FUNC_INFO << sessionId << serviceId << channel;
    if (!channel)
        return;
    // Nobody waits for a channel that is not taken: close it so that its other end learns it.
    if (m_link.isClosed() || !m_serving.accept(sessionId, serviceId, channel))
        CarriedConnections::abandon(channel);
}

void Handler::watchedSessionState(qulonglong sessionId, bool isOpen)
{
    kLog.trace(this) << Q_FUNC_INFO << sessionId << isOpen;
    m_serving.watchedSessionState(sessionId, isOpen);
}

} // namespace Relay::V2
