// Fuzz target for the relay V2 parser.
//
// Input: byte 0 gives the number of cut points (low four bits), then two bytes per cut give the
// length of each chunk (little endian, wrapped to what is left); the remaining bytes are the
// received stream, and what the chunks leave over is fed last. Checks that feeding the stream
// whole, in the chosen chunks and byte by byte gives the same commands and errors, that the
// parser holds at most one payload in memory and a capped error line, and that every command it
// reads is written back by Command::serialize into bytes that read as the same command.

#include "relay/v2/command.h"
#include "relay/v2/protocolparser.h"

#include <QByteArray>
#include <QVector>
#include "fuzzcheck.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>

using Relay::V2::Command;
using Relay::V2::CommandType;
using Relay::V2::ProtocolParser;

namespace {

struct Result
{
    QVector<Command> commands;
    bool anyError = false;
};

void feedChecked(ProtocolParser &parser, const char *data, qint64 length, Result &result)
{
    parser.feed(data, length);
    check(parser.bufferedBytes() <= Command::kMaxPayloadLength, "buffer beyond one payload");
    check(parser.errorLine().size() <= ProtocolParser::kMaxErrorLineLength, "error line too long");
    check(parser.error() == !parser.errorMessage().isEmpty(), "error flag without message");
    if (parser.error())
        result.anyError = true;
    while (parser.hasCommands())
        result.commands.append(parser.popCommand());
}

// The writer's form of a command as the reader gives it: the payload length put back in place.
Command writerForm(const Command &read)
{
    Command::Arguments arguments = read.arguments();
    if (Command::hasPayload(read.type())) {
        const quint64 length = quint64(read.arg<QByteArray>(arguments.size() - 1).size());
        if (read.type() == CommandType::FAIL)
            arguments.insert(0, length);
        else
            arguments.insert(arguments.size() - 1, length);
    }
    return Command(read.type(), arguments);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    QVector<qint64> chunks;
    size_t offset = 0;
    if (size > 0) {
        const int cuts = data[0] & 0x0f;
        offset = 1;
        for (int i = 0; i < cuts && offset + 2 <= size; ++i, offset += 2)
            chunks.append(qint64(data[offset]) | qint64(data[offset + 1]) << 8);
    }
    const char *stream = reinterpret_cast<const char *>(data) + offset;
    const qint64 length = qint64(size - offset);

    Result whole;
    {
        ProtocolParser parser;
        feedChecked(parser, stream, length, whole);
    }

    Result split;
    {
        ProtocolParser parser;
        qint64 from = 0;
        for (const qint64 chunk : chunks) {
            const qint64 take = length - from == 0 ? 0 : chunk % (length - from + 1);
            feedChecked(parser, stream + from, take, split);
            from += take;
        }
        feedChecked(parser, stream + from, length - from, split);
    }
    check(split.anyError == whole.anyError, "split and whole feeding disagree on errors");
    check(split.commands == whole.commands, "split and whole feeding disagree on commands");

    if (length <= 4096) {
        Result single;
        ProtocolParser parser;
        for (qint64 i = 0; i < length; ++i)
            feedChecked(parser, stream + i, 1, single);
        check(single.anyError == whole.anyError, "byte by byte disagrees on errors");
        check(single.commands == whole.commands, "byte by byte disagrees on commands");
    }

    for (const Command &command : whole.commands) {
        const QByteArray wire = writerForm(command).toWire();
        check(!wire.isEmpty(), "a command read could not be written");
        ProtocolParser parser;
        parser.feed(wire);
        check(!parser.error(), "a written command does not read back");
        check(parser.hasCommands() && parser.popCommand() == command, "round trip changed it");
        check(!parser.hasCommands(), "a written command reads as several");
    }
    return 0;
}
