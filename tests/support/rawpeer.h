#pragma once

#include "support/rawcommandreader.h"

#include <QHostAddress>
#include <QObject>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>

namespace TestSupport {

// A scripted relay V2 peer over one TCP connection: the test writes raw bytes (malformed ones
// included), lets it stay silent or withhold acknowledgements, drops the link abruptly, and reads
// back every command the other side wrote, parsed by RawCommandReader.
class RawPeer : public QObject
{
    Q_OBJECT
public:
    explicit RawPeer(QObject *parent = nullptr);
    ~RawPeer() override;

    // Serving: listen on the address and take the first connection that arrives.
    bool listen(const QHostAddress &address);
    quint16 port() const;
    // Client: connect to a listening side.
    void connectTo(const QHostAddress &address, quint16 port);
    bool waitConnected(int timeout = 10000);
    bool isConnected() const;
    QTcpSocket *socket() const { return m_socket; }

    void write(const QByteArray &raw);
    void writeLine(const QByteArray &line) { write(line + '\n'); }
    void writeData(quint64 id, const QByteArray &payload);
    void writeError(quint64 id, const QByteArray &text);
    void writeFail(const QByteArray &text, quint64 requestId);

    // Closes abruptly (no QUIT, reset) / gracefully (FIN after what was written).
    void drop();
    void closeGracefully();

    // Scripted answers: OK to every KEEP (on by default), TRANS OK to every DATA (off by default).
    void setAnswerKeep(bool on) { m_answerKeep = on; }
    void setAcknowledgeData(bool on) { m_acknowledgeData = on; }
    // A peer that stops reading leaves what arrives unread, so the other side's writes back up
    // (with small system buffers). Turning reading on again reads it all.
    void setReading(bool on);
    // Off: received commands are parsed and counted but not kept (for floods).
    void setKeepCommands(bool on) { m_keepCommands = on; }
    qint64 receivedCommandCount() const { return m_receivedCommands; }

    const QList<RawCommandReader::Command> &commands() const { return m_commands; }
    int count() const { return m_commands.size(); }
    bool waitForCount(int count, int timeout = 10000);
    // Index of the first command with this name at or after 'from', or -1.
    int indexOf(const QByteArray &name, int from = 0) const;
    // Waits until a command with this name arrives at or after 'from'; its index, or -1.
    int waitFor(const QByteArray &name, int from = 0, int timeout = 10000);
    QByteArray received() const { return m_received; }
    bool malformed() const { return m_reader.malformed(); }
    QString problem() const { return m_reader.problem(); }
    bool peerClosed() const { return m_peerClosed; }
    bool waitForPeerClose(int timeout = 10000);

Q_SIGNALS:
    void commandReceived();
    void closedByPeer();

private:
    void attach(QTcpSocket *socket);
    void onReadyRead();

    QTcpServer m_server;
    QPointer<QTcpSocket> m_socket;
    RawCommandReader m_reader;
    QList<RawCommandReader::Command> m_commands;
    QByteArray m_received;
    bool m_answerKeep = true;
    bool m_acknowledgeData = false;
    bool m_peerClosed = false;
    bool m_reading = true;
    bool m_keepCommands = true;
    qint64 m_receivedCommands = 0;
};

} // namespace TestSupport
