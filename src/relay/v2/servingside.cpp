#include "relay/v2/servingside.h"

#include "log/logger.h"
#include "relay/channel.h"
#include "relay/v2/carriedconnections.h"
#include "relay/v2/command.h"
#include "relay/v2/link.h"

namespace Relay::V2 {

namespace {
// A part of the handler: its lines follow the handler's logger level (the logger tree passes a
// level set on "Relay::V2::Handler" down to this one).
const Log::Logger kLog("Relay::V2::Handler::ServingSide");
} // namespace

ServingSide::ServingSide(Link &link, CarriedConnections &carried) : m_link(link), m_carried(carried)
{
}

void ServingSide::startSession()
{
    const quint64 requestId = CarriedConnections::nextRequestId();
    m_beginSessionRequests.insert(requestId);
    m_link.send(Command(CommandType::BEGIN_SESSION, {Command::number(requestId)}));
}

bool ServingSide::takeStartedSession(quint64 sessionId, quint64 requestId)
{
    if (!m_beginSessionRequests.remove(requestId))
        return false;
    m_startedSessions.append(sessionId);
    return true;
}

bool ServingSide::takeRefusedSession(quint64 requestId)
{
    return m_beginSessionRequests.remove(requestId);
}

void ServingSide::sendFail(const QByteArray &text, std::optional<quint64> requestId)
{
    Command::Arguments arguments{Command::number(quint64(text.size()))};
    if (requestId)
        arguments.append(Command::number(*requestId));
    arguments.append(Command::Argument(text));
    m_link.send(Command(CommandType::FAIL, std::move(arguments)));
}

bool ServingSide::onBeginSession(std::optional<quint64> requestId, bool served)
{
    if (!served) {
        // Nobody here hands out sessions: refuse rather than keep the request.
        sendFail("Session not available", requestId);
        return false;
    }
    m_peerSessionRequests.enqueue(requestId);
    return true;
}

bool ServingSide::onConnectTo(quint64 sessionId, const QByteArray &serviceId,
                              std::optional<quint64> requestId, bool served)
{
    if (!served) {
        sendFail("Service not found", requestId);
        return false;
    }
    m_pending.append({sessionId, serviceId, requestId, 0});
    return true;
}

std::optional<quint64> ServingSide::onConnected(quint64 id, const QByteArray &serviceId,
                                                bool served)
{
    if (m_startedSessions.isEmpty())
        kLog.error(this) << "Received CONNECTED, but no session was started. Rejecting.";
    if (m_startedSessions.isEmpty() || !served) {
        m_link.send(
            Command(CommandType::CONNECTION, {Command::number(id), Command::Argument(false)}));
        return std::nullopt;
    }
    m_pending.append({m_startedSessions.last(), serviceId, std::nullopt, id});
    return m_startedSessions.last();
}

void ServingSide::listening(quint64 sessionId)
{
    m_listeningSessions.append(sessionId);
    kLog.info(this) << "Established local session ID =" << sessionId;
    const std::optional<quint64> requestId =
        m_peerSessionRequests.isEmpty() ? std::nullopt : m_peerSessionRequests.dequeue();
    Command::Arguments arguments{Command::number(sessionId)};
    if (requestId)
        arguments.append(Command::number(*requestId));
    m_link.send(Command(CommandType::OK, std::move(arguments)));
}

bool ServingSide::accept(quint64 sessionId, const QByteArray &serviceId, Relay::Channel *channel)
{
    int index = -1;
    for (int i = 0; i < m_pending.size() && index < 0; ++i) {
        if (m_pending.at(i).sessionId == sessionId && m_pending.at(i).serviceId == serviceId)
            index = i;
    }
    if (index < 0)
        return false;
    const Pending pending = m_pending.takeAt(index);
    if (pending.peerConnectionId != 0 && m_carried.contains(pending.peerConnectionId)) {
        m_link.send(Command(CommandType::CONNECTION,
                            {Command::number(pending.peerConnectionId), Command::Argument(false)}));
        return false;
    }
    m_carried.add(
        channel, pending.peerConnectionId,
        CarriedConnections::Answer{pending.serviceId, pending.requestId, pending.peerConnectionId});
    channel->open();
    return true;
}

void ServingSide::watchedSessionState(quint64 sessionId, bool isOpen)
{
    if (isOpen)
        m_link.send(Command(CommandType::OK));
    else
        m_link.send(Command(CommandType::CLOSED, {Command::number(sessionId)}));
}

void ServingSide::clear()
{
    m_pending.clear();
    m_peerSessionRequests.clear();
    m_beginSessionRequests.clear();
}

} // namespace Relay::V2
