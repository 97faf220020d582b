#pragma once

#include "relay/v2/protocolparser.h"

#include <QHash>
#include <QHostAddress>
#include <QObject>
#include <QSet>
#include <QStringList>
#include <QTcpServer>
#include <list>

class QTcpSocket;

namespace TestSupport {

// A TCP tap between relay V2 clients and their relay: it passes the bytes of each link both ways
// unchanged and reads what each side writes, reporting a second DATA on a connection id before
// the first one's TRANS, a TRANS that answers no DATA, DATA on an id its sender has closed, and
// bytes that do not parse. It also keeps the ERRORs that either side sent.
class WireMonitor : public QObject
{
    Q_OBJECT
public:
    ~WireMonitor() override;

    // Listens on the address; each link accepted there goes on to the relay at the upstream end.
    bool listen(const QHostAddress &address, const QHostAddress &upstream, quint16 upstreamPort);
    quint16 port() const { return m_server.serverPort(); }
    QStringList violations() const { return m_violations; }
    // Each ERROR seen, as "<side>: <connection id> <text>".
    QStringList errors() const { return m_errors; }

private:
    // What one side of a link wrote.
    struct Side
    {
        explicit Side(const char *name) : name(name) {}
        const char *name;
        QTcpSocket *socket = nullptr; // a child of the monitor
        Relay::V2::ProtocolParser parser;
        QHash<quint64, int> unacknowledged; // DATA not yet answered by TRANS
        QSet<quint64> closed;               // ids this side ended
    };
    struct Link
    {
        Side client{"client"}, relay{"relay"};
    };
    void pass(Side &from, Side &to);
    void check(Side &from, Side &to, const Relay::V2::Command &command);
    void violation(const Side &from, const QString &what);

    QTcpServer m_server;
    std::list<Link> m_links;
    QStringList m_violations;
    QStringList m_errors;
};

} // namespace TestSupport
