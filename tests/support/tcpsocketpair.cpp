#include "support/tcpsocketpair.h"

#include <QTcpServer>

namespace TestSupport {

TcpSocketPair::TcpSocketPair(const QHostAddress &address)
{
    QTcpServer listener;
    if (!listener.listen(address, 0))
        return;
    auto client = std::make_unique<QTcpSocket>();
    client->connectToHost(address, listener.serverPort());
    if (!listener.waitForNewConnection(10000) || !client->waitForConnected(10000))
        return;
    QTcpSocket *accepted = listener.nextPendingConnection();
    if (!accepted)
        return;
    accepted->setParent(nullptr);
    m_server.reset(accepted);
    m_client = std::move(client);
}

} // namespace TestSupport
