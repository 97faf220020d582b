#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QObject>
#include <QTcpSocket>

namespace TestSupport {

// A TCP client that sends bytes, keeps everything it receives and notes when the connection
// ends.
class StreamClient : public QObject
{
    Q_OBJECT
public:
    explicit StreamClient(QObject *parent = nullptr);

    void connectTo(quint16 port, const QHostAddress &address = QHostAddress::LocalHost);
    // Writes the bytes; with closeAfter set, closes right after (buffered bytes still go out).
    // Wait for isConnected() first: closing a socket that is still connecting aborts it.
    void send(const QByteArray &data, bool closeAfter = false);
    void close() { m_socket.disconnectFromHost(); }

    bool isConnected() const { return m_socket.state() == QAbstractSocket::ConnectedState; }
    bool hasEnded() const { return m_ended; }
    const QByteArray &received() const { return m_received; }
    QTcpSocket &socket() { return m_socket; }

Q_SIGNALS:
    void ended();

private:
    QTcpSocket m_socket;
    QByteArray m_received;
    bool m_ended = false;
};

} // namespace TestSupport
