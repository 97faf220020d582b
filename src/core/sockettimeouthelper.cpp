#include "core/sockettimeouthelper.h"

#include "log/logger.h"

#include <QAbstractSocket>
#include <QTimerEvent>
#include <limits>

namespace {
const Log::Logger kLog("SocketTimeoutHelper");
}

SocketTimeoutHelper::SocketTimeoutHelper(QAbstractSocket *socket, qint64 timeout, bool startNow)
    : QObject(socket), m_socket(socket), m_timeout(timeout)
{
    connect(socket, &QIODevice::readyRead, this, &SocketTimeoutHelper::updateTime);
    connect(socket, &QIODevice::bytesWritten, this, &SocketTimeoutHelper::updateTime);
    connect(socket, &QAbstractSocket::connected, this, &SocketTimeoutHelper::start);
    connect(socket, &QAbstractSocket::disconnected, this, &SocketTimeoutHelper::stop);
    if (startNow)
        start();
}

SocketTimeoutHelper::~SocketTimeoutHelper() = default;

void SocketTimeoutHelper::updateTime()
{
    stop();
    start();
}

void SocketTimeoutHelper::stop()
{
    if (m_timerId > 0) {
        killTimer(m_timerId);
        m_timerId = 0;
    }
}

void SocketTimeoutHelper::start()
{
    kLog.trace(this) << "void SocketTimeoutHelper::start()";
    // Started at once and then again on connection: exactly one timer may count.
    stop();
    const qint64 interval =
        qBound<qint64>(0, m_timeout, std::numeric_limits<int>::max());
    m_timerId = QObject::startTimer(int(interval), Qt::CoarseTimer);
}

void SocketTimeoutHelper::timerEvent(QTimerEvent *event)
{
    kLog.trace(this) << m_socket << "timeout";
    if (event->timerId() != m_timerId) {
        event->ignore();
        return;
    }
    event->accept();
    stop();
    // Closing gracefully waits for a pending connection to complete first, which may never
    // happen; an attempt still under way is abandoned instead.
    const QAbstractSocket::SocketState state = m_socket->state();
    if (state == QAbstractSocket::HostLookupState || state == QAbstractSocket::ConnectingState)
        m_socket->abort();
    else
        m_socket->disconnectFromHost();
    deleteLater();
}
