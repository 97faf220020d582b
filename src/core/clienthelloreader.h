#pragma once

#include <QByteArray>
#include <QString>

// Reading the server name a TLS client asks for from the first bytes it sends (its ClientHello),
// before any TLS processing. The bytes come straight from the network: every length in them is
// checked against what is actually there.

// Whether the bytes received so far can be inspected: for a handshake record (content type 22)
// only once the 5-byte record header and the whole record body are there; at once for any other
// first byte. False for no bytes at all.
bool checkSSLPackageReady(const QByteArray &data);

// The host name of the server_name extension of the ClientHello at the start of the data,
// decoded as Latin-1; empty when the data is not a complete ClientHello record or names no host.
QString getSNI(const QByteArray &data);
