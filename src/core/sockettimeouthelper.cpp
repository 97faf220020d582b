#include "core/sockettimeouthelper.h"

#include "log/logger.h"

#include <QAbstractSocket>
#include <QPointer>
#include <QTimerEvent>
#include <limits>

namespace {
const Log::Logger kLog("SocketTimeoutHelper");

// The socket records its own errors through protected setters; a pointer to them, formed in a
// derived class, lets the watchdog record the expiry the same way on any socket.
struct SocketErrorSetters : QAbstractSocket
{
    static void set(QAbstractSocket *socket, SocketError error, const QString &text)
    {
        (socket->*&SocketErrorSetters::setSocketError)(error);
        (socket->*&SocketErrorSetters::setErrorString)(text);
    }
};
} // namespace

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
    const qint64 interval = qBound<qint64>(0, m_timeout, std::numeric_limits<int>::max());
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
    const QPointer<SocketTimeoutHelper> self(this);
    expire(m_socket);
    // The user's slot may have deleted the socket, and the watchdog with it.
    if (self)
        deleteLater();
}

void SocketTimeoutHelper::expire(QAbstractSocket *watched)
{
    const QPointer<QAbstractSocket> socket(watched);
    const QAbstractSocket::SocketState state = socket->state();
    if (state == QAbstractSocket::UnconnectedState)
        return; // nothing left to end; the attempt has already reported how it ended
    if (state == QAbstractSocket::HostLookupState || state == QAbstractSocket::ConnectingState) {
        // Closing gracefully waits for a pending connection to complete first, which may never
        // happen; the attempt is abandoned instead, which signals nothing, so the error below is
        // all the socket's user hears, and the user may start a new attempt from its slot.
        socket->abort();
        if (socket)
            reportTimeout(socket);
        return;
    }
    reportTimeout(socket);
    // The user's slot may have closed the socket, deleted it, or started a new attempt: only the
    // connection that went quiet is ended.
    if (!socket || (socket->state() != QAbstractSocket::ConnectedState &&
                    socket->state() != QAbstractSocket::ClosingState)) {
        return;
    }
    socket->disconnectFromHost();
    // Bytes the silent peer never took would hold a graceful close open for ever. A slot of
    // disconnected() may have started a new attempt already; that one is left alone.
    if (socket && socket->state() == QAbstractSocket::ClosingState)
        socket->abort();
}

void SocketTimeoutHelper::reportTimeout(QAbstractSocket *socket)
{
    SocketErrorSetters::set(socket, QAbstractSocket::SocketTimeoutError,
                            QString::fromLatin1(kTimeoutText));
    Q_EMIT socket->errorOccurred(QAbstractSocket::SocketTimeoutError);
}
