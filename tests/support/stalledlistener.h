#pragma once

#include <QHostAddress>
#include <arpa/inet.h>
#include <cerrno>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>
#include <vector>

namespace TestSupport {

// A loopback port whose listen queue is already full, so a further connection attempt to it
// stays in the connecting state (the kernel drops its handshake) until the attempt is abandoned.
class StalledListener
{
public:
    // A listener of its own, with room for exactly one queued connection, which a filler takes.
    explicit StalledListener(
        const QHostAddress &address = QHostAddress(QStringLiteral("127.0.0.2")))
        : m_address(address), m_listener(::socket(AF_INET, SOCK_STREAM, 0))
    {
        sockaddr_in local = endpoint(address, 0);
        auto *any = reinterpret_cast<sockaddr *>(&local);
        socklen_t length = sizeof(local);
        if (::bind(m_listener, any, length) == 0 && ::listen(m_listener, 0) == 0 &&
            ::getsockname(m_listener, any, &length) == 0 && queue(local, 0) == 0)
            m_port = ntohs(local.sin_port);
    }
    // The queue of a listener at the port that no longer accepts (for example after
    // QTcpServer::pauseAccepting()), filled by connections queued one after another until one of
    // them no longer completes.
    StalledListener(const QHostAddress &address, quint16 port) : m_address(address)
    {
        const sockaddr_in peer = endpoint(address, port);
        for (int i = 0; i < kMaxConnections; ++i) {
            // A loopback connection with room in the queue completes within connect() itself;
            // the time limit only ends the one that finds the queue full.
            const int result = queue(peer, 2);
            if (result != 0) {
                if (result == EINPROGRESS || result == EAGAIN)
                    m_port = port;
                return;
            }
        }
    }
    ~StalledListener()
    {
        for (const int filler : m_fillers)
            ::close(filler);
        if (m_listener >= 0)
            ::close(m_listener);
    }
    StalledListener(const StalledListener &) = delete;
    StalledListener &operator=(const StalledListener &) = delete;

    bool isValid() const { return m_port != 0; }
    QHostAddress address() const { return m_address; }
    quint16 port() const { return m_port; }

private:
    static constexpr int kMaxConnections = 5000;

    static sockaddr_in endpoint(const QHostAddress &address, quint16 port)
    {
        sockaddr_in result{};
        result.sin_family = AF_INET;
        result.sin_addr.s_addr = htonl(address.toIPv4Address());
        result.sin_port = htons(port);
        return result;
    }
    // Queues one more connection, giving up after limitSeconds (0: no limit). 0 when it
    // completed, else the error.
    int queue(const sockaddr_in &peer, time_t limitSeconds)
    {
        const int filler = ::socket(AF_INET, SOCK_STREAM, 0);
        if (filler < 0)
            return errno;
        m_fillers.push_back(filler);
        const timeval limit{limitSeconds, 0};
        ::setsockopt(filler, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof(limit));
        return ::connect(filler, reinterpret_cast<const sockaddr *>(&peer), sizeof(peer)) == 0
                   ? 0
                   : errno;
    }

    QHostAddress m_address;
    int m_listener = -1;
    std::vector<int> m_fillers;
    quint16 m_port = 0;
};

} // namespace TestSupport
