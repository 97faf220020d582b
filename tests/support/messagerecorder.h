#pragma once

#include <QMutex>
#include <QStringList>

namespace TestSupport {

// Records every message handed to Qt's message system while it lives (log lines included),
// and passes each on to the handler that was installed before it. One at a time.
class MessageRecorder
{
public:
    MessageRecorder();
    ~MessageRecorder();
    Q_DISABLE_COPY(MessageRecorder)

    QStringList messages() const;
    // The messages that contain every one of the given texts.
    QStringList matching(const QStringList &texts) const;
    int count(const QStringList &texts) const { return matching(texts).size(); }
    void clear();

private:
    mutable QMutex m_lock;
    QStringList m_messages;
    QtMessageHandler m_previous;
};

} // namespace TestSupport
