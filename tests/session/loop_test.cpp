// The session loop against loopback peers, with short deadlines: silence, Disconnect's grace, the
// farewell without a reset, the connect deadline, every address in turn, the retry schedule,
// commands from another thread in every state, SSH loaded by the first SSH session only; and
// automatic detection against the simulator playing each built-in device type.
#include <gtest/gtest.h>

#include <netdb.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <future>
#include <map>
#include <mutex>
#include <thread>

#include "host.h"
#include "loop.h"
#include "loopback.h"
#include "sim_process.h"

namespace approbe::session {
namespace {

using namespace std::chrono_literals;
using test::Listener;
using test::SimProcess;

// Every event as a line: "attempt 0", "status TEXT", "state ended silent", "stale 1", ...
class Recorder : public ISessionEvents {
public:
    void OnSessionEvent(SessionId, const SessionEvent& e) override
    {
        std::string line;
        switch (e.kind) {
        case SessionEvent::Kind::Engine:
            switch (e.action.kind) {
            case SessionAction::Kind::Status: line = "status " + e.action.text; break;
            case SessionAction::Kind::State:
                line = std::string("state ") + ToString(e.action.state);
                if (e.action.state == SessionState::Ended)
                    line += std::string(" ") + ToString(e.action.end);
                break;
            case SessionAction::Kind::PollingOn: line = "polling on"; break;
            default: return;
            }
            break;
        case SessionEvent::Kind::Attempt: line = "attempt " + std::to_string(e.count); break;
        case SessionEvent::Kind::Polled: return;
        case SessionEvent::Kind::ResolveFailed: line = "resolve failed"; break;
        case SessionEvent::Kind::ConnectFailed: line = "connect failed " + e.text; break;
        case SessionEvent::Kind::HostKeyQuestion: line = "host key question"; break;
        case SessionEvent::Kind::HostKeyChanged: line = "host key changed"; break;
        case SessionEvent::Kind::HostKeyRefused: line = "host key refused " + e.text; break;
        case SessionEvent::Kind::Note: line = "note " + e.text; break;
        case SessionEvent::Kind::Stale: line = e.flag ? "stale 1" : "stale 0"; break;
        case SessionEvent::Kind::Retrying: line = "retrying " + std::to_string(e.delay.count()); break;
        }
        std::lock_guard lock(m_mutex);
        m_lines.push_back({std::chrono::steady_clock::now(), line});
        m_changed.notify_all();
    }
    // When line was recorded (its first time), waiting for it up to timeout.
    std::optional<std::chrono::steady_clock::time_point> WaitFor(const std::string& line,
                                                               std::chrono::milliseconds timeout = 5s)
    {
        std::unique_lock lock(m_mutex);
        std::optional<std::chrono::steady_clock::time_point> at;
        m_changed.wait_for(lock, timeout, [&] {
            for (const auto& [when, l] : m_lines)
                if (l == line)
                    return (at = when), true;
            return false;
        });
        return at;
    }
    std::vector<std::string> Lines()
    {
        std::lock_guard lock(m_mutex);
        std::vector<std::string> out;
        for (const auto& [when, l] : m_lines)
            out.push_back(l);
        return out;
    }
    // When each line beginning with prefix was recorded, in order.
    std::vector<std::chrono::steady_clock::time_point> Times(const std::string& prefix)
    {
        std::lock_guard lock(m_mutex);
        std::vector<std::chrono::steady_clock::time_point> out;
        for (const auto& [when, l] : m_lines)
            if (l.rfind(prefix, 0) == 0)
                out.push_back(when);
        return out;
    }
    std::string Dump()
    {
        std::string out;
        for (const std::string& l : Lines())
            out += l + "\n";
        return out;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<std::pair<std::chrono::steady_clock::time_point, std::string>> m_lines;
};

// A loop on a thread of its own, as the dialog runs it; stopped and joined at the end.
template <typename Events = Recorder> struct LoopThread {
    explicit LoopThread(Deadlines deadlines = {}, SshModuleSource ssh = LoadSshModule)
        : loop(events, deadlines, ssh), thread([this] { loop.Run(); })
    {
    }
    ~LoopThread()
    {
        loop.Stop();
        thread.join();
    }
    // Runs f on the loop's thread and waits for it.
    template <typename F> auto Call(F f)
    {
        std::promise<decltype(f(loop))> done;
        loop.Post([&] { done.set_value(f(loop)); });
        return done.get_future().get();
    }
    SessionId Add(SessionSetup setup)
    {
        return Call([&](SessionLoop& l) { return l.Add(setup); });
    }

    Events events;
    SessionLoop loop;
    std::thread thread;
};

SessionSetup ApSetup(int port, std::string host = "127.0.0.1")
{
    SessionSetup setup;
    setup.host = std::move(host);
    setup.port = port;
    setup.user = setup.password = "admin";
    setup.pollPeriod = 100ms;
    return setup;
}

TEST(HostText, SchemeBracketsAndScopes)
{
    struct Row {
        const char* text;
        Transport transport;
        const char* name;
    };
    for (const Row& row : {Row{"ap1", Transport::Telnet, "ap1"}, Row{"telnet://10.0.0.2", Transport::Telnet, "10.0.0.2"},
                           Row{"ssh://ap-north.example.net", Transport::Ssh, "ap-north.example.net"},
                           Row{"::1", Transport::Telnet, "::1"}, Row{"[::1]", Transport::Telnet, "::1"},
                           Row{"ssh://[2001:db8::2]", Transport::Ssh, "2001:db8::2"},
                           Row{"fe80::1%eth0", Transport::Telnet, "fe80::1%eth0"},
                           Row{"[fe80::1%eth0]", Transport::Telnet, "fe80::1%eth0"}}) {
        const HostText parsed = ParseHostText(row.text);
        EXPECT_EQ(parsed.transport, row.transport) << row.text;
        EXPECT_EQ(parsed.name, row.name) << row.text;
    }
    std::string host;
    int port = 0;
    EXPECT_TRUE(ParseHostPort("[::1]:9477", host, port));
    EXPECT_EQ(host, "::1");
    EXPECT_EQ(port, 9477);
    EXPECT_TRUE(ParseHostPort("127.0.0.1:0", host, port, true));
    EXPECT_FALSE(ParseHostPort("127.0.0.1:0", host, port)) << "port 0 only where allowed";
    EXPECT_FALSE(ParseHostPort("::1:9477", host, port)) << "a bare IPv6 address carries no port";
    EXPECT_FALSE(ParseHostPort("host:99999", host, port));
}

double Ms(std::chrono::steady_clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

TEST(SessionLoop, UnansweredPollsGoStaleThenTheSessionEndsSilentAndIsTriedAgainSoon)
{
    SimProcess sim({}, "login\nsilent\n"); // logged in, then never answers
    Deadlines d;
    d.silent = 1000ms;
    LoopThread rig(d);
    SessionSetup setup = ApSetup(sim.port());
    setup.retry = {true, 5000ms, 30000ms, false, 200ms};
    rig.Add(setup);
    const auto polling = rig.events.WaitFor("polling on");
    ASSERT_TRUE(polling) << rig.events.Dump();
    const auto stale = rig.events.WaitFor("stale 1");
    ASSERT_TRUE(stale) << rig.events.Dump();
    EXPECT_GE(Ms(*stale - *polling), 250) << "three polls of 100 ms went unanswered";
    const auto ended = rig.events.WaitFor("state ended silent");
    ASSERT_TRUE(ended) << rig.events.Dump();
    EXPECT_GE(Ms(*ended - *polling), 1000);
    EXPECT_TRUE(rig.events.WaitFor("status 127.0.0.1 silent for 1 s"));
    // The link itself was gone: the next attempt comes after the short interval, not the back-off.
    EXPECT_TRUE(rig.events.WaitFor("retrying 200")) << rig.events.Dump();
    EXPECT_TRUE(rig.events.WaitFor("attempt 1")) << rig.events.Dump();
}

TEST(SessionLoop, ALoopHeldUpLongerThanTheSilenceLimitFindsNoAnsweringAccessPointSilent)
{
    SimProcess sim; // answers every poll
    Deadlines d;
    d.silent = 1000ms;
    LoopThread rig(d);
    rig.Add(ApSetup(sim.port()));
    ASSERT_TRUE(rig.events.WaitFor("polling on")) << rig.events.Dump();
    std::this_thread::sleep_for(300ms); // a few polls answered
    rig.loop.Post([] { std::this_thread::sleep_for(1500ms); }); // as a stalled machine holds it up
    std::this_thread::sleep_for(2500ms);
    const auto lines = rig.events.Lines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "state ended silent"), 0) << rig.events.Dump();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "attempt 1"), 0) << rig.events.Dump();
}

TEST(SessionLoop, ARepliesAgainAfterAPauseIsLiveAgain)
{
    SimProcess sim({}, "login\nreplies 1\nsleep 700\nshell\n");
    LoopThread rig;
    rig.Add(ApSetup(sim.port()));
    ASSERT_TRUE(rig.events.WaitFor("stale 1")) << rig.events.Dump();
    ASSERT_TRUE(rig.events.WaitFor("stale 0")) << rig.events.Dump();
    const auto lines = rig.events.Lines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "stale 1"), 1) << "said once";
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "state ended silent"), 0);
}

TEST(SessionLoop, DisconnectGivesTheAccessPointItsGraceToCloseAndNoLonger)
{
    Deadlines d;
    d.disconnectGrace = 400ms;
    // One that closes when our side is shut, and one that stays open.
    for (const bool staysOpen : {false, true}) {
        SimProcess sim({}, staysOpen ? "login\nsilent\n" : "login\nshell\n");
        LoopThread rig(d);
        const SessionId id = rig.Add(ApSetup(sim.port()));
        ASSERT_TRUE(rig.events.WaitFor("polling on")) << rig.events.Dump();
        const auto asked = std::chrono::steady_clock::now();
        rig.loop.Post([&rig, id] { rig.loop.Disconnect(id); });
        const auto ended = rig.events.WaitFor("state ended disconnected", 3s);
        ASSERT_TRUE(ended) << rig.events.Dump();
        if (staysOpen)
            EXPECT_GE(Ms(*ended - asked), 390) << "waited for the grace";
        else
            EXPECT_LT(Ms(*ended - asked), 300) << "the access point closed: no wait";
        EXPECT_LT(Ms(*ended - asked), 1500);
        EXPECT_EQ(sim.received().find("q\r"), std::string::npos) << "nothing is sent after our side is shut";
    }
}

// A shell on a bare socket: the login dialogue, then it reads until our end of input, answering
// the farewell with a line of its own; it tells what it saw.
struct FarewellPeer {
    ~FarewellPeer()
    {
        ::shutdown(listener.fd(), SHUT_RDWR); // ends an accept still waiting
        thread.join();
    }
    void Serve()
    {
        const int fd = ::accept(listener.fd(), nullptr, nullptr);
        if (fd < 0)
            return;
        auto readUntil = [&](const std::string& needle) {
            char buf[256];
            while (got.find(needle) == std::string::npos) {
                const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
                if (n <= 0)
                    return false;
                got.append(buf, static_cast<std::size_t>(n));
            }
            return true;
        };
        ::send(fd, "login: ", 7, MSG_NOSIGNAL);
        readUntil("\r");
        ::send(fd, "Password: ", 10, MSG_NOSIGNAL);
        readUntil("admin\r");
        ::send(fd, "\r\nAP> ", 6, MSG_NOSIGNAL);
        if (readUntil("q\r")) {
            // The shell says goodbye after the q; a client that had closed at once would answer
            // this with a reset.
            ::send(fd, "\r\nbye\r\n", 7, MSG_NOSIGNAL);
            std::this_thread::sleep_for(100ms);
            char buf[256];
            ssize_t n;
            while ((n = ::recv(fd, buf, sizeof buf, 0)) > 0)
                got.append(buf, static_cast<std::size_t>(n));
            endedBy = n == 0 ? "eof" : std::string("error ") + std::strerror(errno);
        }
        ::close(fd);
    }

    Listener listener;
    std::string got, endedBy;
    std::thread thread{[this] { Serve(); }}; // last: it serves once the rest is made
};

TEST(SessionLoop, TheFarewellGoesOutThenOurSideIsShutAndTheAccessPointClosesFirst)
{
    FarewellPeer peer;
    {
        LoopThread rig;
        rig.Add(ApSetup(peer.listener.port()));
        ASSERT_TRUE(rig.events.WaitFor("polling on")) << rig.events.Dump();
        const auto stopping = std::chrono::steady_clock::now();
        rig.loop.Stop();
        rig.thread.join();
        EXPECT_LT(Ms(std::chrono::steady_clock::now() - stopping), 1500) << "bounded by the farewell's deadline";
        rig.thread = std::thread([] {}); // joined again by the rig
    }
    peer.thread.join();
    peer.thread = std::thread([] {});
    EXPECT_NE(peer.got.find("q\r"), std::string::npos) << peer.got;
    EXPECT_EQ(peer.endedBy, "eof") << "our side was shut after the farewell, and no reset came";
}

TEST(SessionLoop, AConnectThatIsNeverAnsweredEndsAtItsDeadline)
{
    test::Listener full(true);
    Deadlines d;
    d.connect = 300ms;
    LoopThread rig(d);
    const auto start = std::chrono::steady_clock::now();
    rig.Add(ApSetup(full.port()));
    const auto failed = rig.events.WaitFor("connect failed timed out", 3s);
    ASSERT_TRUE(failed) << rig.events.Dump();
    EXPECT_GE(Ms(*failed - start), 290);
    EXPECT_TRUE(rig.events.WaitFor("state ended start failed"));
}

bool HasIpv6Loopback()
{
    const int fd = ::socket(AF_INET6, SOCK_STREAM, 0);
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    a.sin6_addr = in6addr_loopback;
    const bool ok = fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    if (fd >= 0)
        ::close(fd);
    return ok;
}

TEST(SessionLoop, Ipv6LiteralsBracketedOrNot)
{
    if (!HasIpv6Loopback())
        GTEST_SKIP() << "no IPv6 loopback on this machine";
    SimProcess six({"--bind", "::1"}, test::kAnyLogin);
    for (const std::string host : {"::1", "[::1]", "telnet://[::1]"}) {
        LoopThread rig;
        rig.Add(ApSetup(six.port(), host));
        EXPECT_TRUE(rig.events.WaitFor("polling on")) << host << "\n" << rig.events.Dump();
    }
}

TEST(SessionLoop, EveryAddressOfANameInTurn)
{
    // A name whose first address refuses: the next one is tried within the same deadline.
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    std::vector<int> families;
    if (::getaddrinfo("localhost", nullptr, &hints, &found) == 0) {
        for (const addrinfo* a = found; a; a = a->ai_next)
            families.push_back(a->ai_family);
        ::freeaddrinfo(found);
    }
    if (std::count(families.begin(), families.end(), AF_INET) == 0 ||
        std::count(families.begin(), families.end(), AF_INET6) == 0)
        GTEST_SKIP() << "localhost does not name both ::1 and 127.0.0.1 here";
    SimProcess second({"--bind", families.front() == AF_INET6 ? "127.0.0.1" : "::1"}, test::kAnyLogin);
    LoopThread rig;
    rig.Add(ApSetup(second.port(), "localhost"));
    EXPECT_TRUE(rig.events.WaitFor("polling on")) << rig.events.Dump();
}

TEST(SessionLoop, RefusedAttemptsBackOffAndTheUsersEndingsAreNotRetried)
{
    SimProcess closer({}, "close\n");
    LoopThread rig;
    SessionSetup setup = ApSetup(closer.port());
    setup.retry = {true, 100ms, 400ms, false, 50ms};
    rig.Add(setup);
    for (const char* line : {"retrying 100", "retrying 200", "retrying 400"})
        ASSERT_TRUE(rig.events.WaitFor(line)) << line << "\n" << rig.events.Dump();

    SimProcess rejecter({"--password", "other", "--fail-delay", "0"});
    LoopThread rejected;
    SessionSetup wrong = ApSetup(rejecter.port());
    wrong.retry = setup.retry;
    rejected.Add(wrong);
    ASSERT_TRUE(rejected.events.WaitFor("state ended login rejected")) << rejected.events.Dump();
    std::this_thread::sleep_for(300ms);
    for (const std::string& line : rejected.events.Lines())
        EXPECT_NE(line.rfind("retrying", 0), 0u) << line;
    EXPECT_EQ(rejecter.received().find("q\r"), std::string::npos) << "no farewell to a login program";
}

// Thousands of sessions starting together (a poller's start, the end of an outage) reach the
// network spread out: first attempts and retries alike take slots at most the rate apart.
TEST(SessionLoop, AttemptsStartAtMostTheirRateFirstOnesAndRetriesAlike)
{
    SimProcess closer({}, "close\n"); // every attempt is closed at once, and retried 10 ms later
    LoopThread rig;
    SessionSetup setup = ApSetup(closer.port());
    setup.retry = {true, 10ms, 10ms, false, 10ms, 100};
    for (int i = 0; i < 30; ++i)
        rig.Add(setup);
    std::this_thread::sleep_for(1500ms);
    const auto first = rig.events.Times("attempt 0");
    ASSERT_EQ(first.size(), 30u) << rig.events.Dump();
    EXPECT_GE(first.back() - first.front(), 280ms) << "30 first attempts at 100 a second";
    const auto all = rig.events.Times("attempt ");
    EXPECT_GT(all.size(), 100u) << "retries take the slots the first attempts left";
    for (std::size_t i = 0; i + 11 < all.size(); ++i)
        EXPECT_GE(all[i + 11] - all[i], 100ms) << "more than 11 attempts within 100 ms, from attempt " << i;
}

TEST(SessionLoop, CommandsFromAnotherThreadInEveryStateNeverHangOrCrash)
{
    SimProcess sim({}, test::kAnyLogin);
    for (int delayMs : {0, 1, 3, 10, 30, 100}) {
        for (int command = 0; command < 3; ++command) {
            LoopThread rig;
            SessionSetup setup = ApSetup(sim.port());
            setup.retry.enabled = true;
            const SessionId id = rig.Add(setup);
            std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
            if (command == 0)
                rig.loop.Post([&rig, id] { rig.loop.Disconnect(id); });
            else if (command == 1)
                rig.loop.Post([&rig, id] { rig.loop.Remove(id); });
            rig.loop.Post([&rig, id] { rig.loop.SetPolling(id, false); });
            const auto stopping = std::chrono::steady_clock::now();
            rig.loop.Stop();
            rig.thread.join();
            EXPECT_LT(Ms(std::chrono::steady_clock::now() - stopping), 2000) << delayMs << " ms, command " << command;
            rig.thread = std::thread([] {});
        }
    }
}

// SSH as when the program's module is missing.
std::atomic<int> sshLoads{0};
const ISshModule* NoSshModule(std::string& error)
{
    ++sshLoads;
    error = "libapprobe-ssh.so: cannot open shared object file";
    return nullptr;
}

TEST(SessionLoop, SshIsLoadedByTheFirstSshSessionOnlyAndWithoutItThatSessionEndsCleanly)
{
    SimProcess telnetAp({}, test::kAnyLogin);
    SimProcess sshAp; // nothing at all may reach it
    LoopThread rig({}, NoSshModule);
    rig.Add(ApSetup(telnetAp.port()));
    ASSERT_TRUE(rig.events.WaitFor("polling on")) << rig.events.Dump();
    EXPECT_EQ(sshLoads, 0) << "a telnet session loads no SSH";

    rig.Add(ApSetup(sshAp.port(), "ssh://127.0.0.1"));
    ASSERT_TRUE(rig.events.WaitFor("state ended receive failed")) << rig.events.Dump();
    EXPECT_TRUE(rig.events.WaitFor("note SSH: libapprobe-ssh.so: cannot open shared object file", 0ms))
        << rig.events.Dump();
    EXPECT_EQ(sshLoads, 1);
    ASSERT_TRUE(sshAp.waitClosedConnections(1, 5s));
    EXPECT_EQ(sshAp.received(), "") << "not even the telnet farewell";
}

// What a session told: the type taken, the latest of each value and of the station rows.
struct Told {
    std::string type;
    std::optional<int> noise, local, remote;
    std::vector<StationRow> stations;
    int polls = 0;
};

class Collector : public ISessionEvents {
public:
    void OnSessionEvent(SessionId id, const SessionEvent& e) override
    {
        std::lock_guard lock(m_mutex);
        Told& t = m_told[id];
        if (e.kind == SessionEvent::Kind::Polled) {
            ++t.polls;
        } else if (e.kind == SessionEvent::Kind::Engine && e.action.kind == SessionAction::Kind::Device) {
            t.type = e.action.text;
        } else if (e.kind == SessionEvent::Kind::Engine && e.action.kind == SessionAction::Kind::Reading) {
            const Reading& r = e.action.reading;
            for (auto [from, to] : {std::pair{&r.noise, &t.noise}, {&r.local, &t.local}, {&r.remote, &t.remote}}) {
                if (*from)
                    *to = *from;
            }
            if (!r.stations.empty()) // a poll's first reading may come before its rows
                t.stations = r.stations;
        }
        m_changed.notify_all();
    }
    // What session id told once it has polled a few times, or when the wait ends.
    Told After(SessionId id, int polls, std::chrono::milliseconds timeout = 5s)
    {
        std::unique_lock lock(m_mutex);
        m_changed.wait_for(lock, timeout, [&] { return m_told[id].polls >= polls; });
        return m_told[id];
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::map<SessionId, Told> m_told;
};

struct Case {
    const char* name;
    std::vector<std::string> sim; // the simulator's options
    const char* type;             // the type automatic detection must take
    std::optional<int> noise, local, remote;
    std::size_t stations = 1;
    const char* received = "";    // what the simulator must have been sent
};

class PlayedType : public testing::TestWithParam<Case> {};

// The simulator's levels are fixed: noise -95, local -60, remote -62; station K > 1 has local
// -(90+K). The polls after detection read them as the type gives them, and nothing it does not.
TEST_P(PlayedType, IsToldAutomaticallyAndReadAsItsShellGivesIt)
{
    const Case& c = GetParam();
    SimProcess sim(c.sim, "login\nvalues -95 -60 -62\nshell\n");
    LoopThread<Collector> rig;
    const Told told = rig.events.After(rig.Add(ApSetup(sim.port())), 4);
    EXPECT_EQ(told.type, c.type);
    EXPECT_EQ(told.noise, c.noise);
    EXPECT_EQ(told.local, c.local);
    EXPECT_EQ(told.remote, c.remote);
    ASSERT_EQ(told.stations.size(), c.stations);
    if (c.stations > 1) {
        EXPECT_EQ(told.stations[1].local, -92);
    }
    EXPECT_NE(sim.received().find(c.received), std::string::npos) << sim.received();
}

const std::string kProbe = "command -v iwinfo; ls /usr/www/status.cgi; command -v iw\r";

INSTANTIATE_TEST_SUITE_P(
    Sim, PlayedType,
    testing::Values(Case{"korvane", {}, "korvane", -95, -60, -62, 1, "admin\r"},
                    // Per-chain signals: the combined level is the one read.
                    Case{"linux_iw_chains", {"--device-type", "linux-iw", "--chains", "4"}, "linux-iw", -95, -60, {}, 1,
                         kProbe.c_str()},
                    Case{"openwrt_stations", {"--device-type", "openwrt", "--stations", "3"}, "openwrt", -95, -60, {}, 3},
                    // A host name the prompt cannot tell by: the probe does; "Noise: unknown" is none.
                    Case{"openwrt_noise_unknown",
                         {"--device-type", "openwrt", "--hostname", "gw", "--noise", "unknown"},
                         "openwrt", {}, -60, {}, 1, kProbe.c_str()},
                    // "Login:" gets the +ct suffix: no colours.
                    Case{"routeros_ct", {"--device-type", "routeros", "--stations", "2"}, "routeros", -95, -60, -62, 2,
                         "admin+ct\r"},
                    // The monitor's reply stops at the pager after three lines; D shows the rest.
                    Case{"routeros_pager", {"--device-type", "routeros", "--pager", "3"}, "routeros", -95, -60, -62, 1,
                         "\nD"},
                    // The newer wireless package: a signal only; the older package's commands are errors.
                    Case{"routeros_wifi", {"--device-type", "routeros", "--wireless-package", "wifi"}, "routeros", {}, -60,
                         {}, 1, "/interface wifi registration-table print detail without-paging\r\n"},
                    Case{"json_status", {"--device-type", "json-status", "--stations", "2"}, "json-status", -95, -60,
                         -62, 2, kProbe.c_str()}),
    [](const auto& row) { return std::string(row.param.name); });

// A fleet of mixed types: each access point's session takes its type and reads what a korvane
// access point of the same seed reads (no remote where the type gives none).
TEST(PlayedFleet, MixedTypesReadTheirSeedsValues)
{
    constexpr std::size_t kAps = 5;
    const std::vector<std::string> common = {"--aps", std::to_string(kAps), "--seed", "33", "--hold-values"};
    std::vector<std::string> mixedArgs = common;
    mixedArgs.insert(mixedArgs.end(), {"--device-types", "korvane,linux-iw,openwrt,routeros,json-status"});
    SimProcess mixed(mixedArgs), plain(common);
    const std::vector<int> ports = mixed.ports(kAps, 5s), plainPorts = plain.ports(kAps, 5s);
    ASSERT_EQ(ports.size(), kAps);
    ASSERT_EQ(plainPorts.size(), kAps);
    LoopThread<Collector> rig;
    std::vector<SessionId> ids, plainIds;
    for (std::size_t k = 0; k < kAps; ++k) {
        ids.push_back(rig.Add(ApSetup(ports[k])));
        plainIds.push_back(rig.Add(ApSetup(plainPorts[k])));
    }
    const char* const types[] = {"korvane", "linux-iw", "openwrt", "routeros", "json-status"};
    for (std::size_t k = 0; k < kAps; ++k) {
        const Told told = rig.events.After(ids[k], 4);
        const Told expected = rig.events.After(plainIds[k], 4);
        SCOPED_TRACE(types[k]);
        EXPECT_EQ(told.type, types[k]);
        ASSERT_TRUE(expected.noise && expected.local && expected.remote);
        EXPECT_EQ(told.noise, expected.noise);
        EXPECT_EQ(told.local, expected.local);
        const bool remote = k != 1 && k != 2;
        EXPECT_EQ(told.remote, remote ? expected.remote : std::nullopt);
    }
}

} // namespace
} // namespace approbe::session
