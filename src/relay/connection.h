#pragma once

#include "relay/service.h"

#include <QByteArray>

namespace Relay {

class Channel;

// One relay protocol connection over a byte stream: the handshake, keep-alive, carried
// connections and session watching, independent of the protocol version. Created through a
// Relay::Protocol; the owner deletes it after closed().
class Connection : public Service
{
    Q_OBJECT
public:
    explicit Connection(QObject *parent = nullptr);
    ~Connection() override;

public Q_SLOTS:
    virtual bool isReady() const = 0;
    virtual void close() = 0;
    virtual void handshake() = 0;
    virtual void startSession() = 0;
    virtual void connectTo(qulonglong sessionId, QByteArray serviceId, Relay::Channel *channel) = 0;
    virtual void watchSession(qulonglong sessionId) = 0;
    virtual void listening(qulonglong sessionId) = 0;
    virtual void accept(qulonglong sessionId, QByteArray serviceId, Relay::Channel *channel) = 0;
    virtual void watchedSessionState(qulonglong sessionId, bool isOpen) = 0;

Q_SIGNALS:
    void ready();
    void listen();
    void sessionStarted(qulonglong sessionId);
    void newConnection(qulonglong sessionId, QByteArray serviceId);
    void newLocalConnection(qulonglong sessionId, QByteArray serviceId);
    void watch(qulonglong sessionId);
    void watchedSessionClosed(qulonglong sessionId);
    void closed();
    void error(QString message);
};

} // namespace Relay
