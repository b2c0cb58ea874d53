// The poll timer as the access point sees it: ten polls, each 1000 ms after the last within 10 ms.
// Run alone (RUN_SERIAL), since other tests' floods on a small machine delay the wake-ups measured.
// Each poll's time is the kernel's, of its arrival: how late the access point's own thread wakes
// to read it is no part of the measure.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <thread>

#include "gui_support.h"

namespace approbe {
namespace {

using namespace std::chrono_literals;
using namespace test;
using ui::IDOK;

// An access point on loopback that takes any login and notes when each poll arrives.
class PollClock {
public:
    PollClock()
    {
        ::bind(m_listener, reinterpret_cast<sockaddr*>(&m_addr), sizeof m_addr);
        ::listen(m_listener, 1);
        socklen_t len = sizeof m_addr;
        ::getsockname(m_listener, reinterpret_cast<sockaddr*>(&m_addr), &len);
        m_thread = std::thread([this] { Serve(); });
    }
    ~PollClock()
    {
        m_stop = true;
        m_thread.join();
        ::close(m_listener);
    }
    int port() const { return ntohs(m_addr.sin_port); }
    std::vector<std::chrono::nanoseconds> arrivals()
    {
        std::lock_guard lock(m_mutex);
        return m_arrivals;
    }

private:
    // Waits up to 50 ms for the fd to become readable, so that m_stop is honoured promptly.
    bool Readable(int fd) const
    {
        pollfd p{fd, POLLIN, 0};
        return ::poll(&p, 1, 50) > 0;
    }
    void Serve()
    {
        int conn = -1;
        while (!m_stop && conn < 0)
            if (Readable(m_listener))
                conn = ::accept(m_listener, nullptr, nullptr);
        if (conn < 0)
            return;
        const int on = 1;
        ::setsockopt(conn, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
        const std::string login = "login: ";
        ::send(conn, login.data(), login.size(), MSG_NOSIGNAL);
        std::string seen;
        int prompts = 1;
        while (!m_stop) {
            if (!Readable(conn))
                continue;
            char buf[512];
            std::chrono::nanoseconds now{};
            const ssize_t n = Receive(conn, buf, sizeof buf, now);
            if (n <= 0)
                break;
            seen.append(buf, static_cast<std::size_t>(n));
            // The user name and the password each end with a carriage return.
            if (const std::size_t cr = seen.find('\r'); prompts < 3 && cr != std::string::npos) {
                const std::string next = prompts++ == 1 ? "Password: " : "\r\nAP> ";
                ::send(conn, next.data(), next.size(), MSG_NOSIGNAL);
                seen.erase(0, cr + 1);
            }
            for (std::size_t at; (at = seen.find("get station")) != std::string::npos; seen.erase(0, at + 11)) {
                {
                    std::lock_guard lock(m_mutex);
                    m_arrivals.push_back(now);
                }
                // Answered, so that the access point is never taken for silent.
                const std::string reply = "\r\nNoise Floor Level: -90 dBm\r\nAP> ";
                ::send(conn, reply.data(), reply.size(), MSG_NOSIGNAL);
            }
        }
        ::close(conn);
    }

    // recv, with the time the kernel took the data in.
    static ssize_t Receive(int fd, char* buf, std::size_t size, std::chrono::nanoseconds& arrived)
    {
        iovec iov{buf, size};
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timespec))];
        msghdr msg{};
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        msg.msg_control = control;
        msg.msg_controllen = sizeof control;
        const ssize_t n = ::recvmsg(fd, &msg, 0);
        for (cmsghdr* c = CMSG_FIRSTHDR(&msg); n > 0 && c; c = CMSG_NXTHDR(&msg, c)) {
            if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SO_TIMESTAMPNS) {
                timespec ts{};
                std::memcpy(&ts, CMSG_DATA(c), sizeof ts);
                arrived = std::chrono::seconds(ts.tv_sec) + std::chrono::nanoseconds(ts.tv_nsec);
            }
        }
        return n;
    }

    int m_listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in m_addr{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    std::atomic<bool> m_stop{false};
    std::mutex m_mutex;
    std::vector<std::chrono::nanoseconds> m_arrivals; // the kernel's clock
    std::thread m_thread;
};

TEST(PollTimerTest, TenPollsReachTheAccessPoint1000MsApartWithin10Ms)
{
    PollClock ap;
    DialogRig rig("[Settings]\nHost=127.0.0.1\nPort=" + std::to_string(ap.port()) + "\nUser=admin\nPass=admin\n");
    QTest::mouseClick(rig.button(IDOK), Qt::LeftButton);
    ASSERT_TRUE(ServeUntil([&] { return ap.arrivals().size() >= 11; }, 15s));
    const auto times = ap.arrivals();
    std::string intervals;
    for (std::size_t i = 1; i < 11; ++i) {
        const auto ms = std::chrono::duration<double, std::milli>(times[i] - times[i - 1]).count();
        intervals += std::to_string(static_cast<int>(ms)) + " ";
        EXPECT_NEAR(ms, 1000.0, 10.0) << "poll " << i;
    }
    RecordProperty("poll_intervals_ms", intervals);
    rig.dlg->reject();
}

} // namespace
} // namespace approbe
