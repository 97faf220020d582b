#pragma once

#include "relay/localservice.h"
#include "relay/router.h"

#include <QHostAddress>
#include <QObject>
#include <QTcpServer>

namespace TestSupport {

// A relay server on a loopback address: every accepted TCP connection gets a relay V2 handler
// under one router, so clients can start sessions, connect into them and watch them.
class RelayServerStandIn : public QObject
{
    Q_OBJECT
public:
    explicit RelayServerStandIn(QObject *parent = nullptr);
    ~RelayServerStandIn() override;

    bool listen(const QHostAddress &address, quint16 port = 0);
    quint16 port() const { return m_server.serverPort(); }
    QHostAddress address() const { return m_server.serverAddress(); }
    // Links currently open.
    int linkCount() const { return m_router.connectionCount(); }
    // Stops accepting; open links stay.
    void stopListening() { m_server.close(); }
    // Cuts the most recent link still open at once, without QUIT (a lost relay).
    void dropNewest();
    // Serves session 1 itself, as a phone's own relay service does: connections into it for the
    // service id go to that port on 127.0.0.1 (replacing an earlier port of the service id).
    void serveLocally(const QByteArray &serviceId, quint16 port);

Q_SIGNALS:
    void linkAccepted();

private:
    // Each accepted socket owns its handler.
    QTcpServer m_server;
    Relay::LocalService m_localService;
    Relay::Router m_router;
};

} // namespace TestSupport
