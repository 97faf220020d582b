#pragma once

#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QTcpServer>

class QTcpSocket;

namespace Relay {
class LocalService;
class Router;
namespace V2 {
class Handler;
}
} // namespace Relay

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
    Relay::Router *router() const { return m_router; }
    // Links currently open.
    int linkCount() const;
    QList<Relay::V2::Handler *> handlers() const;
    // Keep-alive tick of the handlers of later links (milliseconds).
    void setKeepAliveInterval(int milliseconds) { m_keepAliveInterval = milliseconds; }
    // Stops accepting; open links stay.
    void stopListening() { m_server.close(); }
    // Cuts every link at once, without QUIT (a lost relay).
    void dropAll();
    // Closes every link with QUIT.
    void closeAll();
    // Cuts the most recent link at once, without QUIT.
    void dropNewest();
    // Serves session 1 itself, as a phone's own relay service does: connections into it for the
    // service id go to that port on 127.0.0.1 (replacing an earlier port of the service id).
    void serveLocally(const QByteArray &serviceId, quint16 port);

Q_SIGNALS:
    void linkAccepted();

private:
    struct Link
    {
        QPointer<QTcpSocket> socket;
        QPointer<Relay::V2::Handler> handler;
    };
    void onNewConnection();

    QTcpServer m_server;
    Relay::Router *m_router = nullptr;
    Relay::LocalService *m_localService = nullptr;
    QList<Link> m_links;
    int m_keepAliveInterval = 0;
};

} // namespace TestSupport
