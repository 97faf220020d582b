#pragma once

#include "support/tlstestserver.h"

#include <QCryptographicHash>
#include <QHash>
#include <QList>
#include <memory>

namespace TestSupport {

// The TLS test server as a service with the test certificate: an echo service writes back
// everything it reads; a sink keeps nothing. Either may greet first. Both count the bytes of each
// connection and hash them with SHA-256.
class TlsTestService : public TlsTestServer
{
    Q_OBJECT
public:
    enum Mode { kEcho, kSink };

    struct Finished
    {
        qint64 bytes = 0;
        QByteArray sha256;
    };

    explicit TlsTestService(Mode mode, QObject *parent = nullptr);
    ~TlsTestService() override;

    bool start() { return listenOnLoopback(); }
    // For connections accepted later: the mode, and a text written as soon as the handshake is
    // done (none when empty).
    void setMode(Mode mode) { m_mode = mode; }
    void setGreeting(const QByteArray &greeting) { m_greeting = greeting; }
    quint16 port() const { return serverPort(); }
    // Bytes received so far on the connections still open.
    qint64 openBytes() const;
    // The connections that ended, in the order they ended.
    const QList<Finished> &finished() const { return m_finished; }

private:
    void serve(QSslSocket *socket);
    // Takes what the connection received.
    void take(QSslSocket *socket);

    Mode m_mode;
    QByteArray m_greeting;
    QHash<QSslSocket *, std::pair<qint64, std::shared_ptr<QCryptographicHash>>> m_open;
    QList<Finished> m_finished;
};

} // namespace TestSupport
