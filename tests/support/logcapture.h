#pragma once

#include <QMutex>
#include <QStringList>
#include <atomic>

namespace TestSupport {

// Collects every message handed to Qt's message system while it lives (the log lines of the
// code under test included) and passes each on to the handler installed before it. One at a
// time per process.
class LogCapture
{
public:
    LogCapture()
    {
        s_active.store(this);
        m_previous = qInstallMessageHandler(&handler);
    }
    ~LogCapture()
    {
        qInstallMessageHandler(m_previous);
        s_active.store(nullptr);
    }
    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;

    QStringList lines() const
    {
        QMutexLocker locker(&m_mutex);
        return m_lines;
    }
    // The number of captured lines containing the text.
    int count(const QString &text) const { return lines().filter(text).size(); }
    bool contains(const QString &text) const { return count(text) > 0; }

private:
    static void handler(QtMsgType type, const QMessageLogContext &context, const QString &message)
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

    static inline std::atomic<LogCapture *> s_active{nullptr};
    mutable QMutex m_mutex;
    QStringList m_lines;
    QtMessageHandler m_previous = nullptr;
};

} // namespace TestSupport
