#pragma once

#include "relay/v2/connectionmanager.h"
#include "relay/v2/sessionmanager.h"
#include "support/tlstestservice.h"

#include <QTest>
#include <memory>

namespace TestSupport {

// A phone as the relay sees it: a session manager that opens a session on a relay and serves
// "POP3" (TLS echo), "SMTP" (TLS sink) and "PMTP" (TLS echo) from services on 127.0.0.1.
class PhoneStandIn
{
public:
    // Starts the services; false when one cannot listen.
    bool start()
    {
        const std::pair<QByteArray, TlsTestService *> services[] = {{Relay::kServicePOP3, pop3()},
                                                                    {Relay::kServiceSMTP, smtp()},
                                                                    {Relay::kServicePMTP, pmtp()}};
        int type = 0;
        for (const auto &[serviceId, service] : services) {
            if (!service->isListening() && !service->start())
                return false;
            m_sessionManager.addLocalForward(serviceId, service->port());
            m_sessionManager.addLocalForwardConnectionType(serviceId, ++type);
        }
        return true;
    }
    void connectToRelay(const QHostAddress &address, quint16 port)
    {
        m_sessionManager.connectToRelay(address, port);
    }
    // Waits for the session; its id, or 0.
    quint64 waitForSession(int timeout = 10000)
    {
        const auto up = [this] { return m_sessionManager.sessionId() != 0; };
        return QTest::qWaitFor(up, timeout) ? m_sessionManager.sessionId() : 0;
    }
    Relay::SessionManager *sessionManager() { return &m_sessionManager; }
    TlsTestService *pop3() const { return m_pop3.get(); }
    TlsTestService *smtp() const { return m_smtp.get(); }
    TlsTestService *pmtp() const { return m_pmtp.get(); }

private:
    const std::unique_ptr<TlsTestService> m_pop3 =
        std::make_unique<TlsTestService>(TlsTestService::kEcho);
    const std::unique_ptr<TlsTestService> m_smtp =
        std::make_unique<TlsTestService>(TlsTestService::kSink);
    const std::unique_ptr<TlsTestService> m_pmtp =
        std::make_unique<TlsTestService>(TlsTestService::kEcho);
    Relay::SessionManager m_sessionManager; // goes first, before the services it connects to
};

} // namespace TestSupport
