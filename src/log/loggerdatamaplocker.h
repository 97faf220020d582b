#pragma once

#include "log/loggerdatamap.h"

namespace Log {

// Holds the registry's lock for the lifetime of the guard.
class LoggerDataMapLocker
{
public:
    explicit LoggerDataMapLocker(LoggerDataMap &map) : m_map(map) { m_map.lock(); }
    ~LoggerDataMapLocker() { m_map.unlock(); }
    LoggerDataMapLocker(const LoggerDataMapLocker &) = delete;
    LoggerDataMapLocker &operator=(const LoggerDataMapLocker &) = delete;

private:
    LoggerDataMap &m_map;
};

} // namespace Log
