#include "support/wiremonitor.h"

#include <QTcpSocket>

namespace TestSupport {

using Relay::V2::CommandType;

WireMonitor::~WireMonitor()
{
    // The sockets go after the links they report to: nothing reaches this object from them.
    for (QTcpSocket *socket : findChildren<QTcpSocket *>())
        socket->disconnect(this);
}

bool WireMonitor::listen(const QHostAddress &address, const QHostAddress &upstream,
                         quint16 upstreamPort)
{
    connect(&m_server, &QTcpServer::newConnection, this, [this, upstream, upstreamPort] {
        while (QTcpSocket *client = m_server.nextPendingConnection()) {
            Link &link = m_links.emplace_back();
            link.client.socket = client;
            link.relay.socket = new QTcpSocket(this);
            client->setParent(this);
            for (auto [from, to] :
                 {std::pair(&link.client, &link.relay), std::pair(&link.relay, &link.client)}) {
                // What arrives before the relay side is up waits in the client's socket.
                connect(from->socket, &QTcpSocket::readyRead, this, [=] { pass(*from, *to); });
                connect(to->socket, &QTcpSocket::connected, this, [=] { pass(*from, *to); });
                connect(from->socket, &QTcpSocket::disconnected, this, [=] {
                    pass(*from, *to);
                    to->socket->disconnectFromHost();
                });
            }
            link.relay.socket->connectToHost(upstream, upstreamPort);
        }
    });
    return m_server.listen(address);
}

void WireMonitor::pass(Side &from, Side &to)
{
    if (to.socket->state() != QAbstractSocket::ConnectedState)
        return;
    const QByteArray bytes = from.socket->readAll();
    to.socket->write(bytes);
    from.parser.feed(bytes);
    if (from.parser.error())
        violation(from, from.parser.errorMessage());
    while (from.parser.hasCommands())
        check(from, to, from.parser.popCommand());
}

void WireMonitor::check(Side &from, Side &to, const Relay::V2::Command &command)
{
    const quint64 id = command.arg<quint64>(0);
    const QString onId = QStringLiteral(" on connection %1").arg(id);
    switch (command.type()) {
    case CommandType::DATA:
        if (from.closed.contains(id))
            violation(from, "DATA after its own close" + onId);
        if (++from.unacknowledged[id] > 1)
            violation(from, "a second DATA before the TRANS of the first" + onId);
        break;
    case CommandType::TRANS:
        // A TRANS may cross the other side's close of its connection on the wire.
        if (to.unacknowledged.value(id) > 0)
            --to.unacknowledged[id];
        else if (!to.closed.contains(id))
            violation(from, "TRANS without DATA" + onId);
        break;
    case CommandType::DISCONNECT:
    case CommandType::DISCONNECTED:
        from.closed.insert(id);
        from.unacknowledged.remove(id);
        to.unacknowledged.remove(id);
        break;
    case CommandType::CONNECTED: // a new connection under an id closed before
        from.closed.remove(id);
        to.closed.remove(id);
        break;
    case CommandType::ERROR:
        m_errors << QStringLiteral("%1: %2 %3")
                        .arg(QLatin1String(from.name))
                        .arg(id)
                        .arg(QString::fromUtf8(command.arg<QByteArray>(1)));
        break;
    default:
        break;
    }
}

void WireMonitor::violation(const Side &from, const QString &what)
{
    if (m_violations.size() < 20)
        m_violations << from.name + QStringLiteral(": ") + what;
}

} // namespace TestSupport
