#pragma once

#include "support/tlstestservice.h"

#include <QHostAddress>
#include <QObject>

namespace Relay {
class SessionManager;
}

namespace TestSupport {

// A phone as the relay sees it: a session manager that opens a session on a relay and serves
// "POP3" (TLS echo), "SMTP" (TLS sink) and "PMTP" (TLS echo) from services on 127.0.0.1.
class PhoneStandIn : public QObject
{
    Q_OBJECT
public:
    explicit PhoneStandIn(QObject *parent = nullptr);
    ~PhoneStandIn() override;

    // Starts the services; false when one cannot listen.
    bool start();
    void connectToRelay(const QHostAddress &address, quint16 port);
    // Waits for the session; its id, or 0.
    quint64 waitForSession(int timeout = 10000);
    Relay::SessionManager *sessionManager() const { return m_sessionManager; }
    TlsTestService *pop3() const { return m_pop3; }
    TlsTestService *smtp() const { return m_smtp; }
    TlsTestService *pmtp() const { return m_pmtp; }

private:
    Relay::SessionManager *m_sessionManager = nullptr;
    TlsTestService *m_pop3 = nullptr;
    TlsTestService *m_smtp = nullptr;
    TlsTestService *m_pmtp = nullptr;
};

} // namespace TestSupport
