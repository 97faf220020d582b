#pragma once

#include <QByteArrayList>
#include <QTcpServer>

namespace TestSupport {

// A TCP server that reads each connection to its end and keeps what it received. Listen on a
// loopback address with listen().
class SinkServer : public QTcpServer
{
    Q_OBJECT
public:
    explicit SinkServer(QObject *parent = nullptr);

    int connectionCount() const { return m_connectionCount; }
    // Everything received on each connection that has ended, in the order they ended.
    QByteArrayList finished() const { return m_finished; }
    // Bytes received so far on all connections.
    qint64 bytesReceived() const { return m_bytesReceived; }

Q_SIGNALS:
    void connectionFinished(const QByteArray &received);

private:
    void onNewConnection();

    int m_connectionCount = 0;
    qint64 m_bytesReceived = 0;
    QByteArrayList m_finished;
};

} // namespace TestSupport
