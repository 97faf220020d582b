#pragma once

#include <QtGlobal>

namespace Log {

// Levels in the order of their values. A logger at level L writes the messages of levels 1 to L,
// so FATAL sits between WARN and ERROR by value, not by severity.
enum Level {
    NONE = 0,
    INFO = 1,
    WARN = 2,
    FATAL = 3,
    ERROR = 4,
    DEBUG = 5,
    TRACE = 6,
    ALL = 7,
};

constexpr int kLevelCount = 8;

// The label of a level ("NONE" ... "ALL"); null for a value outside the table.
const char *levelLabel(int level);

// The Qt message type a message of this level is handed over as.
QtMsgType levelMessageType(Level level);

} // namespace Log
