#pragma once

#include "relay/connection.h"
#include "relay/v2/carriedconnections.h"
#include "relay/v2/keepalive.h"
#include "relay/v2/link.h"
#include "relay/v2/servingside.h"

#include <optional>

class QIODevice;

namespace Relay::V2 {

// Relay protocol V2 over one byte stream (normally the TCP socket to a relay server or a
// HomeBridge): the HELLO handshake and the dispatch of every received command, decoded once,
// to the part that handles it: the link (bytes in and out), keep-alive, the carried connections
// and the serving side. The parts log under loggers below "Relay::V2::Handler" (such as
// "Relay::V2::Handler::Link"), so the handler's level reaches every line it writes.
class Handler : public Relay::Connection
{
    Q_OBJECT
public:
    static constexpr int kKeepAliveInterval = KeepAlive::kInterval;
    static constexpr qint64 kMaxPendingWrite = Link::kMaxPendingWrite;

    Handler(QIODevice *device, QObject *parent = nullptr);
    ~Handler() override;

    // For tests: the keep-alive tick and the drain limit of closed local sides, in milliseconds.
    void setKeepAliveInterval(int milliseconds) { m_keepAlive.setInterval(milliseconds); }
    int keepAliveInterval() const { return m_keepAlive.interval(); }
    void setDrainTimeout(int milliseconds) { m_carried.setDrainTimeout(milliseconds); }

    // Carried connections with a connection id, and requests still waiting for CONNECTED.
    int carriedConnectionCount() const { return m_carried.connectionCount(); }
    int openRequestCount() const { return m_carried.requestCount(); }
    // Requests whose local side is still there.
    int liveRequestCount() const { return m_carried.liveRequestCount(); }
    // Incoming requests of the peer not yet accepted.
    int pendingConnectionCount() const { return m_serving.pendingCount(); }

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

private:
    void dispatch(const Command &command);
    void onHello(quint64 version);
    void onOk(int count, quint64 first, quint64 second);
    void onConnected(quint64 id, const QByteArray &serviceId, std::optional<quint64> requestId);
    void onError(quint64 id, const QByteArray &payload);
    void onFail(quint64 requestId, const QByteArray &payload);
    void onParseError(const QString &text);
    void onKeepAliveTimeout();

    // Ends the link for good: no command is dispatched afterwards, closed() comes once, and
    // what was sent before it leaves before closed().
    void finish(bool sendQuit);
    void emitError(quint64 connectionId, const QString &text);
    // Whether anyone listens to a signal of the serving side (else its request is refused).
    template <typename Signal> bool isServed(Signal signal) const;

    Link m_link;
    KeepAlive m_keepAlive;
    CarriedConnections m_carried;
    ServingSide m_serving;
};

} // namespace Relay::V2
