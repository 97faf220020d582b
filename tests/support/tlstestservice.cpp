#include "support/tlstestservice.h"

#include "support/testcertificate.h"

#include <QSslConfiguration>
#include <QSslSocket>

namespace TestSupport {

TlsTestService::TlsTestService(Mode mode, QObject *parent) : QTcpServer(parent), m_mode(mode) {}

TlsTestService::~TlsTestService()
{
    const QList<QSslSocket *> sockets = m_sockets.keys();
    for (QSslSocket *socket : sockets) {
        disconnect(socket, nullptr, this, nullptr);
        socket->abort();
    }
}

bool TlsTestService::start()
{
    return listen(QHostAddress(QHostAddress::LocalHost), 0);
}

void TlsTestService::incomingConnection(qintptr descriptor)
{
    auto *socket = new QSslSocket(this);
    if (!socket->setSocketDescriptor(descriptor)) {
        delete socket;
        return;
    }
    ++m_accepted;
    socket->setLocalCertificate(TestCertificate::certificate());
    socket->setPrivateKey(TestCertificate::key());
    socket->setPeerVerifyMode(QSslSocket::VerifyNone);
    State state;
    state.hash = std::make_shared<QCryptographicHash>(QCryptographicHash::Sha256);
    m_sockets.insert(socket, state);
    connect(socket, &QSslSocket::readyRead, this, [this, socket] { onReadyRead(socket); });
    connect(socket, &QSslSocket::disconnected, this, [this, socket] { finish(socket); });
    if (!m_greeting.isEmpty()) {
        connect(socket, &QSslSocket::encrypted, socket,
                [socket, greeting = m_greeting] { socket->write(greeting); });
    }
    socket->startServerEncryption();
}

void TlsTestService::onReadyRead(QSslSocket *socket)
{
    const auto it = m_sockets.find(socket);
    if (it == m_sockets.end())
        return;
    const QByteArray data = socket->readAll();
    it->bytes += data.size();
    it->hash->addData(data);
    if (m_mode == kEcho)
        socket->write(data);
}

void TlsTestService::finish(QSslSocket *socket)
{
    const auto it = m_sockets.find(socket);
    if (it == m_sockets.end())
        return;
    const QByteArray rest = socket->readAll();
    it->bytes += rest.size();
    it->hash->addData(rest);
    Finished done{it->bytes, it->hash->result()};
    m_sockets.erase(it);
    m_finished.append(done);
    socket->deleteLater();
    Q_EMIT connectionFinished(done.bytes, done.sha256);
}

qint64 TlsTestService::openBytes() const
{
    qint64 total = 0;
    for (const State &state : m_sockets)
        total += state.bytes;
    return total;
}

void TlsTestService::closeAll()
{
    const QList<QSslSocket *> sockets = m_sockets.keys();
    for (QSslSocket *socket : sockets)
        socket->disconnectFromHost();
}

} // namespace TestSupport
