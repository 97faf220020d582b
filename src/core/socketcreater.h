#pragma once

#include <QtGlobal>

class QObject;
class QSslSocket;
class QTcpSocket;

// Makes client sockets with a fixed read buffer and, on request, an inactivity watchdog.
class SocketCreater
{
public:
    static constexpr qint64 kReadBufferSize = 8192;

    SocketCreater() = delete;

    // A socket owned by parent. A timeout of 1 ms or more attaches a SocketTimeoutHelper that
    // closes the socket after that long without traffic once it has connected.
    static QTcpSocket *createSocket(QObject *parent, int timeout);
    static QSslSocket *createSSLSocket(QObject *parent, int timeout);
};
