#pragma once

#include <QHostAddress>
#include <arpa/inet.h>
#include <cerrno>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>
#include <vector>

namespace TestSupport {

// Fills the listen queue of a loopback port whose listener has stopped accepting (for example
// after QTcpServer::pauseAccepting()), so that a further connection attempt to it stays in the
// connecting state (the kernel drops its handshake) until the attempt is abandoned. Connections
// are queued one after another until one of them no longer completes.
class BacklogFiller
{
public:
    BacklogFiller(const QHostAddress &address, quint16 port)
    {
        sockaddr_in peer{};
        peer.sin_family = AF_INET;
        peer.sin_addr.s_addr = htonl(address.toIPv4Address());
        peer.sin_port = htons(port);
        // A loopback connection with room in the queue completes within connect() itself; the
        // limit only ends the one that finds the queue full.
        const timeval limit{2, 0};
        for (int i = 0; i < kMaxConnections; ++i) {
            const int filler = ::socket(AF_INET, SOCK_STREAM, 0);
            if (filler < 0)
                return;
            m_fillers.push_back(filler);
            ::setsockopt(filler, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof(limit));
            if (::connect(filler, reinterpret_cast<sockaddr *>(&peer), sizeof(peer)) != 0) {
                m_full = errno == EINPROGRESS || errno == EAGAIN;
                return;
            }
        }
    }
    ~BacklogFiller()
    {
        for (const int filler : m_fillers)
            ::close(filler);
    }
    BacklogFiller(const BacklogFiller &) = delete;
    BacklogFiller &operator=(const BacklogFiller &) = delete;

    // True once a connection stalled: the next attempt stalls too.
    bool isFull() const { return m_full; }

private:
    static constexpr int kMaxConnections = 5000;

    std::vector<int> m_fillers;
    bool m_full = false;
};

} // namespace TestSupport
