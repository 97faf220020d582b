#include "support/streamclient.h"

namespace TestSupport {

StreamClient::StreamClient(QObject *parent) : QObject(parent)
{
    connect(&m_socket, &QTcpSocket::readyRead, this,
            [this] { m_received.append(m_socket.readAll()); });
    connect(&m_socket, &QTcpSocket::disconnected, this, [this] {
        m_received.append(m_socket.readAll());
        if (!m_ended) {
            m_ended = true;
            Q_EMIT ended();
        }
    });
    connect(&m_socket, &QTcpSocket::errorOccurred, this, [this](QAbstractSocket::SocketError) {
        if (m_socket.state() == QAbstractSocket::UnconnectedState && !m_ended) {
            m_ended = true;
            Q_EMIT ended();
        }
    });
}

void StreamClient::connectTo(quint16 port, const QHostAddress &address)
{
    m_socket.connectToHost(address, port);
}

void StreamClient::send(const QByteArray &data, bool closeAfter)
{
    m_socket.write(data);
    if (closeAfter)
        m_socket.disconnectFromHost();
}

} // namespace TestSupport
