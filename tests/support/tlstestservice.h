#pragma once

#include <QByteArray>
#include <QCryptographicHash>
#include <QHash>
#include <QList>
#include <QTcpServer>

class QSslSocket;

namespace TestSupport {

// A TLS service on 127.0.0.1 for the relay tests, with the test certificate. An echo service
// writes back everything it reads; a sink keeps nothing. Either may greet first. Both count the
// bytes of each connection and hash them with SHA-256, and report each connection when it ends.
class TlsTestService : public QTcpServer
{
    Q_OBJECT
public:
    enum Mode { kEcho, kSink };

    struct Finished {
        qint64 bytes = 0;
        QByteArray sha256;
    };

    explicit TlsTestService(Mode mode, QObject *parent = nullptr);
    ~TlsTestService() override;

    bool start();
    // For connections accepted later: the mode, and a text written as soon as the handshake is
    // done (none when empty).
    void setMode(Mode mode) { m_mode = mode; }
    void setGreeting(const QByteArray &greeting) { m_greeting = greeting; }
    quint16 port() const { return serverPort(); }
    int openConnections() const { return m_sockets.size(); }
    // Bytes received so far on the connections still open.
    qint64 openBytes() const;
    int acceptedConnections() const { return m_accepted; }
    const QList<Finished> &finished() const { return m_finished; }
    // Closes every open connection from this side.
    void closeAll();

Q_SIGNALS:
    void connectionFinished(qint64 bytes, QByteArray sha256);

protected:
    void incomingConnection(qintptr descriptor) override;

private:
    struct State {
        qint64 bytes = 0;
        std::shared_ptr<QCryptographicHash> hash;
        bool finished = false;
    };
    void onReadyRead(QSslSocket *socket);
    void finish(QSslSocket *socket);

    Mode m_mode;
    QByteArray m_greeting;
    QHash<QSslSocket *, State> m_sockets;
    QList<Finished> m_finished;
    int m_accepted = 0;
};

} // namespace TestSupport
