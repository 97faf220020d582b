#include "support/rawcommandreader.h"

namespace TestSupport {

namespace {

bool isDigits(const QByteArray &text)
{
    if (text.isEmpty())
        return false;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
    }
    return true;
}

bool isToken(const QByteArray &text)
{
    if (text.isEmpty())
        return false;
    for (char c : text) {
        const bool ok = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
        if (!ok)
            return false;
    }
    return true;
}

} // namespace

quint64 RawCommandReader::Command::number(int index) const
{
    return index < args.size() ? args.at(index).toULongLong() : 0;
}

QByteArray RawCommandReader::Command::header() const
{
    QByteArray line = name;
    if (!args.isEmpty())
        line += ": " + args.join(' ');
    return line;
}

bool RawCommandReader::isKnownName(const QByteArray &name)
{
    static const QList<QByteArray> names = {
        "BEGIN_SESSION", "CLOSED", "CONNECT_TO", "CONNECTED", "CONNECTION", "DATA",
        "DISCONNECT", "DISCONNECTED", "ERROR", "FAIL", "HELLO", "KEEP_ALIVE", "KEEP", "OK",
        "PEER_ERROR", "QUIT", "TRANS", "WATCH"};
    return names.contains(name);
}

int RawCommandReader::lengthIndex(const QByteArray &name, int argumentCount)
{
    if (name == "FAIL")
        return argumentCount > 0 ? 0 : -1;
    if (name == "DATA" || name == "ERROR" || name == "PEER_ERROR")
        return argumentCount > 0 ? argumentCount - 1 : -1;
    return -1;
}

void RawCommandReader::feed(const QByteArray &bytes)
{
    if (malformed())
        return;
    if (m_offset > 0 && m_offset == m_buffer.size()) {
        m_buffer.clear();
        m_offset = 0;
    }
    m_buffer += bytes;
    while (parseOne()) {
    }
    if (m_offset > 65536) {
        m_buffer.remove(0, m_offset);
        m_offset = 0;
    }
}

bool RawCommandReader::parseOne()
{
    if (malformed() || m_offset >= m_buffer.size())
        return false;
    const int end = m_buffer.indexOf('\n', m_offset);
    if (end < 0)
        return false;
    const QByteArray line = m_buffer.mid(m_offset, end - m_offset);
    if (line.isEmpty()) {
        m_offset = end + 1;
        return true;
    }
    if (line.contains('\r') || line.contains('\t')) {
        m_problem = QStringLiteral("control byte in line: ") + QString::fromLatin1(line);
        return false;
    }
    Command command;
    const int colon = line.indexOf(':');
    command.name = colon < 0 ? line : line.left(colon);
    if (!isKnownName(command.name)) {
        m_problem = QStringLiteral("unknown command: ") + QString::fromLatin1(line);
        return false;
    }
    if (colon >= 0) {
        const QByteArray rest = line.mid(colon + 1);
        if (!rest.startsWith(' ') || rest.size() < 2) {
            m_problem = QStringLiteral("no blank after colon: ") + QString::fromLatin1(line);
            return false;
        }
        command.args = rest.mid(1).split(' ');
        for (const QByteArray &arg : qAsConst(command.args)) {
            if (!isDigits(arg) && !isToken(arg)) {
                m_problem = QStringLiteral("bad argument: ") + QString::fromLatin1(line);
                return false;
            }
        }
    }
    const int lengthAt = lengthIndex(command.name, command.args.size());
    if (lengthAt >= 0) {
        if (!isDigits(command.args.at(lengthAt))) {
            m_problem = QStringLiteral("bad length: ") + QString::fromLatin1(line);
            return false;
        }
        const qint64 length = command.args.at(lengthAt).toLongLong();
        if (m_buffer.size() - (end + 1) < length)
            return false; // wait for the rest of the payload
        command.hasPayload = true;
        command.payload = m_buffer.mid(end + 1, int(length));
        m_offset = end + 1 + int(length);
    } else {
        m_offset = end + 1;
    }
    m_ready.append(command);
    return true;
}

} // namespace TestSupport
