#include "support/phonestandin.h"

#include "relay/v2/connectionmanager.h"
#include "relay/v2/sessionmanager.h"

#include <QElapsedTimer>
#include <QtTest>

namespace TestSupport {

PhoneStandIn::PhoneStandIn(QObject *parent) : QObject(parent)
{
    m_sessionManager = new Relay::SessionManager(this);
    m_pop3 = new TlsTestService(TlsTestService::kEcho, this);
    m_smtp = new TlsTestService(TlsTestService::kSink, this);
    m_pmtp = new TlsTestService(TlsTestService::kEcho, this);
}

PhoneStandIn::~PhoneStandIn() = default;

bool PhoneStandIn::start()
{
    const struct {
        const QByteArray &serviceId;
        TlsTestService *service;
    } services[] = {{Relay::kServicePOP3, m_pop3},
                    {Relay::kServiceSMTP, m_smtp},
                    {Relay::kServicePMTP, m_pmtp}};
    int type = 0;
    for (const auto &entry : services) {
        if (!entry.service->isListening() && !entry.service->start())
            return false;
        m_sessionManager->addLocalForward(entry.serviceId, entry.service->port());
        m_sessionManager->addLocalForwardConnectionType(entry.serviceId, ++type);
    }
    return true;
}

void PhoneStandIn::connectToRelay(const QHostAddress &address, quint16 port)
{
    m_sessionManager->connectToRelay(address, port);
}

quint64 PhoneStandIn::waitForSession(int timeout)
{
    QElapsedTimer timer;
    timer.start();
    while (m_sessionManager->sessionId() == 0 && timer.elapsed() < timeout)
        QTest::qWait(5);
    return m_sessionManager->sessionId();
}

} // namespace TestSupport
