#pragma once

#include <QHash>
#include <QRecursiveMutex>
#include <QString>
#include <memory>

namespace Log {

class LoggerData;

// The process-wide registry of logger nodes by full name. The root is not in the table.
class LoggerDataMap
{
public:
    LoggerDataMap();
    ~LoggerDataMap();
    LoggerDataMap(const LoggerDataMap &) = delete;
    LoggerDataMap &operator=(const LoggerDataMap &) = delete;

    LoggerData *getRoot() const { return m_root.get(); }
    LoggerData *get(const QString &name) const { return m_table.value(name); }
    void put(const QString &name, LoggerData *data);
    void lock() { m_lock.lock(); }
    void unlock() { m_lock.unlock(); }

private:
    std::unique_ptr<LoggerData> m_root;
    QHash<QString, LoggerData *> m_table;
    QRecursiveMutex m_lock;
};

// The registry, created on first use. It is never destroyed: loggers are used by static objects
// of other files during their destruction, after which a destroyed registry would be read.
LoggerDataMap &getLoggerDataMap();

} // namespace Log
