#pragma once

namespace TolvaneMail {

// The kind of path on which a HomeBridge was reached.
enum ConnectionType {
    kLAN = 0,      // the phone's relay service at its local address, from the same LAN
    kInternet = 1, // the phone's relay service at its external address
    kRelay = 2,    // a relay server, at the phone's relay session
    kPro = 3,      // served directly, without the relay transport
};

// The value's name ("kLAN" ...), or "ERROR Invalid Connection Type" for any other value.
const char *toString(ConnectionType type);

} // namespace TolvaneMail
