#pragma once

#include "support/rawcommandreader.h"

#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QStringList>
#include <QTcpServer>
#include <memory>

class QTcpSocket;

namespace TestSupport {

// A TCP tap between a relay V2 client and its relay: it passes bytes both ways unchanged and
// checks what each side writes: at most one unacknowledged DATA per connection id and
// direction, nothing on a connection id after its sender closed it, and nothing after QUIT.
class WireMonitor : public QObject
{
    Q_OBJECT
public:
    WireMonitor(const QHostAddress &upstreamAddress, quint16 upstreamPort,
                QObject *parent = nullptr);
    ~WireMonitor() override;

    bool listen(const QHostAddress &address);
    quint16 port() const { return m_server.serverPort(); }
    QHostAddress address() const { return m_server.serverAddress(); }

    QStringList violations() const { return m_violations; }
    // DATA commands seen, both directions together.
    qint64 dataCommands() const { return m_dataCommands; }
    qint64 commands() const { return m_commands; }
    int linkCount() const { return m_links.size(); }
    // Cuts every tapped link at once on both sides (a lost relay).
    void dropAll();

private:
    struct Side {
        QPointer<QTcpSocket> socket;
        RawCommandReader reader;
        QHash<quint64, int> unacknowledged; // DATA written by this side, not yet answered
        QSet<quint64> closedIds;            // ids this side ended
        bool quit = false;
    };
    struct Link {
        Side client;
        Side relay;
        QStringList history; // the last commands, for the report of a violation
    };
    void onNewConnection();
    void pass(Link *link, bool fromClient);
    void check(Link *link, bool fromClient, const RawCommandReader::Command &command);
    void violation(const QString &text, const Link *link = nullptr);
    void removeLink(Link *link);

    QHostAddress m_upstreamAddress;
    quint16 m_upstreamPort;
    QTcpServer m_server;
    QList<std::shared_ptr<Link>> m_links;
    QStringList m_violations;
    qint64 m_dataCommands = 0;
    qint64 m_commands = 0;
};

} // namespace TestSupport
