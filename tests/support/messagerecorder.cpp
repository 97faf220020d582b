#include "support/messagerecorder.h"

namespace TestSupport {

static MessageRecorder *s_recorder = nullptr;

MessageRecorder::MessageRecorder()
{
    Q_ASSERT(!s_recorder);
    s_recorder = this;
    m_previous = qInstallMessageHandler(
        [](QtMsgType type, const QMessageLogContext &context, const QString &text) {
            if (MessageRecorder *recorder = s_recorder) {
                QMutexLocker locker(&recorder->m_lock);
                recorder->m_messages.append(text);
                locker.unlock();
                if (recorder->m_previous)
                    recorder->m_previous(type, context, text);
            }
        });
}

MessageRecorder::~MessageRecorder()
{
    qInstallMessageHandler(m_previous);
    s_recorder = nullptr;
}

QStringList MessageRecorder::messages() const
{
    QMutexLocker locker(&m_lock);
    return m_messages;
}

QStringList MessageRecorder::matching(const QStringList &texts) const
{
    QStringList result = messages();
    for (const QString &text : texts)
        result = result.filter(text);
    return result;
}

void MessageRecorder::clear()
{
    QMutexLocker locker(&m_lock);
    m_messages.clear();
}

} // namespace TestSupport
