#include "connector.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace approbe::session {

void Connector::Reset(Addresses addresses)
{
    m_addresses = std::move(addresses);
    m_next = 0;
    m_error = 0;
}

int Connector::Next()
{
    while (m_next < m_addresses.size()) {
        const Address& address = m_addresses[m_next++];
        const auto* to = reinterpret_cast<const sockaddr*>(&address.storage);
        const int fd = ::socket(to->sa_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        // A step's few bytes must leave at once, not wait for the last segment's acknowledgement.
        const int one = 1;
        if (fd >= 0)
            ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        if (fd >= 0 && (::connect(fd, to, address.length) == 0 || errno == EINPROGRESS))
            return fd;
        m_error = errno;
        if (fd >= 0)
            ::close(fd);
    }
    return -1;
}

bool Connector::Made(int fd)
{
    int error = 0;
    socklen_t len = sizeof error;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) == 0 && error == 0)
        return true;
    m_error = error ? error : errno;
    return false;
}

std::string Connector::failure() const { return m_error ? std::strerror(m_error) : "no address"; }

} // namespace approbe::session
