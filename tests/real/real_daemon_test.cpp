// The session against real telnet daemons with the system's /bin/login, one daemon per case,
// started by tests/real/run-with-daemon inside private namespaces (see there). The session runs
// through a recording relay, so each case can say exactly what went over the wire both ways;
// the access-point shell's own log says what reached the shell.
#include <arpa/inet.h>
#include <dirent.h>
#include <signal.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <optional>
#include <set>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "environment.h"
#include "poller_rig.h"
#include "session_rig.h"

namespace approbe {
namespace {

using namespace test;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using ui::PresenterOptions;

// What run-with-daemon hands over in the environment.
struct Daemon {
    std::string name, user, password, shellLog;
    int port = 0;
};

// The values ap-shell answers with.
const Events kShellValues = {"field 1002 -93 dBm", "field 1015 -61 dBm", "field 1016 -64 dBm"};

// A loopback relay to the daemon that records both directions. One connection at a time, in the
// order they come, so that a case can run several sessions through it.
class WireTap {
public:
    explicit WireTap(int daemonPort) : m_daemonPort(daemonPort)
    {
        sockaddr_in a{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
        socklen_t len = sizeof a;
        if (::bind(m_listen, reinterpret_cast<sockaddr*>(&a), len) != 0 || ::listen(m_listen, 4) != 0 ||
            ::getsockname(m_listen, reinterpret_cast<sockaddr*>(&a), &len) != 0)
            throw std::runtime_error("wire tap: cannot listen on loopback");
        m_port = ntohs(a.sin_port);
        m_thread = std::thread([this] { Run(); });
    }
    ~WireTap()
    {
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = ::write(m_stop, &one, sizeof one);
        m_thread.join();
        ::close(m_listen);
        ::close(m_stop);
    }
    WireTap(const WireTap&) = delete;
    WireTap& operator=(const WireTap&) = delete;

    int port() const { return m_port; }
    // Everything the daemon sent, and everything sent to it, over all connections so far.
    std::string fromDaemon() { return Get(m_fromDaemon); }
    std::string toDaemon() { return Get(m_toDaemon); }
    // Connections that both sides have ended.
    int finished() { return m_finished; }
    // Connections that our side reset instead of closing.
    int resets() { return m_resets; }

private:
    std::string Get(const std::string& s)
    {
        std::lock_guard lock(m_mutex);
        return s;
    }

    // False when the stop was asked for.
    bool WaitReadable(pollfd* fds, nfds_t n)
    {
        std::vector<pollfd> all(fds, fds + n);
        all.push_back({m_stop, POLLIN, 0});
        while (::poll(all.data(), all.size(), -1) < 0) {
        }
        std::copy_n(all.begin(), n, fds);
        return !all.back().revents;
    }

    void Run()
    {
        for (;;) {
            pollfd p{m_listen, POLLIN, 0};
            if (!WaitReadable(&p, 1))
                return;
            const int client = ::accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
            if (client < 0)
                continue;
            const int daemon = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_in to{AF_INET, htons(static_cast<std::uint16_t>(m_daemonPort)), {htonl(INADDR_LOOPBACK)}, {}};
            const bool stopped = ::connect(daemon, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0 ||
                                 !Pump(client, daemon);
            ::close(client);
            ::close(daemon);
            ++m_finished;
            if (stopped)
                return;
        }
    }

    // Copies both ways until both have ended; an end of input is passed on as such (FIN), an
    // error ends both. False when the stop was asked for.
    bool Pump(int client, int daemon)
    {
        int fds[2] = {client, daemon};
        bool open[2] = {true, true};
        char buf[16384];
        while (open[0] || open[1]) {
            pollfd p[2] = {{open[0] ? fds[0] : -1, POLLIN, 0}, {open[1] ? fds[1] : -1, POLLIN, 0}};
            if (!WaitReadable(p, 2))
                return false;
            for (int k = 0; k < 2; ++k) {
                if (!p[k].revents)
                    continue;
                const ssize_t n = ::recv(fds[k], buf, sizeof buf, 0);
                if (n < 0) {
                    if (k == 0)
                        ++m_resets;
                    return true; // a reset: closing both passes it on
                }
                if (n == 0) {
                    open[k] = false;
                    ::shutdown(fds[1 - k], SHUT_WR);
                    continue;
                }
                {
                    std::lock_guard lock(m_mutex);
                    (k == 0 ? m_toDaemon : m_fromDaemon).append(buf, static_cast<std::size_t>(n));
                }
                if (::send(fds[1 - k], buf, static_cast<std::size_t>(n), MSG_NOSIGNAL) != n)
                    return true;
            }
        }
        return true;
    }

    int m_daemonPort;
    int m_port = 0;
    int m_listen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int m_stop = ::eventfd(0, EFD_CLOEXEC);
    std::mutex m_mutex;
    std::string m_fromDaemon, m_toDaemon;
    std::atomic<int> m_finished{0}, m_resets{0};
    std::thread m_thread;
};

// The processes of this PID namespace whose command name is one of names.
std::vector<std::string> Processes(const std::set<std::string>& names)
{
    std::vector<std::string> found;
    DIR* proc = ::opendir("/proc");
    while (dirent* e = proc ? ::readdir(proc) : nullptr) {
        if (e->d_name[0] < '1' || e->d_name[0] > '9')
            continue;
        std::string comm;
        std::getline(std::ifstream(std::string("/proc/") + e->d_name + "/comm"), comm);
        if (names.count(comm))
            found.push_back(comm + " (pid " + e->d_name + ")");
    }
    if (proc)
        ::closedir(proc);
    return found;
}

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        out.push_back(line);
    return out;
}

std::size_t Count(const std::string& haystack, const std::string& needle)
{
    std::size_t n = 0;
    for (auto at = haystack.find(needle); at != std::string::npos; at = haystack.find(needle, at + 1))
        ++n;
    return n;
}

class RealDaemonTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (const std::string why = Env("APPROBE_REAL_SKIP"); !why.empty())
            GTEST_SKIP() << why;
        if (Env("APPROBE_REAL_PORT").empty())
            GTEST_SKIP() << "real telnet daemon not run: start this program through tests/real/run-with-daemon "
                            "(CTest does)";
        daemon = {Env("APPROBE_REAL_DAEMON"), Env("APPROBE_REAL_USER"), Env("APPROBE_REAL_PASSWORD"),
                  Env("APPROBE_REAL_SHELL_LOG"), std::atoi(Env("APPROBE_REAL_PORT").c_str())};
        tap = std::make_unique<WireTap>(daemon.port);
    }

    // The session rig on the tap with the daemon's user and the given password, polling once a second.
    void StartRig(const std::string& password)
    {
        rig = std::make_unique<SessionRig>("127.0.0.1", std::to_string(tap->port()), daemon.user, password,
                                           PresenterOptions{});
    }

    // Connect; true when the shell's values are shown within timeout of it.
    static bool ConnectAndSeeValues(SessionRig& rig, std::chrono::milliseconds timeout)
    {
        const auto deadline = Clock::now() + timeout;
        rig.Connect();
        for (const std::string& e : kShellValues) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (!rig.window.waitForEvent(e, std::max(left, 0ms))) {
                ADD_FAILURE() << "no '" << e << "' within " << timeout.count() << " ms of Connect";
                return false;
            }
        }
        return true;
    }

    std::string ShellLog() { return ReadFileOrEmpty(daemon.shellLog); }
    // A file in the test user's home, where the shell's log lies: how a case sets the shell's mode.
    std::string HomeFile(const std::string& name)
    {
        return daemon.shellLog.substr(0, daemon.shellLog.rfind('/') + 1) + name;
    }
    static std::string ReadFileOrEmpty(const std::string& path)
    {
        std::ifstream in(path, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), {}};
    }
    // What the daemon sent, for failure messages.
    std::string Wire() { return "\nreceived from the daemon: " + ::testing::PrintToString(tap->fromDaemon()); }

    // Destroyed in reverse order: the rig before the tap.
    Daemon daemon;
    std::unique_ptr<WireTap> tap;
    std::unique_ptr<SessionRig> rig;
};

TEST_F(RealDaemonTest, LogsInAndShowsValuesWithin2sOfConnect)
{
    StartRig(daemon.password);
    EXPECT_TRUE(ConnectAndSeeValues(*rig, 2s)) << Wire();
    rig->Disconnect();
    EXPECT_TRUE(rig->WaitEnd(5s));
}

// "Last login: ..." holds "login:", but it is no prompt: the shell must see only polls.
TEST_F(RealDaemonTest, SecondLoginSendsTheShellNothingButPollCommands)
{
    StartRig(daemon.password);
    for (int session = 1; session <= 2; ++session) {
        SCOPED_TRACE("session " + std::to_string(session));
        rig->window.clearEvents();
        ASSERT_TRUE(ConnectAndSeeValues(*rig, 5s)) << Wire();
        ASSERT_TRUE(WaitUntil([&] { return Count(ShellLog(), "get nf\n") >= 2u * session; }));
        rig->Disconnect();
        ASSERT_TRUE(rig->WaitEnd(5s));
        ASSERT_TRUE(WaitUntil([&] { return tap->finished() == session; }));
    }
    EXPECT_NE(tap->fromDaemon().find("Last login:"), std::string::npos) << "the case needs it" << Wire();
    for (const std::string& line : Lines(ShellLog()))
        EXPECT_TRUE(line == "get station" || line == "get nf" || line == "q") << "the shell read: " << line;
}

TEST_F(RealDaemonTest, WrongPasswordIsSentOnceNeverEchoedAndEndsTheSessionRejected)
{
    const std::string wrong = "wrong-pass-3";
    StartRig(wrong);
    rig->Connect();
    // The login program waits a few seconds after a failure before it asks again.
    ASSERT_TRUE(rig->WaitEnd(20s));
    const std::string sent = tap->toDaemon(), received = tap->fromDaemon();
    const std::string shown = "\nsent: " + ::testing::PrintToString(sent);
    EXPECT_EQ(Count(sent, wrong), 1u) << shown;
    EXPECT_EQ(Count(received, wrong), 0u) << "echoed back" << Wire();
    // Typed: the user name and the password, once each, and nothing else (no poll, no farewell
    // into the login program's new prompt); the rest is the telnet layer's refusals.
    std::string typed;
    for (std::size_t i = 0; i < sent.size(); i += sent[i] == '\xff' ? 3 : 1) {
        if (sent[i] != '\xff')
            typed += sent[i];
    }
    EXPECT_EQ(typed, daemon.user + "\r" + wrong + "\r") << shown;
    EXPECT_EQ(ShellLog(), "") << "the shell never ran";
    const std::string rejected = kPrefix + "Login to 127.0.0.1 rejected";
    EXPECT_TRUE(rig->window.waitForEvent("caption " + rejected, 0ms));
    EXPECT_TRUE(rig->window.waitForEvent("log " + rejected, 0ms));
    ExpectTornDown(*rig, "login rejected");
}

TEST_F(RealDaemonTest, DisconnectEndsTheSessionWithin1s)
{
    StartRig(daemon.password);
    ASSERT_TRUE(ConnectAndSeeValues(*rig, 5s)) << Wire();
    const auto start = Clock::now();
    rig->Disconnect();
    EXPECT_TRUE(rig->WaitEnd(1s));
    EXPECT_LT(Clock::now() - start, 1s);
    ASSERT_TRUE(rig->WaitEnd(5s));
    ExpectTornDown(*rig);
}

TEST_F(RealDaemonTest, ClosingMidSessionLeavesNoLoginOrShellProcessBehind)
{
    // inetutils runs a telnetd per connection; busybox serves every connection from one process.
    const std::set<std::string> session = {"login", "ap-shell", "telnetd"};
    StartRig(daemon.password);
    ASSERT_TRUE(ConnectAndSeeValues(*rig, 5s)) << Wire();
    ASSERT_FALSE(Processes({"ap-shell"}).empty()) << "the shell must be running before the close";
    rig->window.onUiThread([&] { rig->presenter->BeginClose(); });
    ASSERT_TRUE(rig->presenter->WaitSessionEnd(2s));
    EXPECT_TRUE(WaitUntil([&] { return Processes(session).empty(); }, 5s, [] { std::this_thread::sleep_for(20ms); }))
        << ::testing::PrintToString(Processes(session));
}

// Exit and the poller's SIGTERM end a logged-in session with the farewell, then our side shut,
// then the daemon's close: the shell reads its q every time, and no reset reaches the daemon.
TEST_F(RealDaemonTest, ExitAndSigtermSayGoodbyeToTheShellWithoutAReset)
{
    for (int round = 1; round <= 3; ++round) {
        SCOPED_TRACE("Exit, round " + std::to_string(round));
        StartRig(daemon.password);
        ASSERT_TRUE(ConnectAndSeeValues(*rig, 5s)) << Wire();
        const auto start = Clock::now();
        rig->window.onUiThread([&] { rig->presenter->BeginClose(); });
        ASSERT_TRUE(rig->presenter->WaitSessionEnd(2s));
        EXPECT_LT(Clock::now() - start, 2s);
        rig.reset();
        ASSERT_TRUE(WaitUntil([&] { return tap->finished() == round; }, 5s));
        EXPECT_EQ(Count(ShellLog(), "q\n"), static_cast<std::size_t>(round)) << ShellLog();
    }
    EXPECT_EQ(tap->resets(), 0);

    for (int round = 1; round <= 3; ++round) {
        SCOPED_TRACE("SIGTERM, round " + std::to_string(round));
        PollerRig poller;
        poller.WriteConfig("[poller]\n[ap1]\nHost = 127.0.0.1\nPort = " + std::to_string(tap->port()) +
                           "\nUser = " + daemon.user + "\nPass = " + daemon.password + "\n");
        ASSERT_TRUE(poller.Start()) << poller.process->log();
        ASSERT_TRUE(poller.WaitSample("approbe_noise_floor_dbm", "ap1", "-93", 10s)) << poller.Metrics();
        const auto start = Clock::now();
        poller.process->signal(SIGTERM);
        EXPECT_EQ(poller.process->wait(2s), 0);
        EXPECT_LT(Clock::now() - start, 2s);
        ASSERT_TRUE(WaitUntil([&] { return tap->finished() == 3 + round; }, 5s));
        EXPECT_EQ(Count(ShellLog(), "q\n"), static_cast<std::size_t>(3 + round)) << ShellLog();
    }
    EXPECT_EQ(tap->resets(), 0);
}

// ap-shell's two-stations mode: station 1 at -62/-66 dBm, then 150 ms later, as a write of its
// own, station 2's row at -90/-91 dBm and the prompt. A reply is the table up to the prompt, and
// its reading station 1's, whichever piece came first.
TEST_F(RealDaemonTest, TheWindowAndThePollerShowStation1sValuesWhenTheTableComesInTwoPieces)
{
    WriteFile(HomeFile(".two-stations"), "");
    StartRig(daemon.password);
    rig->Connect();
    ASSERT_TRUE(rig->window.waitForEvent("field 1015 -62 dBm", 5s)) << Wire();
    ASSERT_TRUE(rig->window.waitForEvent("field 1016 -66 dBm", 5s)) << Wire();
    // Four tables in all, each in two pieces, and the noise reply after the last.
    ASSERT_TRUE(WaitUntil([&] { return Count(tap->fromDaemon(), "Noise Floor Level:") >= 4; }, 10s)) << Wire();
    EXPECT_GE(Count(tap->fromDaemon(), "Remote RSSI level: -91 dBm"), 4u) << Wire();
    rig->Disconnect();
    ASSERT_TRUE(rig->WaitEnd(5s));
    std::vector<std::string> shownLate;
    for (const std::string& e : rig->window.events("field "))
        if (e.find(" -90 dBm") != std::string::npos || e.find(" -91 dBm") != std::string::npos)
            shownLate.push_back(e);
    EXPECT_TRUE(shownLate.empty()) << "station 2's row shown: " << ::testing::PrintToString(shownLate);
    EXPECT_TRUE(rig->window.waitForEvent("field 1002 -93 dBm", 0ms));

    // The poller, straight to the daemon (the tap relays one connection at a time).
    PollerRig poller;
    poller.WriteConfig("[poller]\nPollMs = 500\n[ap1]\nHost = 127.0.0.1\nPort = " + std::to_string(daemon.port) +
                       "\nUser = " + daemon.user + "\nPass = " + daemon.password + "\n");
    ASSERT_TRUE(poller.Start()) << poller.process->log();
    ASSERT_TRUE(poller.WaitSample("approbe_local_rssi_dbm", "ap1", "-62", 10s)) << poller.Metrics();
    ASSERT_TRUE(poller.WaitSample("approbe_remote_rssi_dbm", "ap1", "-66", 5s)) << poller.Metrics();
    // Watched over four more polls: the late row's values never show.
    const auto late = [](const std::string& local, const std::string& remote) {
        return local == "-90" || remote == "-91";
    };
    const long polled = poller.Count("approbe_poll_commands_total", "ap1");
    ASSERT_TRUE(WaitUntil(
        [&] {
            const auto local = poller.Sample("approbe_local_rssi_dbm", "ap1").value_or("");
            const auto remote = poller.Sample("approbe_remote_rssi_dbm", "ap1").value_or("");
            EXPECT_FALSE(late(local, remote)) << "station 2's row shown: " << local << " / " << remote;
            return late(local, remote) || poller.Count("approbe_poll_commands_total", "ap1") >= polled + 8;
        },
        10s, [] { std::this_thread::sleep_for(20ms); }));
    EXPECT_EQ(poller.Sample("approbe_noise_floor_dbm", "ap1"), "-93");
}

} // namespace
} // namespace approbe
