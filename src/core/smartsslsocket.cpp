#include "core/smartsslsocket.h"

#include "core/sockettimeouthelper.h"
#include "log/logger.h"

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
    kLog.warn(this) << "timeout" << state();
    m_timer->stop();
    SocketTimeoutHelper::expire(this);
}
