#pragma once

#include "relay/v2/commandtype.h"

#include <QByteArray>
#include <QVector>
#include <variant>

class QIODevice;

namespace Relay {
namespace V2 {

// One relay V2 command as a plain value: its type and its ordered arguments.
//
// Two forms exist. The writer's form, which `serialize` takes, holds for the payload commands
// (DATA, ERROR, FAIL, PEER_ERROR) the payload length as a number where it stands in the header
// line and the payload as the last argument:
//     DATA [connection id, length, payload]    FAIL [length, (request id,) payload]
// The reader's form, which the parser produces, leaves the length out:
//     DATA [connection id, payload]            FAIL [(request id,) payload]
class Command
{
public:
    // Numbers are unsigned 64-bit (write `quint64(2)` for a literal), tokens and payloads are
    // byte strings, flags (OK/FAIL) are booleans.
    using Argument = std::variant<quint64, QByteArray, bool>;
    using Arguments = QVector<Argument>;
    // A number argument from any unsigned count or id, never taken for a flag.
    static Argument number(quint64 value) { return Argument(value); }

    // Longest payload a command may carry, and longest token (service id).
    static constexpr int kMaxPayloadLength = 262144;
    static constexpr int kMaxTokenLength = 64;

    // An empty CODE command; CODE is never read from the wire, so this marks "no command".
    Command() = default;
    explicit Command(CommandType type) : m_type(type) {}
    Command(CommandType type, Arguments arguments) : m_type(type), m_arguments(std::move(arguments))
    {
    }

    // The command's name on the wire, e.g. "CONNECT_TO".
    static const char *toStr(CommandType type);
    // True for the four commands whose header is followed by a raw payload.
    static bool hasPayload(CommandType type);

    CommandType type() const { return m_type; }
    const Arguments &arguments() const { return m_arguments; }
    int argumentCount() const { return m_arguments.size(); }

    // The argument at index as quint64, QByteArray or bool. An index out of range or an argument
    // of another kind gives the default value of T.
    template <typename T> T arg(int index) const
    {
        if (index < 0 || index >= m_arguments.size())
            return T();
        if (const T *value = std::get_if<T>(&m_arguments.at(index)))
            return *value;
        return T();
    }

    // Writes the command (writer's form) to the device: the header line in one write and, for a
    // payload command, the payload in a second. Nothing is written, and false returned, when the
    // command could not be read back by a peer: a payload over kMaxPayloadLength, a length that
    // differs from the payload's size, a byte string in the header that is not a token of 1 to
    // kMaxTokenLength letters and digits, or a payload command without its payload. Failures of
    // the device itself are the device's business.
    bool serialize(QIODevice *device) const;
    // The bytes serialize() writes (empty when it would refuse).
    QByteArray toWire() const;
    // The header line, and in payload the payload; false when the command cannot be written.
    bool build(QByteArray *header, QByteArray *payload) const;

    bool operator==(const Command &other) const
    {
        return m_type == other.m_type && m_arguments == other.m_arguments;
    }
    bool operator!=(const Command &other) const { return !(*this == other); }

private:
    CommandType m_type = CommandType::CODE;
    Arguments m_arguments;
};

} // namespace V2
} // namespace Relay
