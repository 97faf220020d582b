#pragma once

#include <QSslSocket>

class QTimer;

// A TLS socket that drops itself after a stretch without reads or writes. Its owner starts the
// inactivity timer when it begins a connection attempt; traffic restarts a running timer. Expiry
// ends the socket in whatever state it is and reports it as errorOccurred(SocketTimeoutError),
// once: an attempt still looking up or connecting is abandoned first (no disconnected() follows,
// as for any failed attempt); a connected socket reports first and is then closed, so
// disconnected() follows unless the owner's error slot has already closed it.
class SmartSslSocket : public QSslSocket
{
    Q_OBJECT

public:
    static constexpr int kDefaultTimeout = 300000;
    // errorString() after an expiry, as Qt words its own time-outs.
    static constexpr char kTimeoutText[] = "Socket operation timed out";

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
    // Records and signals the expiry as the socket's error.
    void reportTimeout();

    QTimer *m_timer;
    int m_timeout = kDefaultTimeout;
};
