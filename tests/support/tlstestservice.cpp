#include "support/tlstestservice.h"

#include "support/certificatefactory.h"

namespace TestSupport {

TlsTestService::TlsTestService(Mode mode, QObject *parent)
    : TlsTestServer(CertificateFactory::localService(), parent), m_mode(mode)
{
    setStarter([this](QSslSocket *socket) { serve(socket); });
}

TlsTestService::~TlsTestService()
{
    // The sockets go after this object's members: nothing reaches it from them.
    for (QSslSocket *socket : m_open.keys())
        socket->disconnect(this);
}

void TlsTestService::serve(QSslSocket *socket)
{
    socket->setLocalCertificate(CertificateFactory::localService().certificate);
    socket->setPrivateKey(CertificateFactory::localService().key);
    m_open.insert(socket, {0, std::make_shared<QCryptographicHash>(QCryptographicHash::Sha256)});
    connect(socket, &QSslSocket::encrypted, socket,
            [socket, greeting = m_greeting] { socket->write(greeting); });
    connect(socket, &QSslSocket::readyRead, this, [this, socket] { take(socket); });
    connect(socket, &QSslSocket::disconnected, this, [this, socket] {
        take(socket);
        const auto [bytes, hash] = m_open.take(socket);
        m_finished.append({bytes, hash->result()});
        socket->deleteLater();
    });
    socket->startServerEncryption();
}

void TlsTestService::take(QSslSocket *socket)
{
    const QByteArray data = socket->readAll();
    auto &[bytes, hash] = m_open[socket];
    bytes += data.size();
    hash->addData(data);
    if (m_mode == kEcho && socket->state() == QAbstractSocket::ConnectedState)
        socket->write(data);
}

qint64 TlsTestService::openBytes() const
{
    qint64 total = 0;
    for (const auto &connection : m_open)
        total += connection.first;
    return total;
}

} // namespace TestSupport
