#pragma once

#include <QByteArray>

namespace TestSupport {

// What the loopback registry does once it has read a connection's request line.
struct RegistryAnswer
{
    enum Kind {
        kReply,        // write text after delayMs
        kSplitReply,   // write text[0, splitAt) after delayMs, the rest pauseMs later
        kEcho,         // write "OK " followed by the request line (its line end included)
        kClose,        // close the connection after delayMs without writing
        kSilence,      // never answer, keep the connection open
        kTrickle,      // write one byte without a line end every pauseMs, for ever
        kEndlessLine,  // stream 8 MiB without a line end as fast as the peer takes it
    };

    Kind kind = kReply;
    QByteArray text;
    int splitAt = 0;
    int delayMs = 0;
    int pauseMs = 0;
    bool closeAfterReply = false; // kReply: close the connection once the text is written

    static RegistryAnswer reply(const QByteArray &text, int delayMs = 0)
    {
        return {kReply, text, 0, delayMs, 0};
    }
    static RegistryAnswer replyAndClose(const QByteArray &text)
    {
        return {kReply, text, 0, 0, 0, true};
    }
    static RegistryAnswer split(const QByteArray &text, int splitAt, int delayMs, int pauseMs)
    {
        return {kSplitReply, text, splitAt, delayMs, pauseMs};
    }
    static RegistryAnswer echo() { return {kEcho, {}, 0, 0, 0}; }
    static RegistryAnswer close(int delayMs = 0) { return {kClose, {}, 0, delayMs, 0}; }
    static RegistryAnswer silence() { return {kSilence, {}, 0, 0, 0}; }
    static RegistryAnswer trickle(int pauseMs) { return {kTrickle, {}, 0, 0, pauseMs}; }
    static RegistryAnswer endlessLine() { return {kEndlessLine, {}, 0, 0, 0}; }
};

} // namespace TestSupport
