#include "core/socketcreater.h"

#include "core/sockettimeouthelper.h"
#include "log/logger.h"

#include <QSslSocket>
#include <QTcpSocket>

namespace {
const Log::Logger kLog("SocketCreater");

template <typename Socket>
Socket *prepared(Socket *socket, int timeout)
{
    socket->setReadBufferSize(SocketCreater::kReadBufferSize);
    if (timeout >= 1)
        new SocketTimeoutHelper(socket, timeout, false); // a child of the socket
    return socket;
}
} // namespace

QTcpSocket *SocketCreater::createSocket(QObject *parent, int timeout)
{
    kLog.trace() << "static QTcpSocket* SocketCreater::createSocket(QObject*, int)" << parent
                 << timeout;
    return prepared(new QTcpSocket(parent), timeout);
}

QSslSocket *SocketCreater::createSSLSocket(QObject *parent, int timeout)
{
    kLog.trace() << "static QSslSocket* SocketCreater::createSSLSocket(QObject*, int)" << parent
                 << timeout;
    return prepared(new QSslSocket(parent), timeout);
}
