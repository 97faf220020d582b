#pragma once

#include "support/certificatefactory.h"

#include <QList>
#include <QPointer>
#include <QSslSocket>
#include <QTcpServer>
#include <functional>

namespace TestSupport {

// A TLS server on loopback for tests: every accepted connection becomes a QSslSocket (child of
// the server) that presents the given identity and starts the server handshake at once. A test
// can make the sockets itself (e.g. a QSslSocket subclass) and decide how the handshake starts.
class TlsTestServer : public QTcpServer
{
    Q_OBJECT
public:
    explicit TlsTestServer(const TestIdentity &identity, QObject *parent = nullptr);

    // Makes the socket for a connection; the server sets its descriptor afterwards.
    void setSocketFactory(std::function<QSslSocket *(QObject *parent)> factory);
    // Called with the connected socket in place of setting the identity and starting the
    // handshake.
    void setStarter(std::function<void(QSslSocket *socket)> starter);

    // Listens on the address (127.0.0.1 by default) at a free port.
    bool listenOnLoopback(const QHostAddress &address = QHostAddress(QHostAddress::LocalHost));

    // The sockets made so far that still exist, oldest first.
    QList<QSslSocket *> sockets() const;

Q_SIGNALS:
    void accepted(QSslSocket *socket);

protected:
    void incomingConnection(qintptr descriptor) override;

private:
    TestIdentity m_identity;
    std::function<QSslSocket *(QObject *)> m_factory;
    std::function<void(QSslSocket *)> m_starter;
    QList<QPointer<QSslSocket>> m_sockets;
};

} // namespace TestSupport
