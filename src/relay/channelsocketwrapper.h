#pragma once

#include "relay/channel.h"

#include <QAbstractSocket>
#include <QObject>
#include <QPointer>
#include <QTcpSocket>
#include <QTimer>

namespace Relay {

// Binds a channel end to a TCP socket: what the socket receives goes into the channel in
// messages of at most chunkSize bytes, one message at a time (the next is read only after the far
// owner took the last), and each message from the channel is written to the socket and taken out
// of the channel once the socket has written all of it.
//
// No byte is lost at a close. When the local peer closes, what it sent before is still read and
// carried, and the channel closes once the last of it is in the channel (the far owner takes
// what is still queued there after the close). When the channel closes, what it still holds is
// written to the socket, and the socket is closed in order once it has written everything.
// closed() is emitted once, when both are done; the owner deletes the wrapper on it.
//
// A local peer that stops reading is cut: the drain time-out limits the time without progress,
// so a peer that keeps taking bytes, however slowly, is never cut. Progress is what the peer
// has acknowledged, as the system's send queue shows, not only what the socket handed to the
// system: the socket's own buffer stands still while a full system queue drains. A cut connection
// is reset, so the peer's next read fails with "connection reset" instead of seeing an ordinary
// end after fewer bytes; so is a connection still open whose socket the wrapper owns when it is
// destroyed (a listener deleted while draining, the program's exit).
class ChannelSocketWrapper : public QObject
{
    Q_OBJECT
public:
    static constexpr int kDefaultDrainTimeoutMs = 30000;

    ChannelSocketWrapper(Relay::Channel *channel, QTcpSocket *socket, qint64 chunkSize, bool owns,
                         QObject *parent);
    ~ChannelSocketWrapper() override;

    Relay::Channel *channel() const { return m_channel; }
    QTcpSocket *socket() const { return m_socket; }

    // Longest time without progress while the socket writes what the closed channel left for it.
    void setDrainTimeout(int milliseconds);

public Q_SLOTS:
    void close();

Q_SIGNALS:
    void closed();

private Q_SLOTS:
    void onSocketConnected();
    void onSocketReadyRead();
    void onSocketBytesWritten(qint64 bytes);
    void onSocketError(QAbstractSocket::SocketError error);
    void onSocketDisconnected();
    void onChannelConnected();
    void onChannelNewData();
    void onChannelDataSent();
    void onChannelClosed();
    void onDrainTimeout();

private:
    void readStep();
    void writeStep();
    // Moves the closing along: closes the channel once the local input is over and carried,
    // closes the socket once the channel is closed and its messages are written, and emits
    // closed() once both are done.
    void settle();
    void finish();
    // Closes the socket with a reset instead of an ordinary end.
    void reset();
    bool socketConnected() const;
    // Bytes the local peer has acknowledged: those the socket reported written to the system,
    // less those the system still holds unacknowledged (where it tells).
    qint64 bytesTaken() const;

    bool m_owns;
    // Guarded: either may be deleted from outside first, e.g. a socket that is also a QObject
    // child of the wrapper's own parent.
    QPointer<Relay::Channel> m_channel;
    QPointer<QTcpSocket> m_socket;
    bool m_channelConnected = false;
    qint64 m_chunkSize;
    qint64 m_socketBacklog = 0;
    qint64 m_bytesWritten = 0; // all that the socket reported written to the system
    qint64 m_drainTaken = 0;   // bytesTaken() when the drain timer last started
    int m_messagesInChannel = 0;

    bool m_inputEnded = false; // the socket is disconnected; only its buffer is left to read
    bool m_channelClosed = false;
    bool m_disconnecting = false;  // disconnectFromHost() was called after the channel closed
    bool m_finished = false;       // closed() was emitted
    bool m_reading = false;        // inside readStep(); a nested call is picked up by its loop
    bool m_writing = false;        // inside writeStep(), likewise
    bool m_inBytesWritten = false; // inside the socket's bytesWritten() signal
    QTimer m_drainTimer;
};

} // namespace Relay
