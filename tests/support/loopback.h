#pragma once

// What tests of all kinds share: a wait with a deadline, and loopback ports that misbehave.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <thread>
#include <vector>

namespace approbe::test {

// Polls pred until it holds or the timeout passes, running between() between looks (by default a
// short sleep); returns whether it holds.
template <typename Pred, typename Between = void (*)()>
bool WaitUntil(Pred pred, std::chrono::milliseconds timeout = std::chrono::seconds(5),
               Between between = [] { std::this_thread::sleep_for(std::chrono::microseconds(100)); })
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        between();
    }
    return true;
}

// A loopback listener; with full, its accept queue is filled, so that a further connect is
// never answered.
class Listener {
public:
    explicit Listener(bool full = false)
    {
        ::bind(m_fd, Addr(), sizeof m_addr);
        ::listen(m_fd, 0);
        socklen_t len = sizeof m_addr;
        ::getsockname(m_fd, Addr(), &len);
        for (int i = 0; full && i < 3; ++i) {
            m_fillers.push_back(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0));
            ::connect(m_fillers.back(), Addr(), sizeof m_addr);
        }
    }
    ~Listener()
    {
        for (int fd : m_fillers)
            ::close(fd);
        ::close(m_fd);
    }
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;
    int port() const { return ntohs(m_addr.sin_port); }
    int fd() const { return m_fd; }

private:
    sockaddr* Addr() { return reinterpret_cast<sockaddr*>(&m_addr); }
    int m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in m_addr{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    std::vector<int> m_fillers;
};

// A loopback port with nothing listening on it.
inline int ClosedPort()
{
    return Listener().port();
}

} // namespace approbe::test
