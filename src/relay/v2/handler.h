#pragma once

#include "relay/connection.h"
#include "relay/v2/command.h"
#include "relay/v2/protocolparser.h"

#include <QHash>
#include <QList>
#include <QPointer>
#include <QQueue>
#include <QSet>
#include <QTimer>
#include <optional>

class QAbstractSocket;
class QIODevice;

namespace Relay::V2 {

// Relay protocol V2 over one byte stream (normally the TCP socket to a relay server or a
// HomeBridge): the HELLO handshake, keep-alive, carried connections bound to channels, session
// watching, and the serving side's sessions and incoming connections.
class Handler : public Relay::Connection
{
    Q_OBJECT
public:
    static constexpr int kKeepAliveInterval = 10000;
    // Reading from the link stops while more than this waits to be written to it.
    static constexpr qint64 kMaxPendingWrite = 1024 * 1024;

    struct PendingConnection {
        quint64 sessionId = 0;
        QByteArray serviceId;
        std::optional<quint64> requestId;
        quint64 peerConnectionId = 0; // 0 when this side chooses the id
    };

    struct ConnectionContext {
        quint64 connectionId = 0;
        quint32 receivedUnacknowledged = 0;
        quint32 sentUnacknowledged = 0;
        bool established = false;
        bool answerWithDisconnected = false;
    };

    Handler(QIODevice *device, QObject *parent = nullptr);
    ~Handler() override;

    // For tests: the keep-alive tick in milliseconds.
    void setKeepAliveInterval(int milliseconds);
    int keepAliveInterval() const { return m_keepAliveTimer.interval(); }

    // Carried connections with a connection id, and requests still waiting for CONNECTED.
    int carriedConnectionCount() const { return m_channels.size(); }
    int openRequestCount() const { return m_requests.size(); }
    // Requests whose local side is still there.
    int liveRequestCount() const { return m_requests.size() - m_requests.keys(nullptr).size(); }
    // Incoming requests of the peer not yet accepted.
    int pendingConnectionCount() const { return m_pendingConnections.size(); }

public Q_SLOTS:
    void handleConnection(qulonglong sessionId, QByteArray serviceId,
                          Relay::Channel *channel) override;
    bool isReady() const override;
    void close() override;
    void handshake() override;
    void startSession() override;
    void connectTo(qulonglong sessionId, QByteArray serviceId, Relay::Channel *channel) override;
    void watchSession(qulonglong sessionId) override;
    void listening(qulonglong sessionId) override;
    void accept(qulonglong sessionId, QByteArray serviceId, Relay::Channel *channel) override;
    void watchedSessionState(qulonglong sessionId, bool isOpen) override;

private Q_SLOTS:
    void onReadyRead();
    void onBytesWritten(qlonglong bytes);
    void onChannelConnected();
    void onChannelData();
    void onChannelSent();
    void onChannelClosed();
    void onChannelError(QString message);
    void onIdleTimer();
    void onRequestChannelConnected();
    void onRequestChannelClosed();

private:
    void dispatch(const Command &command);
    void onHello(const Command &command);
    void onOk(const Command &command);
    void keepAliveAnswer();
    void onConnected(const Command &command);
    void onConnection(const Command &command);
    void onData(const Command &command);
    void onTrans(const Command &command);
    void onDisconnect(const Command &command);
    void onError(const Command &command);
    void onFail(const Command &command);
    void onBeginSession(const Command &command);
    void onConnectTo(const Command &command);

    // Ends the link for good: no command is dispatched afterwards, closed() comes once.
    void finish(bool sendQuit);
    void send(const Command &command);
    void flush();
    void setLowDelay();
    void emitError(quint64 connectionId, const QString &text);
    // The channel of a carried connection; an unknown id is answered with an error.
    Relay::Channel *knownChannel(quint64 id);
    void sendErrorCommand(quint64 connectionId, const QString &text);
    void sendFail(const QString &text, const std::optional<quint64> &requestId);

    quint64 nextConnectionId();
    static quint64 nextRequestId();
    void addChannel(Relay::Channel *channel, quint64 id = 0);
    void removeChannel(Relay::Channel *channel);
    // Ends one carried connection from this side: tells the peer when it knew of it, then removes.
    void closeCarried(Relay::Channel *channel);
    void sendBlock(Relay::Channel *channel, ConnectionContext &context);
    void detachRequestChannel(Relay::Channel *channel);
    // Closes a channel end that the handler gives up, so the local side sees the close.
    static void abandonChannel(Relay::Channel *channel);

    QPointer<QIODevice> m_device;
    QAbstractSocket *m_socket = nullptr;
    ProtocolParser m_parser;
    bool m_ready = false;
    bool m_finished = false;
    bool m_inReadStep = false;
    bool m_readPaused = false;
    QTimer m_keepAliveTimer;
    bool m_activity = false;
    int m_missedKeepAlives = 0;
    QList<quint64> m_startedSessions;
    QSet<quint64> m_beginSessionRequests;
    QList<quint64> m_listeningSessions;
    QQueue<std::optional<quint64>> m_peerSessionRequests;
    quint64 m_lastConnectionId = 0;
    QList<PendingConnection> m_pendingConnections;
    QHash<Relay::Channel *, PendingConnection> m_acceptedConnections;
    // Request id -> channel waiting for CONNECTED; null when the local side closed meanwhile.
    QHash<quint64, Relay::Channel *> m_requests;
    // Channels of m_requests whose local end has already connected.
    QSet<Relay::Channel *> m_requestsConnected;
    QHash<quint64, Relay::Channel *> m_channels;
    QHash<Relay::Channel *, ConnectionContext> m_contexts;
};

} // namespace Relay::V2
