#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

namespace Relay {

// One end of a two-way pipe of whole messages. A tunnelled connection travels as a pair of
// channels: one end is bound to a local TCP socket, the other is held by the relay side. Each
// message keeps its boundaries; the pair gives flow control (a byte budget per direction and a
// dataSent() per message taken), and passes on opening, closing and error texts.
class Channel : public QObject
{
    Q_OBJECT
public:
    explicit Channel(QObject *parent = nullptr) : QObject(parent) {}
    ~Channel() override = default;

public Q_SLOTS:
    virtual void open() = 0;
    virtual void close() = 0;
    virtual bool isOpen() const = 0;
    // A copy of the next message to read, left in place; empty when none waits.
    virtual QByteArray peek() = 0;
    // Removes and returns the next message to read; empty when none waits.
    virtual QByteArray recv() = 0;
    // Queues one message for the other end; false, queuing nothing, when refused.
    virtual bool send(const QByteArray &data) = 0;
    virtual QString lastError() const = 0;
    // Hands an error text to the other end.
    virtual void sendError(const QString &message) = 0;

Q_SIGNALS:
    // Both ends are open.
    void connected();
    // A message arrived for this end.
    void newData();
    // The other end took one of the messages this end sent.
    void dataSent();
    void closed();
    void error(const QString &message);
};

} // namespace Relay
