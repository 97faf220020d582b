#pragma once

#include <QMutex>
#include <QString>
#include <QStringList>

namespace TestSupport {

// Collects every message handed to Qt's message system while it lives (the log lines of the
// code under test included) and passes each on to the handler that was installed before it.
// One at a time per process.
class LogCapture
{
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;

    QStringList lines() const;
    // The number of captured lines containing the text.
    int count(const QString &text) const;
    bool contains(const QString &text) const { return count(text) > 0; }
    void clear();

private:
    static void handler(QtMsgType type, const QMessageLogContext &context, const QString &message);

    mutable QMutex m_mutex;
    QStringList m_lines;
    QtMessageHandler m_previous = nullptr;
};

} // namespace TestSupport
