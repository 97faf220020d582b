#pragma once

#include <QObject>

class QAbstractSocket;

// A watchdog attached to a socket: it counts from the socket's connection, starts afresh on every
// read or write, and on expiry ends the socket and deletes itself. It is a child of the socket,
// so it also goes with it. Expiry is reported as the socket's own
// errorOccurred(SocketTimeoutError), once, in whatever state the socket is: an attempt still
// looking up or connecting is abandoned first (no disconnected() follows, as for any failed
// attempt); a connected socket reports first and is then closed, so disconnected() follows
// unless the user's error slot has already closed it or started a new attempt.
class SocketTimeoutHelper : public QObject
{
    Q_OBJECT

public:
    // errorString() of the socket after an expiry, as Qt words its own time-outs.
    static constexpr char kTimeoutText[] = "Socket operation timed out";

    SocketTimeoutHelper(QAbstractSocket *socket, qint64 timeout, bool startNow);
    ~SocketTimeoutHelper() override;

    // Ends a socket whose inactivity time ran out, as described above; SmartSslSocket's own
    // timer ends its socket the same way. The socket's user may delete it from its slots.
    static void expire(QAbstractSocket *socket);

    bool isCounting() const { return m_timerId > 0; }

public Q_SLOTS:
    void updateTime();
    void stop();
    void start();

protected:
    void timerEvent(QTimerEvent *event) override;

private:
    // Records the expiry as the socket's error and signals it from the socket.
    static void reportTimeout(QAbstractSocket *socket);

    QAbstractSocket *m_socket;
    qint64 m_timeout;
    int m_timerId = 0;
};
