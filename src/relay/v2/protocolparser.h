#pragma once

#include "relay/v2/command.h"

#include <QByteArray>
#include <QQueue>
#include <QString>

namespace Relay {
namespace V2 {

// Incremental reader of relay protocol V2. Each feed() takes one chunk of received bytes, which
// may end anywhere (inside a name, a number, a token or a payload); completed commands wait in
// a queue in the reader's form (see Command). Malformed input sets the error state of that
// feed: "Syntax error" and "Integer overflow (64-bit unsigned)" skip the rest of the line and
// go on; a payload length over the limit ("Maximum data chunk len is 262144") stops the reader
// for good, since nothing after it can be framed any more: every later feed reports it again and
// reads nothing.
class ProtocolParser
{
public:
    // The error line handed out is cut to this many bytes, so that an ERROR quoting it stays
    // well inside the protocol's payload limit.
    static constexpr int kMaxErrorLineLength = 256;

    ProtocolParser() = default;

    void feed(const QByteArray &data) { feed(data.constData(), data.size()); }
    void feed(const char *data, qint64 length);

    // Error state of the last feed() call.
    bool error() const { return m_error; }
    QString errorMessage() const { return m_errorMessage; }
    QByteArray errorLine() const { return m_errorLine; }

    bool hasCommands() const { return !m_commands.isEmpty(); }
    // Removes and returns the oldest completed command; an empty CODE command when none waits.
    Command popCommand();

    // Bytes held from earlier chunks for an unfinished token or payload (at most one payload).
    qint64 bufferedBytes() const { return m_state.buffer.capacity(); }

    // The recogniser's position, kept between feeds.
    struct RagelState
    {
        int cs = 0;                // current state
        quint64 number = 0;        // number being accumulated
        quint64 payloadLength = 0; // announced payload length
        quint64 payloadTaken = 0;  // payload bytes taken so far
        CommandType payloadType = CommandType::CODE;
        qint64 tokenStart = -1; // where the open token or payload began in this chunk
        bool tokenOpen = false; // a token or payload continues from an earlier chunk
        QByteArray buffer;      // its part taken from earlier chunks
        qint64 lineStart = 0;   // where the current line began in this chunk
        // Not named by the machine's description, but part of its position:
        CommandType type = CommandType::CODE; // command whose header is being read
        int argumentIndex = 0;                // index of the header argument being read
        int tokenLength = 0;                  // bytes of the open token so far
        int nameLength = 0;                   // bytes of the name (or flag word) so far
        char name[16] = {};
    };

private:
    void pushCommand(CommandType type);
    // Records an error at the current byte and starts skipping to the end of the line.
    void syntaxError(const QString &message);
    // Continues a header after an argument that ended at a blank (more) or an LF (last).
    bool endArgument(const char *data, qint64 pos, bool atLineEnd);
    void endHeader();

    QQueue<Command> m_commands;
    Command::Arguments m_arguments;
    bool m_error = false;
    QByteArray m_errorLine;
    QString m_errorMessage;
    RagelState m_state;
};

} // namespace V2
} // namespace Relay
