#pragma once

#include <QAbstractSocket>
#include <QByteArray>
#include <QHostAddress>
#include <QObject>
#include <QTcpSocket>
#include <QTimer>
#include <memory>

namespace Relay {

class Connection;
class LocalService;
class Protocol;
class Router;

// The serving end of the relay transport: one TCP connection to a relay, a session started on it,
// and the connections that arrive through that session handed to a local service that connects
// them to ports on 127.0.0.1.
class SessionManager : public QObject
{
    Q_OBJECT
public:
    // An attempt that has not opened its session within this time is given up as failed.
    static constexpr int kHandshakeTimeout = 15000;
    static constexpr qint64 kReadBufferSize = 1024 * 1024;

    explicit SessionManager(QObject *parent = nullptr);
    ~SessionManager() override;

    void connectToRelay(const QString &host, quint16 port);
    void connectToRelay(const QHostAddress &address, quint16 port);
    void addLocalForward(const QByteArray &serviceId, quint16 port);
    void addLocalForwardConnectionType(const QByteArray &serviceId, int type);
    void watch(qulonglong sessionId);
    bool isReady() const;
    quint64 sessionId() const { return m_sessionId; }
    void close();

    void setHandshakeTimeout(int milliseconds) { m_handshakeTimer.setInterval(milliseconds); }
    Relay::Router *router() const { return m_router; }
    Relay::Connection *connection() const { return m_connection; }

Q_SIGNALS:
    void connected(qulonglong sessionId);
    void disconnected();
    void failed();
    void sessionClosed(qulonglong sessionId);

public Q_SLOTS:
    void onSocketConnected();
    void onSocketError(QAbstractSocket::SocketError error);
    void onSocketDisconnected();
    void onConnectionReady();
    void onConnectionSessionStarted(qulonglong sessionId);
    void onConnectionClosed();
    void onConnectionError(QString message);

private Q_SLOTS:
    void onHandshakeTimeout();

private:
    void dropConnection();

    std::unique_ptr<Relay::Protocol> m_protocol;
    Relay::Router *m_router = nullptr;
    Relay::LocalService *m_localService = nullptr;
    QTcpSocket m_socket;
    Relay::Connection *m_connection = nullptr;
    bool m_attemptInProgress = false;
    quint64 m_sessionId = 0;
    QTimer m_handshakeTimer;
};

} // namespace Relay
