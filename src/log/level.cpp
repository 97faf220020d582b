#include "log/level.h"

namespace Log {

namespace {
const char *const kLabels[kLevelCount] = {"NONE",  "INFO",  "WARN",  "FATAL",
                                          "ERROR", "DEBUG", "TRACE", "ALL"};
}

const char *levelLabel(int level)
{
    return level >= 0 && level < kLevelCount ? kLabels[level] : nullptr;
}

QtMsgType levelMessageType(Level level)
{
    switch (level) {
    case WARN:
        return QtWarningMsg;
    case FATAL:
        return QtFatalMsg;
    case ERROR:
        return QtCriticalMsg;
    default:
        return QtDebugMsg;
    }
}

} // namespace Log
