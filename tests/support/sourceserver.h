#pragma once

#include <QByteArray>
#include <QTcpServer>

namespace TestSupport {

// A TCP server that writes the given bytes to each connection and closes it right after the
// last write (the socket still sends what it buffers before the close). Listen on a loopback
// address with listen().
class SourceServer : public QTcpServer
{
    Q_OBJECT
public:
    explicit SourceServer(const QByteArray &data, QObject *parent = nullptr);

    int connectionCount() const { return m_connectionCount; }

private:
    void onNewConnection();

    QByteArray m_data;
    int m_connectionCount = 0;
};

} // namespace TestSupport
