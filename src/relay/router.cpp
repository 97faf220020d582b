#include "relay/router.h"

#include "log/logger.h"
#include "relay/bufferedchannel.h"
#include "relay/connection.h"
#include "relay/service.h"

#include <QMetaObject>

namespace Relay {

namespace {
const Log::Logger kLog("Relay::Router");

// Calls a slot by name later in this thread's loop. A receiver that is gone by then gets
// nothing, and the channel handed with the call is closed instead of left behind.
void queueChannelCall(QObject *context, QObject *receiver, const char *slot, quint64 sessionId,
                      const QByteArray &serviceId, Relay::Channel *channel)
{
    QPointer<QObject> target(receiver);
    QPointer<Relay::Channel> guardedChannel(channel);
    QMetaObject::invokeMethod(
        context,
        [target, slot, sessionId, serviceId, guardedChannel] {
            if (!guardedChannel)
                return;
            if (!target) {
                guardedChannel->close();
                guardedChannel->deleteLater();
                return;
            }
            QMetaObject::invokeMethod(target, slot, Qt::DirectConnection,
                                      Q_ARG(qulonglong, sessionId), Q_ARG(QByteArray, serviceId),
                                      Q_ARG(Relay::Channel *, guardedChannel.data()));
        },
        Qt::QueuedConnection);
}
} // namespace

Router::Router(QObject *parent) : QObject(parent)
{
    qRegisterMetaType<Relay::Channel *>("Relay::Channel*");
}

Router::~Router()
{
    const QList<Relay::Connection *> connections = m_contexts.keys();
    for (Relay::Connection *connection : connections)
        removeConnection(connection);
}

void Router::setLocalService(Relay::Service *service)
{
    kLog.trace(this) << "void Relay::Router::setLocalService(Relay::Service*)" << service;
    m_localService = service;
}

void Router::addConnection(Relay::Connection *connection)
{
    kLog.trace(this) << "void Relay::Router::addConnection(Relay::Connection*)" << connection;
    if (!connection || m_contexts.contains(connection))
        return;
    m_contexts.insert(connection, ConnectionContext());
    connect(connection, &Connection::listen, this, &Router::onListen, Qt::QueuedConnection);
    connect(connection, &Connection::newConnection, this, &Router::onNewConnection,
            Qt::QueuedConnection);
    connect(connection, &Connection::newLocalConnection, this, &Router::onNewLocalConnection,
            Qt::QueuedConnection);
    connect(connection, &Connection::watch, this, &Router::onWatch, Qt::QueuedConnection);
    connect(connection, &Connection::closed, this, &Router::onClosed);
}

void Router::removeConnection(Relay::Connection *connection)
{
    kLog.trace(this) << "void Relay::Router::removeConnection(Relay::Connection*)" << connection;
    const auto it = m_contexts.find(connection);
    if (it == m_contexts.end())
        return;
    disconnect(connection, &Connection::listen, this, &Router::onListen);
    disconnect(connection, &Connection::newConnection, this, &Router::onNewConnection);
    disconnect(connection, &Connection::newLocalConnection, this, &Router::onNewLocalConnection);
    disconnect(connection, &Connection::watch, this, &Router::onWatch);
    disconnect(connection, &Connection::closed, this, &Router::onClosed);
    const ConnectionContext context = it.value();
    m_contexts.erase(it);
    for (quint64 sessionId : context.ownSessions)
        m_sessions.remove(sessionId);
    for (quint64 sessionId : context.watchedSessions) {
        Relay::Connection *owner = m_sessions.value(sessionId);
        if (owner && m_contexts.contains(owner))
            m_contexts[owner].watchers.remove(qMakePair(sessionId, connection));
    }
    for (const auto &watcher : context.watchers) {
        if (m_contexts.contains(watcher.second)) {
            m_contexts[watcher.second].watchedSessions.remove(watcher.first);
            queueWatchedSessionState(watcher.second, watcher.first, false);
        }
    }
}

void Router::onListen()
{
    auto *connection = qobject_cast<Relay::Connection *>(sender());
    if (!connection || !m_contexts.contains(connection))
        return;
    const quint64 sessionId = ++m_lastSessionId;
    m_sessions.insert(sessionId, connection);
    m_contexts[connection].ownSessions.append(sessionId);
    kLog.debug(this) << "Session" << sessionId << "belongs to" << connection;
    QPointer<Relay::Connection> target(connection);
    QMetaObject::invokeMethod(
        this,
        [target, sessionId] {
            if (target)
                QMetaObject::invokeMethod(target, "listening", Qt::DirectConnection,
                                          Q_ARG(qulonglong, sessionId));
        },
        Qt::QueuedConnection);
}

void Router::onNewConnection(qulonglong sessionId, QByteArray serviceId)
{
    auto *connection = qobject_cast<Relay::Connection *>(sender());
    if (!connection || !m_contexts.contains(connection))
        return;
    Relay::Service *target = sessionId == 1 ? m_localService.data() : m_sessions.value(sessionId);
    makeConnection(connection, target, sessionId, serviceId);
}

void Router::onNewLocalConnection(qulonglong sessionId, QByteArray serviceId)
{
    auto *connection = qobject_cast<Relay::Connection *>(sender());
    if (!connection || !m_contexts.contains(connection))
        return;
    makeConnection(connection, m_localService.data(), sessionId, serviceId);
}

void Router::makeConnection(Relay::Connection *requester, Relay::Service *target,
                            quint64 sessionId, const QByteArray &serviceId)
{
    auto pair = BufferedChannel::makePair(kChannelCapacity);
    Relay::Channel *first = pair.first.release();
    Relay::Channel *second = pair.second.release();
    queueChannelCall(this, requester, "accept", sessionId, serviceId, first);
    if (!target) {
        kLog.debug(this) << "No owner for session" << sessionId;
        second->sendError(QStringLiteral("Session not found"));
        // Gone only after the requester has taken its end, which then refuses to open with the
        // error rather than merely finding the pair closed.
        QPointer<Relay::Channel> guarded(second);
        QMetaObject::invokeMethod(
            this, [guarded] { delete guarded.data(); }, Qt::QueuedConnection);
        return;
    }
    queueChannelCall(this, target, "handleConnection", sessionId, serviceId, second);
}

void Router::onWatch(qulonglong sessionId)
{
    auto *connection = qobject_cast<Relay::Connection *>(sender());
    if (!connection || !m_contexts.contains(connection))
        return;
    Relay::Connection *owner = m_sessions.value(sessionId);
    if (owner) {
        m_contexts[connection].watchedSessions.insert(sessionId);
        m_contexts[owner].watchers.insert(qMakePair(quint64(sessionId), connection));
    }
    queueWatchedSessionState(connection, sessionId, owner != nullptr);
}

void Router::onClosed()
{
    if (auto *connection = qobject_cast<Relay::Connection *>(sender()))
        removeConnection(connection);
}

void Router::queueWatchedSessionState(Relay::Connection *connection, quint64 sessionId,
                                      bool isOpen)
{
    QPointer<Relay::Connection> target(connection);
    QMetaObject::invokeMethod(
        this,
        [target, sessionId, isOpen] {
            if (target)
                QMetaObject::invokeMethod(target, "watchedSessionState", Qt::DirectConnection,
                                          Q_ARG(qulonglong, sessionId), Q_ARG(bool, isOpen));
        },
        Qt::QueuedConnection);
}

} // namespace Relay
