#pragma once

#include <QAbstractSocket>
#include <QString>

// The enumerator name of a socket error ("ConnectionRefusedError" ...) for log lines; empty for
// a value outside UnknownSocketError .. ProxyProtocolError.
QString socketError2Str(QAbstractSocket::SocketError error);
