#include "support/messagerecorder.h"

#include <QMutexLocker>

namespace TestSupport {

namespace {
MessageRecorder *s_recorder = nullptr;
}

MessageRecorder::MessageRecorder()
{
    Q_ASSERT(!s_recorder);
    s_recorder = this;
    m_previous = qInstallMessageHandler(&MessageRecorder::handler);
}

MessageRecorder::~MessageRecorder()
{
    qInstallMessageHandler(m_previous);
    s_recorder = nullptr;
}

void MessageRecorder::handler(QtMsgType type, const QMessageLogContext &context,
                              const QString &text)
{
    MessageRecorder *recorder = s_recorder;
    if (!recorder)
        return;
    {
        QMutexLocker locker(&recorder->m_lock);
        recorder->m_messages.append(text);
    }
    if (recorder->m_previous)
        recorder->m_previous(type, context, text);
}

QStringList MessageRecorder::messages() const
{
    QMutexLocker locker(&m_lock);
    return m_messages;
}

QStringList MessageRecorder::matching(const QStringList &texts) const
{
    QStringList result;
    for (const QString &message : messages()) {
        bool all = true;
        for (const QString &text : texts)
            all = all && message.contains(text);
        if (all)
            result.append(message);
    }
    return result;
}

void MessageRecorder::clear()
{
    QMutexLocker locker(&m_lock);
    m_messages.clear();
}

} // namespace TestSupport
