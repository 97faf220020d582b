#pragma once

#include <QByteArray>
#include <QString>

namespace TestSupport {

// Real TLS ClientHello records as Qt's own TLS client sends them, caught on loopback.
class ClientHelloCapture
{
public:
    // The first record a QSslSocket sends when it connects to 127.0.0.1 asking for peerName
    // (a name is sent as server_name; an address or an empty name sends none). Empty on failure.
    static QByteArray capture(const QString &peerName);
};

} // namespace TestSupport
