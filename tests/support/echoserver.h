#pragma once

#include <QTcpServer>

namespace TestSupport {

// A TCP server that writes back everything each connection sends, and closes a connection when
// its client closes. Listen on a loopback address with listen().
class EchoServer : public QTcpServer
{
    Q_OBJECT
public:
    explicit EchoServer(QObject *parent = nullptr);

    int connectionCount() const { return m_connectionCount; }
    qint64 bytesEchoed() const { return m_bytesEchoed; }

private:
    void onNewConnection();

    int m_connectionCount = 0;
    qint64 m_bytesEchoed = 0;
};

} // namespace TestSupport
