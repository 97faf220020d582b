#include "support/stalledlistener.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace TestSupport {

StalledListener::StalledListener(const QHostAddress &address) : m_address(address)
{
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(address.toIPv4Address());
    local.sin_port = 0;
    m_listener = ::socket(AF_INET, SOCK_STREAM, 0);
    if (m_listener < 0)
        return;
    socklen_t length = sizeof(local);
    // A backlog of 0 leaves room for exactly one queued connection: the filler takes it.
    if (::bind(m_listener, reinterpret_cast<sockaddr *>(&local), sizeof(local)) != 0
        || ::listen(m_listener, 0) != 0
        || ::getsockname(m_listener, reinterpret_cast<sockaddr *>(&local), &length) != 0) {
        return;
    }
    m_filler = ::socket(AF_INET, SOCK_STREAM, 0);
    if (m_filler < 0
        || ::connect(m_filler, reinterpret_cast<sockaddr *>(&local), sizeof(local)) != 0) {
        return;
    }
    m_port = ntohs(local.sin_port);
}

StalledListener::~StalledListener()
{
    if (m_filler >= 0)
        ::close(m_filler);
    if (m_listener >= 0)
        ::close(m_listener);
}

} // namespace TestSupport
