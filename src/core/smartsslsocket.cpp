#include "core/smartsslsocket.h"

#include "log/logger.h"

#include <QPointer>
#include <QTimer>

namespace {
const Log::Logger kLog("SmartSslSocket");
}

SmartSslSocket::SmartSslSocket(QObject *parent) : QSslSocket(parent), m_timer(new QTimer(this))
{
    m_timer->setObjectName(QStringLiteral("inactivityTimer"));
    connect(m_timer, &QTimer::timeout, this, &SmartSslSocket::smartDisconnect);
    connect(this, &QIODevice::bytesWritten, this, &SmartSslSocket::restartTimer);
    connect(this, &QIODevice::readyRead, this, &SmartSslSocket::restartTimer);
    connect(this, &QAbstractSocket::disconnected, this, &SmartSslSocket::stopTimer);
}

SmartSslSocket::~SmartSslSocket()
{
    // The base class closes the socket in its destructor and may signal then; this part of the
    // object is already gone by that time.
    disconnect(this, nullptr, this, nullptr);
}

void SmartSslSocket::setTimeout(int ms)
{
    kLog.trace(this) << "void SmartSslSocket::setTimeout(int)" << ms;
    m_timeout = ms;
}

void SmartSslSocket::restartTimer()
{
    if (m_timer->isActive())
        m_timer->start(m_timeout);
}

void SmartSslSocket::startTimer()
{
    kLog.trace(this) << "Started";
    m_timer->start(m_timeout);
}

void SmartSslSocket::stopTimer()
{
    kLog.trace(this) << "Stopped";
    m_timer->stop();
}

void SmartSslSocket::smartDisconnect()
{
    const SocketState expiredIn = state();
    kLog.warn(this) << "timeout" << expiredIn;
    m_timer->stop();
    if (expiredIn == UnconnectedState)
        return; // nothing left to end; the attempt has already reported how it ended
    const QPointer<SmartSslSocket> self(this);
    if (expiredIn == HostLookupState || expiredIn == ConnectingState) {
        // A graceful close of such an attempt would only take effect once it connects, which may
        // be never. Abandoning it signals nothing, so the error below is all its owner hears,
        // and the owner may start a new attempt from its slot.
        abort();
        if (self)
            reportTimeout();
        return;
    }
    reportTimeout();
    // The owner's slot may have deleted or closed the socket, or started a new attempt (with or
    // without the timer): only the connection that went quiet is ended.
    if (!self || m_timer->isActive() || (state() != ConnectedState && state() != ClosingState))
        return;
    disconnectFromHost();
    // Bytes the silent peer never took would hold a graceful close open for ever. A slot of
    // disconnected() may have started a new attempt already; that one is left alone.
    if (self && state() == ClosingState)
        abort();
}

void SmartSslSocket::reportTimeout()
{
    setSocketError(SocketTimeoutError);
    setErrorString(QString::fromLatin1(kTimeoutText));
    Q_EMIT errorOccurred(SocketTimeoutError);
}
