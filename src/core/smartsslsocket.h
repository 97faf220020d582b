#pragma once

#include <QSslSocket>

class QTimer;

// A TLS socket that drops itself after a stretch without reads or writes. Its owner starts the
// inactivity timer when it begins a connection attempt; traffic restarts a running timer. Expiry
// ends the socket as SocketTimeoutHelper's does: in whatever state it is, reported once as
// errorOccurred(SocketTimeoutError).
class SmartSslSocket : public QSslSocket
{
    Q_OBJECT

public:
    static constexpr int kDefaultTimeout = 300000;

    explicit SmartSslSocket(QObject *parent = nullptr);
    ~SmartSslSocket() override;

    // Used by the next start or restart; a running timer keeps its interval until then.
    void setTimeout(int ms);
    int timeout() const { return m_timeout; }

public Q_SLOTS:
    void restartTimer();
    void startTimer();
    void stopTimer();
    void smartDisconnect();

private:
    QTimer *m_timer;
    int m_timeout = kDefaultTimeout;
};
