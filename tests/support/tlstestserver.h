#pragma once

#include "support/testidentity.h"

#include <QSslSocket>
#include <QTcpServer>
#include <functional>

namespace TestSupport {

// A TLS server on loopback for tests: every accepted connection becomes a QSslSocket (child of
// the server) that presents the identity and starts the server handshake at once. A test can make
// the sockets itself (e.g. a QSslSocket subclass) and decide how the handshake starts.
class TlsTestServer : public QTcpServer
{
    Q_OBJECT
public:
    using Factory = std::function<QSslSocket *(QObject *parent)>;
    using Starter = std::function<void(QSslSocket *socket)>;

    explicit TlsTestServer(const TestIdentity &identity, QObject *parent = nullptr)
        : QTcpServer(parent), m_identity(identity)
    {
    }
    // Makes each socket; the server then sets its descriptor.
    void setSocketFactory(Factory factory) { m_factory = std::move(factory); }
    // Takes each connected socket in place of setting the identity and starting the handshake.
    void setStarter(Starter starter) { m_starter = std::move(starter); }
    bool listenOnLoopback() { return listen(QHostAddress::LocalHost); }
    // The sockets made so far that still exist, oldest first.
    QList<QSslSocket *> sockets() const { return findChildren<QSslSocket *>(); }

protected:
    void incomingConnection(qintptr descriptor) override
    {
        QSslSocket *socket = m_factory ? m_factory(this) : new QSslSocket(this);
        if (!socket->setSocketDescriptor(descriptor)) {
            delete socket;
        } else if (m_starter) {
            m_starter(socket);
        } else {
            socket->setLocalCertificate(m_identity.certificate);
            socket->setPrivateKey(m_identity.key);
            socket->startServerEncryption();
        }
    }

private:
    TestIdentity m_identity;
    Factory m_factory;
    Starter m_starter;
};

} // namespace TestSupport
