#pragma once

#include <QAbstractSocket>
#include <QByteArray>
#include <QHash>
#include <QHostAddress>
#include <QObject>
#include <QTcpSocket>
#include <QTimer>
#include <memory>

namespace Relay {

class Channel;
class Connection;
class LocalSocket;
class Protocol;
class Router;

// Service ids of the forwards to a HomeBridge.
inline const QByteArray kServicePOP3 = QByteArrayLiteral("POP3");
inline const QByteArray kServiceSMTP = QByteArrayLiteral("SMTP");
inline const QByteArray kServicePMTP = QByteArrayLiteral("PMTP");

// The client end of the relay transport: one TCP connection to a relay endpoint (a relay server
// or the phone's relay service) spoken to in relay protocol V2, and local listeners on 127.0.0.1
// whose accepted connections are carried to a (session id, service id) on the far side.
class ConnectionManager : public QObject
{
    Q_OBJECT
public:
    struct EndPoint {
        quint64 sessionId = 0;
        QByteArray serviceId;
        bool operator==(const EndPoint &other) const
        {
            return sessionId == other.sessionId && serviceId == other.serviceId;
        }
        bool operator!=(const EndPoint &other) const { return !(*this == other); }
    };

    // An attempt that has not shaken hands within this time is given up as failed.
    static constexpr int kHandshakeTimeout = 15000;
    // The socket buffers at most this much that the handler has not read.
    static constexpr qint64 kReadBufferSize = 1024 * 1024;

    explicit ConnectionManager(QObject *parent = nullptr);
    ~ConnectionManager() override;

    void connectToRelay(const QHostAddress &address, quint16 port);
    void connectToRelay(const QString &host, quint16 port);
    void disconnectFromRelay();
    quint16 addForward(quint64 sessionId, const QByteArray &serviceId);
    void watch(quint64 sessionId);
    bool isConnected() const;

    // For tests: the handshake time limit in milliseconds.
    void setHandshakeTimeout(int milliseconds) { m_handshakeTimer.setInterval(milliseconds); }
    // For tests: the port new forwards listen on (0, the default, takes a free one), so a taken
    // port makes addForward fail.
    void setForwardPort(quint16 port) { m_forwardPort = port; }
    // The current handler, null when idle.
    Relay::Connection *connection() const { return m_connection; }
    int forwardCount() const { return m_forwards.size(); }

Q_SIGNALS:
    void connected();
    void disconnected();
    void failed();
    void sessionClosed(qulonglong sessionId);

public Q_SLOTS:
    void onSocketError(QAbstractSocket::SocketError error);
    void onConnectionReady();
    void onConnectionError(QString message);
    void onConnectionClosed();
    void onLocalConnection(Relay::Channel *channel);

private Q_SLOTS:
    void onHandshakeTimeout();

private:
    void makeConnection();
    // Cuts the current handler off from the socket and the manager, closes it (so that nothing of
    // it uses the socket any more) and deletes it later.
    void dropConnection();
    void failAttempt();

    Relay::Router *m_router = nullptr;
    std::unique_ptr<Relay::Protocol> m_protocol;
    QTcpSocket m_socket;
    Relay::Connection *m_connection = nullptr;
    bool m_attemptInProgress = false;
    QHash<Relay::LocalSocket *, EndPoint> m_forwards;
    QTimer m_handshakeTimer;
    quint16 m_forwardPort = 0;
};

} // namespace Relay
