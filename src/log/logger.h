#pragma once

#include "log/level.h"
#include "log/out.h"

#include <QString>

namespace Log {

class LoggerData;

// A named logger: a cheap handle on one node of the logger tree. Each operation returns a
// message stream that is enabled when the node's level admits the message.
class Logger
{
public:
    explicit Logger(const QString &name);
    explicit Logger(const char *name) : Logger(QString::fromLatin1(name)) {}

    Out trace(const void *object = nullptr) const { return log(TRACE, object); }
    Out debug(const void *object = nullptr) const { return log(DEBUG, object); }
    Out info(const void *object = nullptr) const { return log(INFO, object); }
    Out warn(const void *object = nullptr) const { return log(WARN, object); }
    Out error(const void *object = nullptr) const { return log(ERROR, object); }

    bool isTrace() const;
    void setLevel(Level level) const;
    QString name() const;

    // A message of the given level with its header written, or a disabled one.
    Out log(Level level, const void *object) const;

private:
    LoggerData *m_data;
};

} // namespace Log
