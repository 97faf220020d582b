#include "log/out.h"

namespace Log {

Out::Out(bool enabled, QtMsgType type)
{
    if (enabled)
        m_data = new OutSharedData(type);
}

Out &Out::space()
{
    if (m_data)
        m_data->stream.space();
    return *this;
}

Out &Out::nospace()
{
    if (m_data)
        m_data->stream.nospace();
    return *this;
}

Out &Out::maybeSpace()
{
    if (m_data)
        m_data->stream.maybeSpace();
    return *this;
}

void Out::writeQuoted(QDebug &stream, const QString &text)
{
    // Between double quotes and unescaped, so a logged value reads as it is.
    const bool spaced = stream.autoInsertSpaces();
    stream.nospace().noquote() << '"' << text << '"';
    stream.quote();
    if (spaced)
        stream.space();
}

} // namespace Log
