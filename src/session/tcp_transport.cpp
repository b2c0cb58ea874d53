#include "tcp_transport.h"

#include <sys/epoll.h>
#include <sys/socket.h>

#include <cerrno>

namespace approbe::session {
namespace {

// Bytes taken from one connection per wake-up, so that a flood cannot starve the others: eight
// of the engine's blocks, in one read (epoll tells again of what is left).
constexpr std::size_t kBytesPerWake = 8 * SessionEngine::kMaxBlock;
// Unsent bytes beyond this mean the access point stopped reading: the session has failed.
constexpr std::size_t kMaxUnsent = 64 * 1024;

} // namespace

void TcpTransport::Connected(int fd, ITransportEvents& events)
{
    m_fd = fd;
    m_events = &events;
}

void TcpTransport::OnReady(std::uint32_t epollEvents)
{
    if (epollEvents & EPOLLOUT)
        Flush();
    if (m_fd >= 0 && (epollEvents & (EPOLLIN | EPOLLHUP | EPOLLERR)))
        Read();
}

void TcpTransport::Read()
{
    char buf[kBytesPerWake];
    const ssize_t n = ::recv(m_fd, buf, sizeof buf, MSG_DONTWAIT);
    // One read a wake-up, and no second one to hear EAGAIN: that would cost a system call a reply.
    if (n > 0) {
        m_events->Received(std::string_view(buf, static_cast<std::size_t>(n)));
    } else if (n == 0) {
        m_peerClosed = true;
        m_events->Lost(SessionEnd::PeerClosed);
    } else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
        m_events->Lost(SessionEnd::ReceiveFailed);
    }
}

void TcpTransport::Write(const std::string& bytes)
{
    if (m_fd >= 0 && !m_writeShut)
        m_unsent += bytes;
}

void TcpTransport::Flush()
{
    if (m_fd < 0)
        return;
    while (!m_unsent.empty()) {
        const ssize_t n = ::send(m_fd, m_unsent.data(), m_unsent.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            m_unsent.erase(0, static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
            m_unsent.clear(); // the receive side learns of the failure
        break;
    }
    m_overflow = m_unsent.size() > kMaxUnsent;
    const bool wantWrite = !m_unsent.empty();
    if (wantWrite != m_writeWait) {
        m_writeWait = wantWrite;
        m_events->WatchSocket(EPOLLIN | (wantWrite ? EPOLLOUT : 0u));
    }
}

ITransport::Shut TcpTransport::ShutSending()
{
    Flush();
    m_writeShut = ::shutdown(m_fd, SHUT_WR) == 0;
    return m_writeShut ? Shut::Waiting : Shut::Failed;
}

Leftover TcpTransport::Close()
{
    Leftover left;
    if (m_fd < 0)
        return left;
    if (m_peerClosed || m_overflow) {
        Flush(); // the farewell still goes out to an access point that has only ended its side
    } else {
        left.drain = true;
        left.unsent = std::move(m_unsent);
        left.shut = m_writeShut;
    }
    m_fd = -1;
    m_unsent.clear();
    return left;
}

} // namespace approbe::session
