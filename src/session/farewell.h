#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <string>

// Connections whose session is over, kept until the access point has closed them. A shell leaves on
// its q, and its access point then closes; our side is shut only if it has not done so soon,
// because a telnet daemon that sees our end of input first may end the shell before it has read
// the q. We close once the access point has: closing with its reply unread would reset the
// connection.
namespace approbe::session {

class Farewells {
public:
    using Clock = std::chrono::steady_clock;

    // epoll: the loop's set; keys are tag | a number of this class's own.
    Farewells(int epoll, std::uint64_t tag) : m_epoll(epoll), m_tag(tag) {}
    ~Farewells();
    Farewells(const Farewells&) = delete;
    Farewells& operator=(const Farewells&) = delete;

    // Takes fd (already in the epoll set) and what is still to go out on it. shut: our sending
    // side is shut already (Disconnect did), so nothing more goes out.
    void Add(int fd, std::string unsent, bool shut, std::chrono::milliseconds deadline);
    // epoll said the connection of key (without the tag) is ready.
    void OnReady(std::uint64_t key);
    // Shuts our side of those whose access point did not close soon, closes those whose deadline
    // has passed; the next time this needs to run.
    Clock::time_point Tick(Clock::time_point now);
    bool empty() const { return m_drains.empty(); }

private:
    struct Drain {
        int fd = -1;
        std::string unsent;
        bool shut = false;
        Clock::time_point shutAt, deadline;
    };
    void Watch(std::uint64_t key, const Drain& d);
    void Close(std::map<std::uint64_t, Drain>::iterator it);

    const int m_epoll;
    const std::uint64_t m_tag;
    std::map<std::uint64_t, Drain> m_drains;
    std::uint64_t m_next = 1;
};

} // namespace approbe::session
