#include "core/socketerror2str.h"

QString socketError2Str(QAbstractSocket::SocketError error)
{
    switch (int(error)) {
    case -1: return QStringLiteral("UnknownSocketError");
    case 0: return QStringLiteral("ConnectionRefusedError");
    case 1: return QStringLiteral("RemoteHostClosedError");
    case 2: return QStringLiteral("HostNotFoundError");
    case 3: return QStringLiteral("SocketAccessError");
    case 4: return QStringLiteral("SocketResourceError");
    case 5: return QStringLiteral("SocketTimeoutError");
    case 6: return QStringLiteral("DatagramTooLargeError");
    case 7: return QStringLiteral("NetworkError");
    case 8: return QStringLiteral("AddressInUseError");
    case 9: return QStringLiteral("SocketAddressNotAvailableError");
    case 10: return QStringLiteral("UnsupportedSocketOperationError");
    case 11: return QStringLiteral("UnfinishedSocketOperationError");
    case 12: return QStringLiteral("ProxyAuthenticationRequiredError");
    case 13: return QStringLiteral("SslHandshakeFailedError");
    case 14: return QStringLiteral("ProxyConnectionRefusedError");
    case 15: return QStringLiteral("ProxyConnectionClosedError");
    case 16: return QStringLiteral("ProxyConnectionTimeoutError");
    case 17: return QStringLiteral("ProxyNotFoundError");
    case 18: return QStringLiteral("ProxyProtocolError");
    default: return QString();
    }
}
