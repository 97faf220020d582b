#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QObject>
#include <QPair>
#include <QPointer>
#include <QSet>

namespace Relay {

class Channel;
class Connection;
class Service;

// Joins relay connections to one another and to a local service in one process: hands out
// session ids, pairs a request to connect into a session with the session's owner, and tells
// watchers when a session goes away. Session id 1 stands for the local service.
class Router : public QObject
{
    Q_OBJECT
public:
    struct ConnectionContext {
        QList<quint64> ownSessions;
        QSet<quint64> watchedSessions;
        QSet<QPair<quint64, Relay::Connection *>> watchers;
    };

    static constexpr int kChannelCapacity = 262144;

    explicit Router(QObject *parent = nullptr);
    ~Router() override;

    void setLocalService(Relay::Service *service);
    void addConnection(Relay::Connection *connection);
    void removeConnection(Relay::Connection *connection);

    int connectionCount() const { return m_contexts.size(); }
    // The connection that owns a session, or null.
    Relay::Connection *sessionOwner(quint64 sessionId) const { return m_sessions.value(sessionId); }

private Q_SLOTS:
    void onListen();
    void onNewConnection(qulonglong sessionId, QByteArray serviceId);
    void onNewLocalConnection(qulonglong sessionId, QByteArray serviceId);
    void onWatch(qulonglong sessionId);
    void onClosed();

private:
    void makeConnection(Relay::Connection *requester, Relay::Service *target, quint64 sessionId,
                        const QByteArray &serviceId);
    void queueWatchedSessionState(Relay::Connection *connection, quint64 sessionId, bool isOpen);

    quint64 m_lastSessionId = 1;
    QHash<Relay::Connection *, ConnectionContext> m_contexts;
    QHash<quint64, Relay::Connection *> m_sessions;
    QPointer<Relay::Service> m_localService;
};

} // namespace Relay
