#pragma once

#include <QByteArray>
#include <QDeadlineTimer>
#include <QHash>
#include <QObject>
#include <QSet>
#include <QString>
#include <QTimer>
#include <optional>

namespace Relay {
class Channel;
}

namespace Relay::V2 {

class Link;

// The connections carried over one relay V2 link, each bound to a channel end that it owns: the
// request and its id, the connection id, and the flow of DATA and TRANS.
//
// Flow: one DATA per connection and direction waits for its TRANS. A block from the local side
// goes out once, when nothing of that connection is on the wire, and the next one when its TRANS
// comes. A DATA from the peer is handed to the local side, and its TRANS follows when the local
// side took it.
//
// A local close ends the connection once nothing of the local side's is left to send: at once
// when its last block is already on the wire (a TRANS for it that crosses the close is then no
// error), or after the blocks still waiting went out, and never later than the drain limit.
class CarriedConnections : public QObject
{
    Q_OBJECT
public:
    // How the peer learns that an accepted connection's far end connected or failed.
    struct Answer
    {
        QByteArray serviceId;
        std::optional<quint64> requestId;
        quint64 peerConnectionId = 0; // the peer chose the id (CONNECTED); 0 for CONNECT_TO
    };

    static constexpr int kDrainTimeout = 30000;

    CarriedConnections(Link &link, QObject *parent = nullptr);
    // Request ids of this process (CONNECT_TO and BEGIN_SESSION share them).
    static quint64 nextRequestId();
    ~CarriedConnections() override;

    // For tests: the longest wait for the peer to take what a closed local side left.
    void setDrainTimeout(int milliseconds) { m_drainTimeout = milliseconds; }

    // Client road: asks the peer for a connection to (session, service) for the channel.
    void request(quint64 sessionId, const QByteArray &serviceId, Relay::Channel *channel);
    bool contains(quint64 id) const { return m_ids.contains(id); }
    // Takes a channel under an id (a new one when 0); it opens once the caller says so.
    quint64 add(Relay::Channel *channel, quint64 id = 0, std::optional<Answer> answer = {});
    // Ends every connection without a word to the peer (the link is gone).
    void closeAll();
    // Closes and deletes a channel end nobody takes, so that its other end sees the close.
    static void abandon(Relay::Channel *channel);

    // What the peer sent, decoded.
    void onConnected(quint64 id, quint64 requestId);
    // True when the FAIL answered a request of ours.
    bool onFail(quint64 requestId, const QString &text);
    void onConnection(quint64 id, bool accepted);
    void onData(quint64 id, const QByteArray &payload);
    void onTrans(quint64 id, bool ok);
    void onDisconnect(quint64 id);
    // True when the id names a carried connection (the error went to its local side).
    bool onError(quint64 id, const QString &text);

    int connectionCount() const { return m_ids.size(); }
    int requestCount() const { return m_requests.size(); }
    int liveRequestCount() const { return m_requests.size() - m_requests.keys(nullptr).size(); }

private Q_SLOTS:
    void onChannelConnected();
    void onChannelData();
    void onChannelSent();
    void onChannelClosed();
    void onChannelError(const QString &message);
    void onDrainTimeout();

private:
    enum class Phase { kRequested, kOpening, kEstablished };

    struct Carried
    {
        Relay::Channel *channel = nullptr;
        quint64 id = 0;        // 0 while requested
        quint64 requestId = 0; // while requested
        Phase phase = Phase::kOpening;
        bool localConnected = false;
        bool localClosed = false;
        int queued = 0;              // local messages not yet taken, the one on the wire included
        bool blockOnWire = false;    // DATA sent, its TRANS awaited
        bool blockWithLocal = false; // DATA handed to the local side, not yet taken
        bool answerWithDisconnected = false;
        std::optional<Answer> answer;
        QDeadlineTimer drainDeadline;
    };

    Carried *find(Relay::Channel *channel);
    Carried *sending();
    // The connection with this id; an unknown id is answered with an error.
    Carried *known(quint64 id);
    void emitError(quint64 id, const QString &text);
    void watch(Relay::Channel *channel);
    quint64 nextConnectionId();
    void establish(Relay::Channel *channel);
    // Sends the next waiting block when the wire is free; ends a closed connection once done.
    void pump(Relay::Channel *channel);
    // Ends a connection from this side: tells the peer when it knows of it, then removes it.
    void end(Relay::Channel *channel);
    void remove(Relay::Channel *channel);
    // Tells the peer that an accepted connection will not connect (when it waits to be told).
    void refuse(Carried &carried, const QString &text);
    void startDrain(Carried &carried);

    Link &m_link;
    QHash<Relay::Channel *, Carried> m_carried;
    QHash<quint64, Relay::Channel *> m_ids;
    // Request id -> channel; null when the local side left with nothing to send.
    QHash<quint64, Relay::Channel *> m_requests;
    // Ids this side ended while their last block was on the wire.
    QSet<quint64> m_endedWithBlockOnWire;
    quint64 m_lastConnectionId = 0;
    int m_drainTimeout = kDrainTimeout;
    // Fires at the earliest drain deadline.
    QTimer m_drainTimer;
};

} // namespace Relay::V2
