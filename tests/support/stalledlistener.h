#pragma once

#include <QHostAddress>
#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

namespace TestSupport {

// A loopback port whose listen queue is already full, so a further connection attempt to it
// stays in the connecting state (the kernel drops its handshake) until the attempt is abandoned.
class StalledListener
{
public:
    explicit StalledListener(
        const QHostAddress &address = QHostAddress(QStringLiteral("127.0.0.2")))
        : m_address(address)
    {
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_addr.s_addr = htonl(address.toIPv4Address());
        auto *any = reinterpret_cast<sockaddr *>(&local);
        socklen_t length = sizeof(local);
        // A backlog of 0 leaves room for exactly one queued connection: the filler takes it.
        if (::bind(m_listener, any, length) == 0 && ::listen(m_listener, 0) == 0 &&
            ::getsockname(m_listener, any, &length) == 0 && ::connect(m_filler, any, length) == 0)
            m_port = ntohs(local.sin_port);
    }
    ~StalledListener()
    {
        ::close(m_filler);
        ::close(m_listener);
    }
    StalledListener(const StalledListener &) = delete;
    StalledListener &operator=(const StalledListener &) = delete;

    bool isValid() const { return m_port != 0; }
    QHostAddress address() const { return m_address; }
    quint16 port() const { return m_port; }

private:
    QHostAddress m_address;
    int m_listener = ::socket(AF_INET, SOCK_STREAM, 0);
    int m_filler = ::socket(AF_INET, SOCK_STREAM, 0);
    quint16 m_port = 0;
};

} // namespace TestSupport
