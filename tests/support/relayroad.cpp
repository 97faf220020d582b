#include "support/relayroad.h"

#include <QSignalSpy>
#include <QSslSocket>

namespace TestSupport {

namespace {
const QHostAddress kRelay(QStringLiteral("127.0.0.2"));
const QHostAddress kClientTap(QStringLiteral("127.0.0.3"));
const QHostAddress kPhoneTap(QStringLiteral("127.0.0.5"));
} // namespace

bool RelayRoad::build()
{
    if (!relay.listen(kRelay) || !phone.start())
        return false;
    clientTap = std::make_unique<WireMonitor>(kRelay, relay.port());
    phoneTap = std::make_unique<WireMonitor>(kRelay, relay.port());
    if (!clientTap->listen(kClientTap) || !phoneTap->listen(kPhoneTap))
        return false;
    phone.connectToRelay(kPhoneTap, phoneTap->port());
    sessionId = phone.waitForSession();
    QSignalSpy connected(&manager, &Relay::ConnectionManager::connected);
    manager.connectToRelay(kClientTap, clientTap->port());
    return sessionId != 0 && connected.wait(10000);
}

QString RelayRoad::violations() const
{
    return (clientTap->violations() + phoneTap->violations()).join(QLatin1Char('\n'));
}

QSslSocket *RelayRoad::tlsClient(QObject *owner, quint16 port, const QByteArray &payload,
                                 QByteArray *received)
{
    auto *socket = new QSslSocket(owner);
    socket->setPeerVerifyMode(QSslSocket::VerifyNone);
    QObject::connect(socket, &QSslSocket::encrypted, socket, [=] { socket->write(payload); });
    QObject::connect(socket, &QSslSocket::readyRead, socket,
                     [=] { *received += socket->readAll(); });
    socket->connectToHostEncrypted(QStringLiteral("127.0.0.1"), port);
    return socket;
}

} // namespace TestSupport
