#include "log/loggerdatamap.h"

#include "log/loggerdata.h"

namespace Log {

LoggerDataMap::LoggerDataMap() : m_root(std::make_unique<LoggerData>(QString(), nullptr))
{
    m_table.reserve(1000);
}

LoggerDataMap::~LoggerDataMap()
{
    qDeleteAll(m_table);
}

void LoggerDataMap::put(const QString &name, LoggerData *data)
{
    m_table.insert(name, data);
}

LoggerDataMap &getLoggerDataMap()
{
    static LoggerDataMap *const map = new LoggerDataMap; // reachable for the whole run
    return *map;
}

} // namespace Log
