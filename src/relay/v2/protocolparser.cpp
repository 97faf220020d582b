#include "relay/v2/protocolparser.h"

#include "log/logger.h"

#include <cstring>
#include <limits>

namespace Relay {
namespace V2 {

namespace {
const Log::Logger kLog("Relay::V2::ProtocolParser");

enum State {
    kLineStart,  // before a command name; LF here is an empty line
    kName,       // inside a command name
    kAfterColon, // ":" read, exactly one blank must follow
    kBlanks,     // blanks before an argument
    kNumber,
    kToken,
    kFlag,
    kPayload,
    kSkipLine, // after an error, up to and including the next LF
    kStopped,  // after a payload length over the limit; nothing more is read
};

enum ArgumentKind : quint8 { kNumberArgument, kLengthArgument, kTokenArgument, kFlagArgument };

// The header form of each command the reader accepts.
struct Form
{
    const char *name;
    CommandType type;
    bool bare;        // the name alone, then LF
    int minArguments; // after ":"; 0 when ":" is not accepted
    int maxArguments;
    ArgumentKind kinds[3];
};

const Form kForms[] = {
    {"BEGIN_SESSION", CommandType::BEGIN_SESSION, true, 1, 1, {kNumberArgument}},
    {"CLOSED", CommandType::CLOSED, false, 1, 1, {kNumberArgument}},
    {"CONNECT_TO",
     CommandType::CONNECT_TO,
     false,
     2,
     3,
     {kNumberArgument, kTokenArgument, kNumberArgument}},
    {"CONNECTED",
     CommandType::CONNECTED,
     false,
     2,
     3,
     {kNumberArgument, kTokenArgument, kNumberArgument}},
    {"CONNECTION", CommandType::CONNECTION, false, 2, 2, {kNumberArgument, kFlagArgument}},
    {"DATA", CommandType::DATA, false, 2, 2, {kNumberArgument, kLengthArgument}},
    {"DISCONNECT", CommandType::DISCONNECT, false, 1, 1, {kNumberArgument}},
    {"DISCONNECTED", CommandType::DISCONNECTED, false, 1, 1, {kNumberArgument}},
    {"ERROR", CommandType::ERROR, false, 2, 2, {kNumberArgument, kLengthArgument}},
    {"FAIL", CommandType::FAIL, false, 1, 2, {kLengthArgument, kNumberArgument}},
    {"HELLO", CommandType::HELLO, false, 1, 1, {kNumberArgument}},
    {"KEEP_ALIVE", CommandType::KEEP_ALIVE, true, 0, 0, {}},
    {"KEEP", CommandType::KEEP, true, 0, 0, {}},
    {"OK", CommandType::OK, true, 1, 2, {kNumberArgument, kNumberArgument}},
    {"PEER_ERROR", CommandType::PEER_ERROR, false, 2, 2, {kNumberArgument, kLengthArgument}},
    {"QUIT", CommandType::QUIT, true, 0, 0, {}},
    {"TRANS", CommandType::TRANS, false, 2, 2, {kNumberArgument, kFlagArgument}},
    {"WATCH", CommandType::WATCH, false, 1, 1, {kNumberArgument}},
};

const Form *formOf(CommandType type)
{
    for (const Form &form : kForms) {
        if (form.type == type)
            return &form;
    }
    return nullptr;
}

// The accepted command named exactly by the bytes, or null.
const Form *formNamed(const char *name, int length)
{
    for (const Form &form : kForms) {
        if (int(std::strlen(form.name)) == length && std::memcmp(form.name, name, length) == 0)
            return &form;
    }
    return nullptr;
}

bool isNamePrefix(const char *name, int length)
{
    for (const Form &form : kForms) {
        if (int(std::strlen(form.name)) >= length && std::memcmp(form.name, name, length) == 0)
            return true;
    }
    return false;
}

bool isNameStart(char c)
{
    switch (c) {
    case 'B':
    case 'C':
    case 'D':
    case 'E':
    case 'F':
    case 'H':
    case 'K':
    case 'O':
    case 'P':
    case 'Q':
    case 'T':
    case 'W':
        return true;
    default:
        return false;
    }
}

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

bool isTokenByte(char c)
{
    return isDigit(c) || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

bool isFlagPrefix(const char *word, int length)
{
    return (length <= 2 && std::memcmp("OK", word, length) == 0) ||
           (length <= 4 && std::memcmp("FAIL", word, length) == 0);
}

QString syntaxErrorText()
{
    return QStringLiteral("Syntax error");
}

QString overflowText()
{
    return QStringLiteral("Integer overflow (64-bit unsigned)");
}

QString lengthErrorText()
{
    return QStringLiteral("Maximum data chunk len is %1").arg(Command::kMaxPayloadLength);
}
} // namespace

Command ProtocolParser::popCommand()
{
    kLog.trace() << "Relay::V2::Command Relay::V2::ProtocolParser::popCommand()";
    if (m_commands.isEmpty())
        return Command();
    return m_commands.dequeue();
}

void ProtocolParser::pushCommand(CommandType type)
{
    m_commands.enqueue(Command(type, std::move(m_arguments)));
    m_arguments = Command::Arguments();
}

void ProtocolParser::syntaxError(const QString &message)
{
    m_error = true;
    m_errorMessage = message;
    m_arguments.clear();
    m_state.buffer = QByteArray();
    m_state.tokenOpen = false;
    m_state.tokenStart = -1;
    m_state.cs = kSkipLine;
}

void ProtocolParser::endHeader()
{
    RagelState &s = m_state;
    if (!Command::hasPayload(s.type)) {
        pushCommand(s.type);
        s.cs = kLineStart;
        return;
    }
    s.payloadType = s.type;
    s.payloadTaken = 0;
    s.tokenOpen = false;
    s.tokenStart = -1;
    if (s.payloadLength == 0) {
        // Nothing follows the header: the command is complete at its LF.
        m_arguments.append(QByteArray());
        pushCommand(s.payloadType);
        s.cs = kLineStart;
        return;
    }
    s.cs = kPayload;
}

bool ProtocolParser::endArgument(const char *data, qint64 pos, bool atLineEnd)
{
    RagelState &s = m_state;
    const Form *form = formOf(s.type);
    if (atLineEnd ? s.argumentIndex + 1 < form->minArguments
                  : s.argumentIndex + 1 >= form->maxArguments) {
        syntaxError(syntaxErrorText());
        return false;
    }
    switch (form->kinds[s.argumentIndex]) {
    case kNumberArgument:
        m_arguments.append(s.number);
        break;
    case kLengthArgument:
        if (s.number > quint64(Command::kMaxPayloadLength)) {
            m_error = true;
            m_errorMessage = lengthErrorText();
            m_errorLine.clear();
            m_arguments.clear();
            s.buffer = QByteArray();
            s.cs = kStopped;
            return false;
        }
        s.payloadLength = s.number;
        break;
    case kTokenArgument: {
        const qint64 start = s.tokenOpen ? 0 : s.tokenStart;
        QByteArray token;
        if (s.tokenOpen) {
            token.swap(s.buffer);
            token.append(data + start, int(pos - start));
        } else {
            token = QByteArray(data + start, int(pos - start));
        }
        s.tokenOpen = false;
        s.tokenStart = -1;
        m_arguments.append(token);
        break;
    }
    case kFlagArgument:
        // Only reached at LF with the whole word checked by the caller.
        m_arguments.append(s.nameLength == 2);
        break;
    }
    if (atLineEnd) {
        endHeader();
    } else {
        ++s.argumentIndex;
        s.cs = kBlanks;
    }
    return true;
}

void ProtocolParser::feed(const char *data, qint64 length)
{
    kLog.trace() << "void Relay::V2::ProtocolParser::feed(const char*, qint64)" << length;
    m_error = false;
    m_errorLine.clear();
    m_errorMessage.clear();

    RagelState &s = m_state;
    if (s.cs == kStopped) {
        m_error = true;
        m_errorMessage = lengthErrorText();
        return;
    }
    if (!data || length <= 0)
        return;
    s.lineStart = 0;
    if (s.cs == kToken)
        s.tokenStart = 0;

    qint64 pos = 0;
    while (pos < length && s.cs != kStopped) {
        const char c = data[pos];
        switch (s.cs) {
        case kLineStart:
            if (c == '\n') {
                s.lineStart = pos;
                ++pos;
            } else if (isNameStart(c)) {
                s.lineStart = pos;
                s.name[0] = c;
                s.nameLength = 1;
                s.cs = kName;
                ++pos;
            } else {
                syntaxError(syntaxErrorText());
            }
            break;

        case kName:
            if ((c >= 'A' && c <= 'Z') || c == '_') {
                if (s.nameLength >= int(sizeof(s.name)) - 1) {
                    syntaxError(syntaxErrorText());
                    break;
                }
                s.name[s.nameLength++] = c;
                if (!isNamePrefix(s.name, s.nameLength)) {
                    syntaxError(syntaxErrorText());
                    break;
                }
                ++pos;
            } else if (c == '\n' || c == ':') {
                const Form *form = formNamed(s.name, s.nameLength);
                if (!form || (c == '\n' && !form->bare) || (c == ':' && form->maxArguments == 0)) {
                    syntaxError(syntaxErrorText());
                    break;
                }
                s.type = form->type;
                ++pos;
                if (c == '\n') {
                    pushCommand(s.type);
                    s.cs = kLineStart;
                } else {
                    s.argumentIndex = 0;
                    s.cs = kAfterColon;
                }
            } else {
                syntaxError(syntaxErrorText());
            }
            break;

        case kAfterColon:
            if (c != ' ') {
                syntaxError(syntaxErrorText());
                break;
            }
            s.cs = kBlanks;
            ++pos;
            break;

        case kBlanks: {
            if (c == ' ') {
                ++pos;
                break;
            }
            const ArgumentKind kind = formOf(s.type)->kinds[s.argumentIndex];
            if ((kind == kNumberArgument || kind == kLengthArgument) && isDigit(c)) {
                s.number = quint64(c - '0');
                s.cs = kNumber;
            } else if (kind == kTokenArgument && isTokenByte(c)) {
                s.tokenStart = pos;
                s.tokenOpen = false;
                s.tokenLength = 1;
                s.cs = kToken;
            } else if (kind == kFlagArgument && (c == 'O' || c == 'F')) {
                s.name[0] = c;
                s.nameLength = 1;
                s.cs = kFlag;
            } else {
                syntaxError(syntaxErrorText());
                break;
            }
            ++pos;
            break;
        }

        case kNumber:
            if (isDigit(c)) {
                const quint64 digit = quint64(c - '0');
                if (s.number > (std::numeric_limits<quint64>::max() - digit) / 10) {
                    syntaxError(overflowText());
                    break;
                }
                s.number = s.number * 10 + digit;
                ++pos;
            } else if (c == ' ' || c == '\n') {
                if (endArgument(data, pos, c == '\n'))
                    ++pos;
            } else {
                syntaxError(syntaxErrorText());
            }
            break;

        case kToken:
            if (isTokenByte(c)) {
                if (++s.tokenLength > Command::kMaxTokenLength) {
                    syntaxError(syntaxErrorText());
                    break;
                }
                ++pos;
            } else if (c == ' ' || c == '\n') {
                if (endArgument(data, pos, c == '\n'))
                    ++pos;
            } else {
                syntaxError(syntaxErrorText());
            }
            break;

        case kFlag:
            if (c == '\n') {
                const bool whole = (s.nameLength == 2 && std::memcmp(s.name, "OK", 2) == 0) ||
                                   (s.nameLength == 4 && std::memcmp(s.name, "FAIL", 4) == 0);
                if (!whole) {
                    syntaxError(syntaxErrorText());
                    break;
                }
                if (endArgument(data, pos, true))
                    ++pos;
            } else if (c >= 'A' && c <= 'Z' && s.nameLength < 4) {
                s.name[s.nameLength++] = c;
                if (!isFlagPrefix(s.name, s.nameLength)) {
                    syntaxError(syntaxErrorText());
                    break;
                }
                ++pos;
            } else {
                syntaxError(syntaxErrorText());
            }
            break;

        case kPayload: {
            // Whole runs, never byte by byte: the rest of the payload or the rest of the chunk.
            const quint64 remaining = s.payloadLength - s.payloadTaken;
            const qint64 available = length - pos;
            if (quint64(available) >= remaining) {
                QByteArray payload;
                if (s.tokenOpen) {
                    payload.swap(s.buffer);
                    payload.append(data + pos, int(remaining));
                } else {
                    payload = QByteArray(data + pos, int(remaining));
                }
                pos += qint64(remaining);
                s.tokenOpen = false;
                m_arguments.append(payload);
                pushCommand(s.payloadType);
                s.cs = kLineStart;
            } else {
                if (!s.tokenOpen)
                    s.buffer.reserve(int(s.payloadLength));
                s.buffer.append(data + pos, int(available));
                s.payloadTaken += quint64(available);
                s.tokenOpen = true;
                pos = length;
            }
            break;
        }

        case kSkipLine: {
            const void *lineEnd = std::memchr(data + pos, '\n', size_t(length - pos));
            if (!lineEnd) {
                pos = length;
                break;
            }
            const qint64 end = static_cast<const char *>(lineEnd) - data;
            if (m_error) {
                const qint64 lineLength = qMin<qint64>(end - s.lineStart, kMaxErrorLineLength);
                m_errorLine = QByteArray(data + s.lineStart, int(lineLength));
            }
            s.cs = kLineStart;
            pos = end + 1;
            break;
        }

        default:
            pos = length;
            break;
        }
    }

    if (s.cs == kToken) {
        s.buffer.append(data + s.tokenStart, int(length - s.tokenStart));
        s.tokenOpen = true;
        s.tokenStart = -1;
    }
}

} // namespace V2
} // namespace Relay
