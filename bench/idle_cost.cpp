// Figure 3: what a logged-in, polling session costs while nothing else happens: CPU time and
// thread wake-ups per second of the whole process. Floor (--floor, run at the same time as a
// process of its own): the poll and its reply done the plainest way with the same window work: a
// 1 s timer sending the same commands, a thread blocked in recv, and for each reply block the
// same synchronous window calls the program makes for it.
#include <QTimer>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "bench_support.h"
#include "benchmarks.h"

namespace approbe::bench {
namespace {

class FloorPoller {
public:
    explicit FloorPoller(DialogRig& rig) : m_mirror(rig) {}
    ~FloorPoller()
    {
        m_timer.stop();
        if (m_fd >= 0)
            ::shutdown(m_fd, SHUT_RDWR); // wakes the receiver
        if (m_receiver.joinable())
            m_receiver.join();
        if (m_fd >= 0)
            ::close(m_fd);
    }

    bool Login(int port)
    {
        m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int one = 1;
        ::setsockopt(m_fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<std::uint16_t>(port));
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(m_fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
            return false;
        return Await("login: ") && Send("admin\r") && Await("Password: ") && Send("admin\r") && Await("AP> ");
    }

    long calls() const { return m_mirror.calls(); }

    void Start()
    {
        m_receiver = std::thread([this] { Receive(); });
        m_timer.setInterval(1000);
        QObject::connect(&m_timer, &QTimer::timeout, [this] {
            // The same four writes as the program's poll.
            for (const char* part : {"get station", "\r\n", "get nf", "\r\n"})
                Send(part);
        });
        m_timer.start();
    }

private:
    bool Send(const char* text)
    {
        return ::send(m_fd, text, std::strlen(text), MSG_NOSIGNAL | MSG_DONTWAIT) > 0;
    }

    bool Await(const char* needle)
    {
        std::string seen;
        const auto deadline = Clock::now() + 5s;
        while (Clock::now() < deadline && seen.find(needle) == std::string::npos) {
            pollfd p{m_fd, POLLIN, 0};
            if (::poll(&p, 1, 100) <= 0)
                continue;
            char buf[256];
            const ssize_t n = ::recv(m_fd, buf, sizeof buf, 0);
            if (n <= 0)
                return false;
            seen.append(buf, static_cast<std::size_t>(n));
        }
        return seen.find(needle) != std::string::npos;
    }

    static bool Find(const char* text, const char* label, int& value)
    {
        const char* at = std::strstr(text, label);
        if (at)
            value = std::atoi(at + std::strlen(label) + 1);
        return at != nullptr;
    }

    void Receive()
    {
        char buf[512];
        // Bounded by the session: ends when the socket is shut down or closed.
        for (;;) {
            const ssize_t n = ::recv(m_fd, buf, sizeof buf - 1, 0);
            if (n <= 0)
                return;
            buf[n] = 0;
            Reading r{};
            const bool noise = Find(buf, "Level:", r.noise);
            const bool local = Find(buf, "Local RSSI level:", r.local);
            const bool remote = Find(buf, "Remote RSSI level:", r.remote);
            m_mirror.Labels(r, static_cast<long>(n), noise, local, remote);
        }
    }

    MirrorWriter m_mirror;
    QTimer m_timer;
    int m_fd = -1;
    std::thread m_receiver;
};

} // namespace

int RunIdle(const Options& o)
{
    const double seconds = o.seconds > 0 ? o.seconds : 60;
    constexpr int kWindows = 6;
    const auto window = std::chrono::milliseconds(static_cast<long>(seconds * 1000 / kWindows));
    const char* side = o.floor ? "floor" : "ours";
    SimChild sim;
    DialogRig rig(sim.port());
    std::unique_ptr<FloorPoller> poller;
    if (o.floor) {
        poller = std::make_unique<FloorPoller>(rig);
        if (!poller->Login(sim.port())) {
            std::fputs("idle: the floor could not log in to the simulator\n", stderr);
            return 1;
        }
        poller->Start();
    } else if (!rig.Connect(10s)) {
        std::fputs("idle: the session did not log in\n", stderr);
        return 1;
    }
    CallCounter dialogCalls(&rig.dlg());
    // The program's window calls reach the dialog; the floor's are counted where they are made.
    auto calls = [&] { return poller ? poller->calls() : dialogCalls.count(); };
    ServeFor(2s); // settle: the first polls' replies, caches

    std::vector<double> cpu, wakeups;
    const std::int64_t cpuStart = ProcessCpuNs();
    const long long switchesStart = ContextSwitches();
    const double statStart = ProcStatCpuMs();
    const long callsStart = calls();
    const std::int64_t start = NowNs();
    for (int w = 0; w < kWindows; ++w) {
        const std::int64_t c0 = ProcessCpuNs(), t0 = NowNs();
        const long long s0 = ContextSwitches();
        ServeFor(window);
        const double secs = static_cast<double>(NowNs() - t0) / 1e9;
        cpu.push_back(static_cast<double>(ProcessCpuNs() - c0) / 1e6 / secs);
        wakeups.push_back(static_cast<double>(ContextSwitches() - s0) / secs);
    }
    const double secs = static_cast<double>(NowNs() - start) / 1e9;
    const double statMs = ProcStatCpuMs() - statStart;
    Note("idle %s, %.0f s: CPU %.3f ms/s (utime+stime %.2f ms/s), %.1f wake-ups/s, %.1f synchronous window calls/s",
         side, secs, static_cast<double>(ProcessCpuNs() - cpuStart) / 1e6 / secs, statMs / secs,
         static_cast<double>(ContextSwitches() - switchesStart) / secs,
         static_cast<double>(calls() - callsStart) / secs);
    Result(std::string("idle_cpu_ms_per_s.") + side, Median(cpu));
    Result(std::string("idle_wakeups_per_s.") + side, Median(wakeups));
    return 0;
}

} // namespace approbe::bench
