#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

namespace TestSupport {

// A deliberately plain reader of relay V2 wire bytes for the tests, written apart from the
// program's own parser: it cuts the stream at LF, splits header lines at single blanks and takes
// payloads by the announced length. It is strict about the shape the program writes (single
// blanks, no CR, known names), so a fault shared by the program's writer and parser shows up.
class RawCommandReader
{
public:
    struct Command {
        QByteArray name;
        QList<QByteArray> args; // header arguments as written, the payload length included
        QByteArray payload;
        bool hasPayload = false;

        quint64 number(int index) const;
        // The connection id of commands that carry one first.
        quint64 id() const { return number(0); }
        QByteArray text() const { return payload; }
        // The command as a wire line (payload not included), for messages.
        QByteArray header() const;
    };

    void feed(const QByteArray &bytes);

    bool hasCommand() const { return !m_ready.isEmpty(); }
    Command take() { return m_ready.takeFirst(); }

    // Set for good after the first malformed line; the reader then stops.
    bool malformed() const { return !m_problem.isEmpty(); }
    QString problem() const { return m_problem; }

    // Whether a name is one of the commands the wire knows.
    static bool isKnownName(const QByteArray &name);
    // For payload commands: the index of the length in the header arguments, or -1.
    static int lengthIndex(const QByteArray &name, int argumentCount);

private:
    bool parseOne();

    QByteArray m_buffer;
    int m_offset = 0;
    QList<Command> m_ready;
    QString m_problem;
};

} // namespace TestSupport
