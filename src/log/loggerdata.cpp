#include "log/loggerdata.h"

#include "log/loggerdatamap.h"
#include "log/loggerdatamaplocker.h"

#include <QRegularExpression>

namespace Log {

LoggerData::LoggerData(const QString &name, LoggerData *parent) : m_name(name)
{
    for (int i = 0; i < 6; ++i) {
        // Without a parent a node starts at ERROR: info, warn, fatal and error on.
        const bool on = parent ? parent->m_enabled[i].load(std::memory_order_relaxed) : i < 4;
        m_enabled[i].store(on, std::memory_order_relaxed);
    }
    if (parent)
        parent->m_children.append(this);
}

LoggerData *LoggerData::getLoggerData(const QString &name)
{
    LoggerDataMap &map = getLoggerDataMap();
    LoggerDataMapLocker locker(map);
    if (LoggerData *existing = map.get(name))
        return existing;
    if (name.simplified().isEmpty())
        return map.getRoot();

    static const QRegularExpression separator(QStringLiteral("\\(|<|::"));
    // The last match, searched backwards from the end of the name.
    int index = -1;
    for (auto it = separator.globalMatch(name); it.hasNext();)
        index = it.next().capturedStart();

    LoggerData *parent = index < 0 ? map.getRoot() : getLoggerData(name.left(index));
    auto *node = new LoggerData(name, parent); // owned by the map
    map.put(name, node);
    return node;
}

LoggerData *LoggerData::getRootLoggerData()
{
    LoggerDataMap &map = getLoggerDataMap();
    LoggerDataMapLocker locker(map);
    return map.getRoot();
}

void LoggerData::setLevel(Level level)
{
    for (int i = 0; i < 6; ++i)
        m_enabled[i].store(level > i, std::memory_order_relaxed);
    for (LoggerData *child : qAsConst(m_children))
        child->setLevel(level);
}

bool LoggerData::isEnabled(Level level) const
{
    if (level < INFO || level > TRACE)
        return false;
    return m_enabled[level - 1].load(std::memory_order_relaxed);
}

} // namespace Log
