#pragma once

#include <QObject>

class QAbstractSocket;

// A watchdog attached to a socket: it counts from the socket's connection, starts afresh on every
// read or write, and on expiry closes the socket and deletes itself. It is a child of the socket,
// so it also goes with it.
class SocketTimeoutHelper : public QObject
{
    Q_OBJECT

public:
    SocketTimeoutHelper(QAbstractSocket *socket, qint64 timeout, bool startNow);
    ~SocketTimeoutHelper() override;

    bool isCounting() const { return m_timerId > 0; }

public Q_SLOTS:
    void updateTime();
    void stop();
    void start();

protected:
    void timerEvent(QTimerEvent *event) override;

private:
    QAbstractSocket *m_socket;
    qint64 m_timeout;
    int m_timerId = 0;
};
