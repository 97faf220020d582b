#include "support/logcapture.h"

#include <atomic>

namespace TestSupport {

namespace {
std::atomic<LogCapture *> s_active{nullptr};
}

LogCapture::LogCapture()
{
    s_active.store(this);
    m_previous = qInstallMessageHandler(&LogCapture::handler);
}

LogCapture::~LogCapture()
{
    qInstallMessageHandler(m_previous);
    s_active.store(nullptr);
}

QStringList LogCapture::lines() const
{
    QMutexLocker locker(&m_mutex);
    return m_lines;
}

int LogCapture::count(const QString &text) const
{
    QMutexLocker locker(&m_mutex);
    int result = 0;
    for (const QString &line : m_lines) {
        if (line.contains(text))
            ++result;
    }
    return result;
}

void LogCapture::clear()
{
    QMutexLocker locker(&m_mutex);
    m_lines.clear();
}

void LogCapture::handler(QtMsgType type, const QMessageLogContext &context,
                         const QString &message)
{
    LogCapture *active = s_active.load();
    if (!active)
        return;
    {
        QMutexLocker locker(&active->m_mutex);
        active->m_lines.append(message);
    }
    if (active->m_previous)
        active->m_previous(type, context, message);
}

} // namespace TestSupport
