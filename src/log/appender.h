#pragma once

#include <QDate>
#include <QMutex>
#include <QRecursiveMutex>
#include <QString>
#include <QStringList>

namespace Log {

// The back end of the logging library: Qt's message handler, writing every message as one line
// into a daily file of the logs folder and echoing it to the console. Keeps the folder within a
// total size and a number of days.
class Appender
{
public:
    Appender();
    ~Appender();
    Appender(const Appender &) = delete;
    Appender &operator=(const Appender &) = delete;

    // The process-wide appender, built on first use (at the latest during static initialisation).
    static Appender *instance();

    void installHandler();
    void write(QtMsgType type, const QMessageLogContext &context, const QString &message);

    void setLogsDirPath(const QString &path);
    QString logsDirPath();
    void setLogFileNamePrefix(const QString &prefix);
    void setMaxLogSize(qint64 bytes);
    void setLogThreshold(qint64 bytes);
    void setDaysLimit(quint16 days);

    QString logFileNamePattern() const;
    QString logFileName() const;
    qint64 calculateLogSize();
    qint64 runningTotal() const;

    void clearLogs();
    void fixLogSize();

private:
    QStringList logFiles();

    QDate m_lastWriteDate;
    mutable QRecursiveMutex m_lock;
    QString m_logsDirPath;
    QString m_prefix;
    qint64 m_total = 0;
    qint64 m_maxSize = 10485760;
    qint64 m_threshold = 1048576;
    quint16 m_daysLimit = 7;
};

Appender *appender();

// The installed Qt message handler.
void qt_log_write(QtMsgType type, const QMessageLogContext &context, const QString &message);

} // namespace Log
