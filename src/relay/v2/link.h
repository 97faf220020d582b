#pragma once

#include "relay/v2/command.h"
#include "relay/v2/protocolparser.h"

#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QVector>

class QAbstractSocket;
class QIODevice;

namespace Relay::V2 {

// The byte stream under one relay V2 connection: writes commands to the device and reads
// commands from it.
//
// Writing: commands wait in the link until flush(), which hands them to the system in one call
// when the socket has nothing else queued, a DATA payload included without copying it; what the
// system does not take goes to the socket's own buffer. Outside a read step every send flushes at
// once; inside one, everything that the step's commands cause leaves in one flush at its end.
//
// Reading: the read step reads what has arrived, feeds it to the parser and hands each command
// to commandReceived(). It stops while more than kMaxPendingWrite waits to be written (a peer
// that does not read gets no more answers) and goes on once the socket has written it.
class Link : public QObject
{
    Q_OBJECT
public:
    enum class State { kHandshaking, kReady, kClosed };

    // Reading from the link stops while more than this waits to be written to it.
    static constexpr qint64 kMaxPendingWrite = 1024 * 1024;

    Link(QIODevice *device, QObject *parent);

    State state() const { return m_state; }
    void setReady() { m_state = State::kReady; }
    bool isClosed() const { return m_state == State::kClosed; }
    // The device is there and open, so a command sent now can reach the peer.
    bool canSend() const;

    void send(const Command &command);
    // DATA [id, payload] without building a command.
    void sendData(quint64 connectionId, const QByteArray &payload);
    // ERROR [id, text] in the writer's form.
    void sendError(quint64 connectionId, const QString &text);
    void flush();

    // Ends the link for good: writes QUIT when asked to and the device is open, and flushes
    // everything sent so far, so that it leaves before the owner drops the socket. Then lets go
    // of the device: nothing is read, written or dispatched afterwards.
    void close(bool sendQuit);

    // Commands are small and answered one by one (TRANS before the next DATA): the socket sends
    // them at once instead of waiting to coalesce them.
    void setLowDelay();
    // Runs the read step (also when the device was already open at construction).
    void readStep();

Q_SIGNALS:
    // Bytes arrived (any byte counts as a sign of life).
    void received();
    // The bytes did not parse; the text is the one to send back in ERROR.
    void parseError(const QString &text);
    void commandReceived(const Relay::V2::Command &command);

private:
    enum class ReadStep { kIdle, kRunning, kPaused };

    void onBytesWritten();
    bool writeBacklogged() const;
    void queue(const QByteArray &bytes, bool small);
    // Queues a command's bytes and flushes them unless a read step runs.
    void enqueue(const QByteArray &header, const QByteArray &payload);
    // Hands as much as the system takes to it directly; returns the bytes written.
    qint64 writeDirect();

    QPointer<QIODevice> m_device;
    QAbstractSocket *m_socket = nullptr; // the device when it is a socket, else null
    ProtocolParser m_parser;
    State m_state = State::kHandshaking;
    ReadStep m_readStep = ReadStep::kIdle;
    // Waiting to be written, in order; small commands share one piece up to a payload.
    QVector<QByteArray> m_out;
    qint64 m_outBytes = 0;
    bool m_lastPieceSmall = false;
};

} // namespace Relay::V2
