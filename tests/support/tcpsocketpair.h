#pragma once

#include <QHostAddress>
#include <QTcpSocket>
#include <memory>

namespace TestSupport {

// Two connected TCP sockets on a loopback address, made without an event loop.
class TcpSocketPair
{
public:
    // Connects; check ok() before use.
    explicit TcpSocketPair(const QHostAddress &address = QHostAddress(QStringLiteral("127.0.0.1")));

    bool ok() const { return m_client && m_server; }
    // The connecting side and the accepted side. Ownership stays with the pair unless taken.
    QTcpSocket *client() const { return m_client.get(); }
    QTcpSocket *server() const { return m_server.get(); }
    std::unique_ptr<QTcpSocket> takeClient() { return std::move(m_client); }
    std::unique_ptr<QTcpSocket> takeServer() { return std::move(m_server); }

private:
    std::unique_ptr<QTcpSocket> m_client;
    std::unique_ptr<QTcpSocket> m_server;
};

} // namespace TestSupport
