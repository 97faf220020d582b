#include "relay/v2/command.h"

#include "log/logger.h"

#include <QIODevice>

namespace Relay {
namespace V2 {

namespace {
const Log::Logger kLog("Relay::V2::Command");

bool isToken(const QByteArray &bytes)
{
    if (bytes.isEmpty() || bytes.size() > Command::kMaxTokenLength)
        return false;
    for (const char c : bytes) {
        const bool alnum =
            (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
        if (!alnum)
            return false;
    }
    return true;
}
} // namespace

const char *Command::toStr(CommandType type)
{
    switch (type) {
    case CommandType::BEGIN_SESSION:
        return "BEGIN_SESSION";
    case CommandType::CLOSED:
        return "CLOSED";
    case CommandType::CODE:
        return "CODE";
    case CommandType::CONNECT_TO:
        return "CONNECT_TO";
    case CommandType::CONNECTED:
        return "CONNECTED";
    case CommandType::CONNECTION:
        return "CONNECTION";
    case CommandType::DATA:
        return "DATA";
    case CommandType::DISCONNECT:
        return "DISCONNECT";
    case CommandType::DISCONNECTED:
        return "DISCONNECTED";
    case CommandType::ERROR:
        return "ERROR";
    case CommandType::FAIL:
        return "FAIL";
    case CommandType::GET_CLIENTS:
        return "GET_CLIENTS";
    case CommandType::GET_CONNECTIONS:
        return "GET_CONNECTIONS";
    case CommandType::HELLO:
        return "HELLO";
    case CommandType::KEEP_ALIVE:
        return "KEEP_ALIVE";
    case CommandType::KEEP:
        return "KEEP";
    case CommandType::OK:
        return "OK";
    case CommandType::PEER_ERROR:
        return "PEER_ERROR";
    case CommandType::QUIT:
        return "QUIT";
    case CommandType::TRANS:
        return "TRANS";
    case CommandType::WATCH:
        return "WATCH";
    }
    return "";
}

bool Command::hasPayload(CommandType type)
{
    return type == CommandType::DATA || type == CommandType::ERROR || type == CommandType::FAIL ||
           type == CommandType::PEER_ERROR;
}

bool Command::build(QByteArray *header, QByteArray *payload) const
{
    const bool withPayload = hasPayload(m_type);
    const int count = m_arguments.size();
    if (withPayload) {
        // [.., length, .., payload]: FAIL has its length first, the others second to last.
        if (count < 2 || !std::holds_alternative<QByteArray>(m_arguments.last()))
            return false;
        const QByteArray &bytes = std::get<QByteArray>(m_arguments.last());
        const int lengthIndex = m_type == CommandType::FAIL ? 0 : count - 2;
        const quint64 *length = std::get_if<quint64>(&m_arguments.at(lengthIndex));
        if (bytes.size() > kMaxPayloadLength || !length || *length != quint64(bytes.size()))
            return false;
        *payload = bytes;
    }

    header->reserve(64);
    header->append(toStr(m_type));
    if (count > 0)
        header->append(':');
    const int headerCount = withPayload ? count - 1 : count;
    for (int i = 0; i < headerCount; ++i) {
        header->append(' ');
        const Argument &argument = m_arguments.at(i);
        if (const quint64 *number = std::get_if<quint64>(&argument)) {
            header->append(QByteArray::number(*number));
        } else if (const bool *flag = std::get_if<bool>(&argument)) {
            header->append(*flag ? "OK" : "FAIL");
        } else {
            const QByteArray &token = std::get<QByteArray>(argument);
            if (!isToken(token))
                return false;
            header->append(token);
        }
    }
    header->append('\n');
    return true;
}

bool Command::serialize(QIODevice *device) const
{
    QByteArray header;
    QByteArray payload;
    if (!device || !build(&header, &payload)) {
        kLog.error() << "Refusing to write a malformed" << toStr(m_type) << "command";
        return false;
    }
    device->write(header);
    if (!payload.isEmpty())
        device->write(payload);
    return true;
}

QByteArray Command::toWire() const
{
    QByteArray header;
    QByteArray payload;
    if (!build(&header, &payload))
        return QByteArray();
    return header + payload;
}

} // namespace V2
} // namespace Relay
