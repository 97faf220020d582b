#include "relay/bufferedchannel.h"

#include "log/logger.h"

namespace Relay {

namespace {
const Log::Logger kLog("Relay::BufferedChannel");
}

BufferedChannel::Pair BufferedChannel::makePair(int capacity)
{
    kLog.trace() << "static Relay::BufferedChannel::Pair Relay::BufferedChannel::makePair(int)"
                 << capacity;
    std::unique_ptr<BufferedChannel> first(new BufferedChannel(capacity));
    std::unique_ptr<BufferedChannel> second(new BufferedChannel(capacity));
    auto toFirst = std::make_shared<Queue>();
    auto toSecond = std::make_shared<Queue>();
    first->m_receiveQueue = toFirst;
    first->m_sendQueue = toSecond;
    second->m_receiveQueue = toSecond;
    second->m_sendQueue = toFirst;
    first->m_peer = second.get();
    second->m_peer = first.get();
    return Pair(std::move(first), std::move(second));
}

BufferedChannel::BufferedChannel(qint64 capacity) : m_capacity(capacity) {}

BufferedChannel::~BufferedChannel()
{
    // A destroyed end closes its peer, whether or not it was ever opened.
    close();
}

void BufferedChannel::open()
{
    kLog.trace(this) << "void Relay::BufferedChannel::open()";
    if (m_state == kClosed) {
        Q_EMIT closed();
        return;
    }
    if (!m_lastError.isEmpty()) {
        Q_EMIT error(m_lastError);
        return;
    }
    if (m_state == kOpen)
        return;
    m_state = kOpen;
    if (m_peer && m_peer->m_state == kOpen) {
        Q_EMIT connected();
        Q_EMIT m_peer->connected();
    }
}

void BufferedChannel::close()
{
    kLog.trace(this) << "void Relay::BufferedChannel::close()";
    if (m_state == kClosed)
        return;
    m_state = kClosed;
    Q_EMIT closed();
    if (m_peer)
        m_peer->close();
}

bool BufferedChannel::isOpen() const
{
    kLog.trace(this) << "bool Relay::BufferedChannel::isOpen() const";
    return m_state == kOpen;
}

QByteArray BufferedChannel::peek()
{
    kLog.trace(this) << "QByteArray Relay::BufferedChannel::peek()";
    if (!m_receiveQueue || m_receiveQueue->isEmpty())
        return QByteArray();
    return m_receiveQueue->head();
}

QByteArray BufferedChannel::recv()
{
    kLog.trace(this) << "QByteArray Relay::BufferedChannel::recv()";
    if (!m_receiveQueue || m_receiveQueue->isEmpty())
        return QByteArray();
    QByteArray message = m_receiveQueue->dequeue();
    if (m_peer) {
        m_peer->m_pending -= message.size();
        Q_EMIT m_peer->dataSent();
    }
    return message;
}

bool BufferedChannel::send(const QByteArray &data)
{
    kLog.trace(this) << "bool Relay::BufferedChannel::send(const QByteArray&)" << data.size();
    if (m_state != kOpen || data.isEmpty() || !m_sendQueue)
        return false;
    if (m_pending + data.size() > m_capacity) {
        kLog.debug(this) << "Refusing" << data.size() << "bytes:" << m_pending << "of" << m_capacity
                         << "pending";
        return false;
    }
    m_sendQueue->enqueue(data);
    m_pending += data.size();
    if (m_peer)
        Q_EMIT m_peer->newData();
    return true;
}

QString BufferedChannel::lastError() const
{
    kLog.trace(this) << "QString Relay::BufferedChannel::lastError() const";
    return m_lastError;
}

void BufferedChannel::sendError(const QString &message)
{
    kLog.trace(this) << "void Relay::BufferedChannel::sendError(const QString&)" << message;
    if (!m_peer)
        return;
    m_peer->m_lastError = message;
    if (m_peer->m_state == kOpen)
        Q_EMIT m_peer->error(message);
}

} // namespace Relay
