#pragma once

#include <QByteArray>
#include <QList>
#include <QQueue>
#include <QSet>
#include <optional>

namespace Relay {
class Channel;
}

namespace Relay::V2 {

class CarriedConnections;
class Link;

// The serving side of one relay V2 link: the sessions this side opened on the far side, the
// sessions the peer asked this side for, and the peer's requests for connections into them,
// which wait here until the owner accepts them.
class ServingSide
{
public:
    ServingSide(Link &link, CarriedConnections &carried);

    // Asks the far side for a session (BEGIN_SESSION).
    void startSession();
    // OK [session, request id]: true when it grants a session this side asked for.
    bool takeStartedSession(quint64 sessionId, quint64 requestId);
    // FAIL [request id, ...]: true when it refuses a session this side asked for.
    bool takeRefusedSession(quint64 requestId);

    // The peer's requests; `served` tells whether anyone here answers them. Each returns whether
    // the request now waits for the owner.
    bool onBeginSession(std::optional<quint64> requestId, bool served);
    bool onConnectTo(quint64 sessionId, const QByteArray &serviceId,
                     std::optional<quint64> requestId, bool served);
    // CONNECTED without a request id: a connection into the last session this side started.
    // The session it goes to, or nothing when it was refused.
    std::optional<quint64> onConnected(quint64 id, const QByteArray &serviceId, bool served);

    // The owner's answers.
    void listening(quint64 sessionId);
    // False when no request waits for (session, service); the channel is then the caller's.
    bool accept(quint64 sessionId, const QByteArray &serviceId, Relay::Channel *channel);
    void watchedSessionState(quint64 sessionId, bool isOpen);

    int pendingCount() const { return m_pending.size(); }
    // Forgets every request (the link is gone).
    void clear();

private:
    struct Pending
    {
        quint64 sessionId = 0;
        QByteArray serviceId;
        std::optional<quint64> requestId;
        quint64 peerConnectionId = 0; // 0 when this side chooses the id
    };

    void sendFail(const QByteArray &text, std::optional<quint64> requestId);

    Link &m_link;
    CarriedConnections &m_carried;
    QList<quint64> m_startedSessions;
    QSet<quint64> m_beginSessionRequests;
    QList<quint64> m_listeningSessions;
    QQueue<std::optional<quint64>> m_peerSessionRequests;
    QList<Pending> m_pending;
};

} // namespace Relay::V2
