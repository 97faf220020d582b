#pragma once

#include "relay/channel.h"

#include <QPointer>
#include <QQueue>
#include <memory>
#include <utility>

namespace Relay {

// The in-memory channel: two ends made together by makePair(), each sending into the queue the
// other reads. An end may have at most `capacity` bytes sent and not yet taken by the other.
//
// An end is new, open or closed. Closing either end closes both, including an end that was
// never opened, and a closed end stays closed: open() on it repeats closed() so that whoever
// opens it learns the pair is gone. recv() and peek() still give what is queued after the close.
// An empty message is refused by send(), since it would look like an empty queue.
class BufferedChannel : public Channel
{
    Q_OBJECT
public:
    using Pair = std::pair<std::unique_ptr<BufferedChannel>, std::unique_ptr<BufferedChannel>>;

    // Two connected ends, both closed and without a QObject parent; the caller owns them.
    static Pair makePair(int capacity);

    ~BufferedChannel() override;

    void open() override;
    void close() override;
    bool isOpen() const override;
    QByteArray peek() override;
    QByteArray recv() override;
    bool send(const QByteArray &data) override;
    QString lastError() const override;
    void sendError(const QString &message) override;

    // Bytes this end has sent that the other end has not taken yet.
    qint64 pending() const { return m_pending; }
    qint64 capacity() const { return m_capacity; }

private:
    using Queue = QQueue<QByteArray>;
    enum State { kNew, kOpen, kClosed };

    explicit BufferedChannel(qint64 capacity);

    State m_state = kNew;
    QString m_lastError;
    std::shared_ptr<Queue> m_receiveQueue;
    std::shared_ptr<Queue> m_sendQueue;
    qint64 m_capacity;
    qint64 m_pending = 0;
    QPointer<BufferedChannel> m_peer;
};

} // namespace Relay
