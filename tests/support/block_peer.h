#pragma once

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

#include "loopback.h"

namespace approbe::test {

// An access point on a bare loopback socket for cases that depend on how replies are cut: it
// sends each block as a write of its own (a pause between, so each is a segment of its own), then
// ends its side (or holds it open, with holdOpen, until the client closes), and keeps every byte
// the client sent until the client's end.
class BlockPeer {
public:
    explicit BlockPeer(std::deque<std::string> blocks, bool holdOpen = false)
        : m_blocks(std::move(blocks)), m_holdOpen(holdOpen), m_thread([this] { Serve(); })
    {
    }
    ~BlockPeer()
    {
        ::shutdown(m_listener.fd(), SHUT_RDWR); // ends an accept still waiting
        m_thread.join();
    }
    BlockPeer(const BlockPeer&) = delete;
    BlockPeer& operator=(const BlockPeer&) = delete;

    int port() const { return m_listener.port(); }
    // What the client sent, once it has ended its side (or after timeout).
    std::string Received(std::chrono::milliseconds timeout = std::chrono::seconds(5))
    {
        std::unique_lock lock(m_mutex);
        m_changed.wait_for(lock, timeout, [this] { return m_ended; });
        return m_received;
    }
    // What the client has sent so far.
    std::string SoFar()
    {
        std::lock_guard lock(m_mutex);
        return m_received;
    }

private:
    void Serve()
    {
        const int fd = ::accept(m_listener.fd(), nullptr, nullptr);
        if (fd < 0) {
            Finish();
            return;
        }
        const int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        std::thread reader([this, fd] {
            char buf[4096];
            for (ssize_t n; (n = ::recv(fd, buf, sizeof buf, 0)) > 0;) {
                std::lock_guard lock(m_mutex);
                m_received.append(buf, static_cast<std::size_t>(n));
            }
            Finish();
        });
        for (const std::string& block : m_blocks) {
            ::send(fd, block.data(), block.size(), MSG_NOSIGNAL);
            std::this_thread::sleep_for(std::chrono::milliseconds(30));
        }
        if (!m_holdOpen)
            ::shutdown(fd, SHUT_WR);
        reader.join();
        ::close(fd);
    }
    void Finish()
    {
        std::lock_guard lock(m_mutex);
        m_ended = true;
        m_changed.notify_all();
    }

    Listener m_listener;
    std::deque<std::string> m_blocks;
    bool m_holdOpen;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::string m_received;
    bool m_ended = false;
    std::thread m_thread; // last: it serves once the rest is made
};

} // namespace approbe::test
