#pragma once

#include "log/level.h"

#include <QList>
#include <QString>
#include <atomic>

namespace Log {

// One node of the logger tree. Nodes live until the process ends; levels flow from a node
// to all of its descendants when set.
class LoggerData
{
public:
    LoggerData(const QString &name, LoggerData *parent);
    LoggerData(const LoggerData &) = delete;
    LoggerData &operator=(const LoggerData &) = delete;

    // The node of a name, created together with its missing ancestors on first use.
    static LoggerData *getLoggerData(const QString &name);
    static LoggerData *getRootLoggerData();

    void setLevel(Level level);
    bool isEnabled(Level level) const;
    bool isInfo() const { return isEnabled(INFO); }
    bool isWarn() const { return isEnabled(WARN); }
    bool isError() const { return isEnabled(ERROR); }
    bool isDebug() const { return isEnabled(DEBUG); }
    bool isTrace() const { return isEnabled(TRACE); }
    QString cid() const { return m_name; }
    const QString &name() const { return m_name; }

private:
    const QString m_name;
    // Flags of levels 1 to 6 (info, warn, fatal, error, debug, trace). Read without a lock from
    // every logging thread, hence atomic.
    std::atomic<bool> m_enabled[6];
    QList<LoggerData *> m_children;
};

} // namespace Log
