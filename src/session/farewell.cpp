#include "farewell.h"

#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace approbe::session {

Farewells::~Farewells()
{
    for (auto& [key, d] : m_drains)
        ::close(d.fd);
}

void Farewells::Watch(std::uint64_t key, const Drain& d)
{
    epoll_event ev{};
    ev.events = EPOLLIN | (d.unsent.empty() ? 0u : EPOLLOUT);
    ev.data.u64 = m_tag | key;
    ::epoll_ctl(m_epoll, EPOLL_CTL_MOD, d.fd, &ev);
}

void Farewells::Close(std::map<std::uint64_t, Drain>::iterator it)
{
    ::epoll_ctl(m_epoll, EPOLL_CTL_DEL, it->second.fd, nullptr);
    ::close(it->second.fd);
    m_drains.erase(it);
}

void Farewells::Add(int fd, std::string unsent, bool shut, std::chrono::milliseconds deadline)
{
    Drain d;
    d.fd = fd;
    d.shut = shut;
    if (!shut)
        d.unsent = std::move(unsent);
    const auto now = Clock::now();
    d.shutAt = now + deadline / 2;
    d.deadline = now + deadline;
    const std::uint64_t key = m_next++;
    Watch(key, d);
    m_drains.emplace(key, std::move(d));
}

void Farewells::OnReady(std::uint64_t key)
{
    const auto it = m_drains.find(key);
    if (it == m_drains.end())
        return;
    Drain& d = it->second;
    if (!d.unsent.empty()) {
        const ssize_t n = ::send(d.fd, d.unsent.data(), d.unsent.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0)
            d.unsent.erase(0, static_cast<std::size_t>(n));
        else if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
            d.unsent.clear();
        if (d.unsent.empty())
            Watch(key, d);
    }
    char scratch[4096];
    for (;;) {
        const ssize_t n = ::recv(d.fd, scratch, sizeof scratch, MSG_DONTWAIT); // libssh may have made it blocking
        if (n > 0)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return;
        if (n < 0 && errno == EINTR)
            continue;
        break; // closed by the access point, or failed
    }
    Close(it);
}

Farewells::Clock::time_point Farewells::Tick(Clock::time_point now)
{
    Clock::time_point wake = Clock::time_point::max();
    for (auto it = m_drains.begin(); it != m_drains.end();) {
        Drain& d = it->second;
        if (!d.shut && d.unsent.empty() && d.shutAt <= now) {
            ::shutdown(d.fd, SHUT_WR);
            d.shut = true;
        }
        if (d.deadline <= now) {
            Close(it++);
            continue;
        }
        wake = std::min(wake, d.shut || !d.unsent.empty() ? d.deadline : std::min(d.shutAt, d.deadline));
        ++it;
    }
    return wake;
}

} // namespace approbe::session
