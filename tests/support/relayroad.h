#pragma once

#include "relay/v2/connectionmanager.h"
#include "support/phonestandin.h"
#include "support/relayserverstandin.h"
#include "support/wiremonitor.h"

#include <QString>
#include <memory>

class QSslSocket;

namespace TestSupport {

// The program's relay road on loopback addresses: a connection manager reaching a phone's
// session through a relay server, both links tapped by wire monitors.
//   client -> forward -> manager -> tap -> relay server <- tap <- phone -> TLS services
class RelayRoad
{
public:
    // Starts everything and waits for the phone's session and the manager's handshake.
    bool build();
    QString violations() const;

    // A mail client speaking TLS through a forward port: it sends the payload once encrypted
    // and appends what comes back to received.
    static QSslSocket *tlsClient(QObject *owner, quint16 port, const QByteArray &payload,
                                 QByteArray *received);

    RelayServerStandIn relay;
    std::unique_ptr<WireMonitor> clientTap, phoneTap;
    PhoneStandIn phone;
    Relay::ConnectionManager manager;
    quint64 sessionId = 0;
};

} // namespace TestSupport
