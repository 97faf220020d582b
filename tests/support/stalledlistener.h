#pragma once

#include <QHostAddress>

namespace TestSupport {

// A loopback port whose listen queue is already full, so a further connection attempt to it
// stays in the connecting state (the kernel drops its handshake) until the attempt is abandoned.
class StalledListener
{
public:
    explicit StalledListener(const QHostAddress &address = QHostAddress(QStringLiteral("127.0.0.2")));
    ~StalledListener();
    StalledListener(const StalledListener &) = delete;
    StalledListener &operator=(const StalledListener &) = delete;

    bool isValid() const { return m_port != 0; }
    QHostAddress address() const { return m_address; }
    quint16 port() const { return m_port; }

private:
    QHostAddress m_address;
    quint16 m_port = 0;
    int m_listener = -1;
    int m_filler = -1;
};

} // namespace TestSupport
