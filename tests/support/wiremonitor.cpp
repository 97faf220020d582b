#include "support/wiremonitor.h"

#include <QTcpSocket>

namespace TestSupport {

WireMonitor::WireMonitor(const QHostAddress &upstreamAddress, quint16 upstreamPort,
                         QObject *parent)
    : QObject(parent), m_upstreamAddress(upstreamAddress), m_upstreamPort(upstreamPort)
{
    connect(&m_server, &QTcpServer::newConnection, this, &WireMonitor::onNewConnection);
}

WireMonitor::~WireMonitor()
{
    for (const auto &link : qAsConst(m_links)) {
        for (Side *side : {&link->client, &link->relay}) {
            if (side->socket) {
                disconnect(side->socket, nullptr, this, nullptr);
                side->socket->abort();
                delete side->socket;
            }
        }
    }
}

bool WireMonitor::listen(const QHostAddress &address)
{
    return m_server.listen(address, 0);
}

void WireMonitor::onNewConnection()
{
    while (QTcpSocket *client = m_server.nextPendingConnection()) {
        client->setParent(nullptr);
        auto link = std::make_shared<Link>();
        link->client.socket = client;
        auto *relay = new QTcpSocket;
        link->relay.socket = relay;
        m_links.append(link);
        Link *raw = link.get();
        // What the client writes before the relay side is up waits in the client socket.
        connect(relay, &QTcpSocket::connected, this, [this, raw] { pass(raw, true); });
        connect(client, &QTcpSocket::readyRead, this, [this, raw] { pass(raw, true); });
        connect(relay, &QTcpSocket::readyRead, this, [this, raw] { pass(raw, false); });
        auto closeBoth = [this, raw] {
            for (Side *side : {&raw->client, &raw->relay}) {
                if (side->socket && side->socket->state() == QAbstractSocket::ConnectedState) {
                    side->socket->flush();
                    side->socket->disconnectFromHost();
                }
            }
            removeLink(raw);
        };
        connect(client, &QTcpSocket::disconnected, this, [this, raw, closeBoth] {
            pass(raw, true);
            closeBoth();
        });
        connect(relay, &QTcpSocket::disconnected, this, [this, raw, closeBoth] {
            pass(raw, false);
            closeBoth();
        });
        connect(relay, &QTcpSocket::errorOccurred, this, [raw](QAbstractSocket::SocketError) {
            if (raw->client.socket)
                raw->client.socket->abort();
        });
        relay->connectToHost(m_upstreamAddress, m_upstreamPort);
    }
}

void WireMonitor::removeLink(Link *link)
{
    for (int i = 0; i < m_links.size(); ++i) {
        if (m_links.at(i).get() == link) {
            const std::shared_ptr<Link> keep = m_links.takeAt(i);
            for (Side *side : {&keep->client, &keep->relay}) {
                if (side->socket) {
                    disconnect(side->socket, nullptr, this, nullptr);
                    side->socket->deleteLater();
                }
            }
            return;
        }
    }
}

void WireMonitor::pass(Link *link, bool fromClient)
{
    Side &from = fromClient ? link->client : link->relay;
    Side &to = fromClient ? link->relay : link->client;
    if (!from.socket || !to.socket || !from.socket->isReadable() ||
        to.socket->state() != QAbstractSocket::ConnectedState)
        return;
    const QByteArray bytes = from.socket->readAll();
    if (bytes.isEmpty())
        return;
    to.socket->write(bytes);
    to.socket->flush();
    from.reader.feed(bytes);
    if (from.reader.malformed()) {
        violation(QStringLiteral("malformed bytes from %1: %2")
                      .arg(fromClient ? QStringLiteral("client") : QStringLiteral("relay"),
                           from.reader.problem()));
    }
    while (from.reader.hasCommand())
        check(link, fromClient, from.reader.take());
}

void WireMonitor::violation(const QString &text, const Link *link)
{
    QString entry = text;
    if (link)
        entry += QStringLiteral(" after: ") + link->history.join(QStringLiteral(" | "));
    if (m_violations.size() < 20)
        m_violations.append(entry);
}

void WireMonitor::check(Link *link, bool fromClient, const RawCommandReader::Command &command)
{
    ++m_commands;
    Side &from = fromClient ? link->client : link->relay;
    Side &to = fromClient ? link->relay : link->client;
    const QString who = fromClient ? QStringLiteral("client") : QStringLiteral("relay");
    link->history.append(who + QLatin1Char(' ') + QString::fromLatin1(command.header()));
    if (link->history.size() > 12)
        link->history.removeFirst();
    if (from.quit) {
        violation(who + QStringLiteral(" wrote ") + QString::fromLatin1(command.header()) +
                  QStringLiteral(" after QUIT"), link);
        return;
    }
    const QByteArray &name = command.name;
    if (name == "QUIT") {
        from.quit = true;
    } else if (name == "DATA") {
        ++m_dataCommands;
        const quint64 id = command.id();
        if (from.closedIds.contains(id))
            violation(who + QStringLiteral(" wrote DATA on closed id %1").arg(id), link);
        if (++from.unacknowledged[id] > 1)
            violation(who + QStringLiteral(" wrote a second unacknowledged DATA on id %1").arg(id), link);
    } else if (name == "TRANS") {
        const quint64 id = command.id();
        if (from.closedIds.contains(id))
            violation(who + QStringLiteral(" wrote TRANS on closed id %1").arg(id), link);
        int &count = to.unacknowledged[id];
        // A TRANS may cross the other side's close of the connection on the wire.
        if (count <= 0 && !to.closedIds.contains(id))
            violation(who + QStringLiteral(" wrote TRANS without DATA on id %1").arg(id), link);
        else
            --count;
    } else if (name == "DISCONNECT" || name == "DISCONNECTED") {
        const quint64 id = command.id();
        from.closedIds.insert(id);
        from.unacknowledged.remove(id);
        to.unacknowledged.remove(id);
    } else if (name == "CONNECTED") {
        // A new connection under this id: earlier closes of it no longer count.
        const quint64 id = command.id();
        from.closedIds.remove(id);
        to.closedIds.remove(id);
    }
}

void WireMonitor::dropAll()
{
    const QList<std::shared_ptr<Link>> links = m_links;
    for (const auto &link : links) {
        for (Side *side : {&link->client, &link->relay}) {
            if (side->socket)
                side->socket->abort();
        }
    }
}

} // namespace TestSupport
