#include "log/logger.h"

#include "log/loggerdata.h"

#include <QDateTime>
#include <QThread>

namespace Log {

Logger::Logger(const QString &name) : m_data(LoggerData::getLoggerData(name)) {}

bool Logger::isTrace() const
{
    return m_data->isTrace();
}

void Logger::setLevel(Level level) const
{
    m_data->setLevel(level);
}

QString Logger::name() const
{
    return m_data->cid();
}

Out Logger::log(Level level, const void *object) const
{
    if (!m_data->isEnabled(level))
        return Out();
    Out out(true, levelMessageType(level));
    QDebug &stream = *out.stream();
    // "<ISO date>: <LABEL> <thread> [ <name>(<object>) ]" then the items, one blank apart.
    stream.nospace().noquote()
        << QDateTime::currentDateTime().toString(Qt::ISODate) << ": " << levelLabel(level) << ' '
        << static_cast<const void *>(QThread::currentThreadId()) << " [ " << m_data->name();
    if (object)
        stream << '(' << object << ')';
    stream << " ]";
    stream.quote();
    stream.space();
    return out;
}

} // namespace Log
