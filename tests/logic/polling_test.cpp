// Polling, Pause/Work, Disconnect and closing, against the simulator over loopback. The test
// thread plays the UI thread: it calls the handlers the buttons and the timer would call.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <fcntl.h>
#include <unistd.h>

#include "session_rig.h"
#include "sim_process.h"

namespace approbe {
namespace {

using test::kPrefix;
using test::SessionRig;
using test::SimProcess;
using Events = std::vector<std::string>;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

const Events kPoll = {"get station", "\r\n", "get nf", "\r\n"};

template <typename Pred> bool Eventually(Pred pred, std::chrono::milliseconds timeout = 5s)
{
    const auto deadline = Clock::now() + timeout;
    while (!pred()) {
        if (Clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(2ms);
    }
    return true;
}

struct LoggedIn : SessionRig {
    explicit LoggedIn(SimProcess& sim) : SessionRig("127.0.0.1", std::to_string(sim.port()))
    {
        Connect();
        EXPECT_TRUE(window.waitForEvent("log " + kPrefix + "to 127.0.0.1 connected"));
        EXPECT_TRUE(Eventually([this] { return core->polling(); }));
    }
    Events SendsAfterLogin()
    {
        Events all = sockets.sends();
        return Events(all.begin() + std::min<std::size_t>(2, all.size()), all.end());
    }
};

TEST(PollingTest, NothingIsSentUntilThePasswordIsAnsweredThenFourSendsATick)
{
    // The password prompt comes 500 ms after the user name, so that the tick surely falls in the login.
    SimProcess sim({"--seed", "7"}, "send login:\\x20\nexpect admin\\r\nsleep 500\nsend Password:\\x20\n"
                                    "expect admin\\r\nsend \\r\\nAP>\\x20\nshell\n");
    SessionRig rig("127.0.0.1", std::to_string(sim.port()));
    rig.Tick(); // no session: nothing to send on
    rig.Connect();
    ASSERT_TRUE(sim.waitReceived("admin\r", 5s));
    rig.Tick();
    ASSERT_TRUE(rig.window.waitForEvent("log " + kPrefix + "to 127.0.0.1 connected"));
    ASSERT_TRUE(Eventually([&] { return rig.core->polling(); }));
    EXPECT_EQ(rig.sockets.sends(), (Events{"admin\r", "admin\r"}));

    rig.Tick();
    EXPECT_EQ(rig.sockets.sends(), (Events{"admin\r", "admin\r", "get station", "\r\n", "get nf", "\r\n"}));
    EXPECT_TRUE(rig.window.waitFor([](const Events& ev) {
        bool noise = false, remote = false;
        for (const std::string& e : ev) {
            noise |= e.rfind("field 1002 -", 0) == 0;
            remote |= e.rfind("field 1016 -", 0) == 0;
        }
        return noise && remote;
    }));
}

TEST(PollingTest, StatisticsMatchTheValuesTheAccessPointSent)
{
    SimProcess sim({}, "login\nvalues -95 -60 -70\nreplies 2\nvalues -97 -50 -80\nreplies 2\nsilent\n");
    LoggedIn rig(sim);
    rig.Tick();
    ASSERT_TRUE(rig.window.waitForEvent("field 1016 -70 dBm"));
    ASSERT_TRUE(rig.window.waitForEvent("field 1002 -95 dBm"));
    rig.Tick();
    ASSERT_TRUE(rig.window.waitForEvent("field 1016 -80 dBm"));
    ASSERT_TRUE(rig.window.waitForEvent("field 1002 -97 dBm"));

    // The access point stays silent and keeps the connection open: Disconnect still ends it.
    const auto clicked = Clock::now();
    rig.Disconnect();
    ASSERT_TRUE(rig.WaitEnd(5s));
    EXPECT_LT(Clock::now() - clicked, 5s);

    // The session has ended, so every write of the last block has been made.
    auto last = [&](const std::string& prefix) { return rig.window.events(prefix).back(); };
    EXPECT_EQ(last("field 1018 "), "field 1018 -96 dBm");
    EXPECT_EQ(last("field 1010 "), "field 1010 -97 dBm");
    EXPECT_EQ(last("field 1006 "), "field 1006 -95 dBm");
    EXPECT_EQ(last("field 1017 "), "field 1017 -50 dBm");
    EXPECT_EQ(last("field 1020 "), "field 1020 -60 dBm");
    EXPECT_EQ(last("field 1015 "), "field 1015 -50 dBm");
    EXPECT_TRUE(rig.window.waitForEvent("colour 1013 0,255,0", 0ms));
    EXPECT_TRUE(rig.window.waitForEvent("colour 1014 255,255,0", 0ms));
    EXPECT_EQ(last("colour 1013 "), "colour 1013 128,128,128") << "grey once the session ended";
    EXPECT_EQ(rig.core->measurements().m_nNoiseCount, 2);

    const Events narration = rig.Narration();
    ASSERT_GE(narration.size(), 4u);
    EXPECT_EQ(Events(narration.end() - 4, narration.end()),
              (Events{"log " + kPrefix + "SOCKET closed", "log De-Initialized WinSock", "connect 1",
                      "caption Test Korvane AP DISCONNECT"}));
    EXPECT_EQ(rig.window.events("field 1006 ").back(), "field 1006 -95 dBm") << "values stay after the session";
}

TEST(PollingTest, PauseStopsThePollsAtTheNextTickAndWorkResumesThem)
{
    SimProcess sim;
    LoggedIn rig(sim);
    rig.Pause();
    EXPECT_EQ(rig.window.PauseCaption(), "Work");
    rig.Tick();
    EXPECT_TRUE(rig.SendsAfterLogin().empty());
    rig.Pause();
    EXPECT_EQ(rig.window.PauseCaption(), "Pause");
    rig.Tick();
    EXPECT_EQ(rig.SendsAfterLogin(), kPoll);
    EXPECT_EQ(rig.window.events("pause "), (Events{"pause Work", "pause Pause"}));
}

TEST(PollingTest, WorkBeforeLoginSendsThePollsToTheLoginPrompt)
{
    SimProcess sim({}, "send login: \nexpect admin\\r\nexpect get station\\r\\nget nf\\r\\n\nclose\n");
    SessionRig rig("127.0.0.1", std::to_string(sim.port()));
    rig.window.SetPauseCaption("Work"); // paused in an earlier session
    rig.Connect();
    ASSERT_TRUE(sim.waitReceived("admin\r", 5s));
    rig.Pause();
    rig.Tick();
    ASSERT_TRUE(rig.WaitEnd());
    EXPECT_EQ(rig.sockets.sends(), (Events{"admin\r", "get station", "\r\n", "get nf", "\r\n", "q", "\r"}));
}

TEST(PollingTest, NewSessionKeepsThePauseCaptionButThePasswordTurnsPollingOn)
{
    SimProcess sim;
    LoggedIn rig(sim);
    rig.Pause();
    rig.Disconnect();
    ASSERT_TRUE(rig.WaitEnd(5s));
    EXPECT_FALSE(rig.core->polling());

    rig.window.clearEvents();
    rig.Connect();
    ASSERT_TRUE(rig.window.waitForEvent("log " + kPrefix + "to 127.0.0.1 connected"));
    EXPECT_TRUE(Eventually([&] { return rig.core->polling(); }));
    EXPECT_EQ(rig.window.PauseCaption(), "Work");
    EXPECT_TRUE(rig.window.events("pause ").empty());
    rig.Disconnect();
    ASSERT_TRUE(rig.WaitEnd(5s));
}

TEST(DisconnectTest, EndsALoggedInSessionWithItsTeardown)
{
    SimProcess sim;
    LoggedIn rig(sim);
    rig.Disconnect();
    ASSERT_TRUE(rig.WaitEnd(5s));
    EXPECT_EQ(rig.window.caption(), "Test Korvane AP DISCONNECT");
    EXPECT_TRUE(rig.window.connectEnabled());
    EXPECT_FALSE(rig.window.timerRunning());
    EXPECT_EQ(rig.sockets.openSockets(), 0u);
    EXPECT_TRUE(sim.waitClosedConnections(1, 5s));
}

TEST(DisconnectTest, WithoutASessionDoesNothingVisible)
{
    SessionRig rig("127.0.0.1", "23");
    rig.Disconnect();
    rig.Tick();
    EXPECT_TRUE(rig.window.events().empty());
    EXPECT_TRUE(rig.sockets.sends().empty());
}

// A loopback listener whose accept queue is full, so that a further connect is never answered.
class Unanswering {
public:
    Unanswering()
    {
        m_listener = Socket();
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(m_listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        ::listen(m_listener, 0);
        socklen_t len = sizeof addr;
        ::getsockname(m_listener, reinterpret_cast<sockaddr*>(&addr), &len);
        m_port = ntohs(addr.sin_port);
        for (int i = 0; i < 3; ++i) { // fill the queue
            const int fd = Socket();
            ::fcntl(fd, F_SETFL, O_NONBLOCK);
            ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
            m_fillers.push_back(fd);
        }
    }
    ~Unanswering()
    {
        for (int fd : m_fillers)
            ::close(fd);
        ::close(m_listener);
    }
    int port() const { return m_port; }

private:
    static int Socket() { return ::socket(AF_INET, SOCK_STREAM, 0); }
    int m_listener;
    int m_port = 0;
    std::vector<int> m_fillers;
};

TEST(ConnectTimeoutTest, AnUnansweredConnectFailsAfterTheTimeLimit)
{
    Unanswering peer;
    SessionRig rig("127.0.0.1", std::to_string(peer.port()), "admin", "admin", 400);
    const auto start = Clock::now();
    rig.Connect();
    ASSERT_TRUE(rig.WaitEnd(5s));
    EXPECT_GE(Clock::now() - start, 400ms);
    EXPECT_EQ(rig.window.caption(), kPrefix + "Couldn't connect to 127.0.0.1 ");
}

// Closing the program in each state of a session: the worker ends promptly, nothing is left open.
class CloseTest : public ::testing::Test {
protected:
    static void CloseWithin2s(SessionRig& rig)
    {
        const auto start = Clock::now();
        rig.core->BeginClose();
        EXPECT_TRUE(rig.WaitEnd(2s));
        EXPECT_LT(Clock::now() - start, 2s);
        EXPECT_EQ(rig.sockets.openSockets(), 0u);
    }
};

TEST_F(CloseTest, WhileConnecting)
{
    Unanswering peer;
    SessionRig rig("127.0.0.1", std::to_string(peer.port()));
    rig.Connect();
    ASSERT_TRUE(rig.window.waitForEvent("log  127.0.0.1 probe ..."));
    std::this_thread::sleep_for(100ms); // well inside the connect
    CloseWithin2s(rig);
}

TEST_F(CloseTest, WhileLoggedInWithASilentAccessPoint)
{
    SimProcess sim({}, "login\nsilent\n");
    LoggedIn rig(sim);
    CloseWithin2s(rig);
}

TEST_F(CloseTest, WhileReceivingAFlood)
{
    SimProcess sim({}, "login\nflood 100000000\n");
    LoggedIn rig(sim);
    ASSERT_TRUE(rig.window.waitFor([](const Events& ev) { return ev.size() > 200; }));
    CloseWithin2s(rig);
    EXPECT_FALSE(rig.window.timerRunning());
}

TEST_F(CloseTest, AfterCloseConnectStartsNothing)
{
    SessionRig rig("127.0.0.1", "23");
    rig.core->BeginClose();
    rig.Connect();
    EXPECT_TRUE(rig.WaitEnd(1s));
    EXPECT_TRUE(rig.window.events().empty());
}

} // namespace
} // namespace approbe
