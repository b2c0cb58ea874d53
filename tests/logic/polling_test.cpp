// Polling, Pause/Work, Disconnect and closing, against the simulator over loopback. The test
// thread plays the window's thread: it clicks, and asks for each poll (no poll period).
#include <algorithm>

#include <gtest/gtest.h>

#include "session_rig.h"
#include "sim_process.h"

namespace approbe {
namespace {

using namespace test;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using ui::PresenterOptions;

const std::string kPoll = "get station\r\nget nf\r\n";

struct LoggedIn : SessionRig {
    explicit LoggedIn(SimProcess& s) : SessionRig("127.0.0.1", std::to_string(s.port())), sim(s) { EXPECT_TRUE(LogIn()); }
    // What the access point received after the user name and password.
    std::string SentAfterLogin()
    {
        const std::string all = sim.received();
        return all.substr(std::min<std::size_t>(all.size(), std::string("admin\radmin\r").size()));
    }
    SimProcess& sim;
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
    ASSERT_TRUE(rig.window.waitForEvent(kConnectedLine));
    ASSERT_TRUE(rig.window.waitForEvent("pause Pause"));
    ASSERT_TRUE(sim.waitReceived("admin\radmin\r", 5s));
    EXPECT_EQ(sim.received(), "admin\radmin\r") << "the tick in the login sent nothing";

    rig.Tick();
    EXPECT_TRUE(sim.waitReceived("admin\radmin\r" + kPoll, 5s)) << sim.received();
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
    rig.Disconnect();
    ASSERT_TRUE(rig.WaitEnd(5s));
    ExpectTornDown(rig);

    // The session has ended, so every write of the last block has been made.
    const Events last = {"field 1018 -96 dBm", "field 1010 -97 dBm", "field 1006 -95 dBm",
                         "field 1017 -50 dBm", "field 1020 -60 dBm", "field 1015 -50 dBm"};
    for (const std::string& e : last)
        EXPECT_EQ(rig.window.events(e.substr(0, 11)).back(), e) << "values stay after the session";
    EXPECT_TRUE(rig.window.waitForEvent("colour 1013 0,255,0", 0ms));
    EXPECT_TRUE(rig.window.waitForEvent("colour 1014 255,255,0", 0ms));
    EXPECT_EQ(rig.window.events("colour 1013 ").back(), "colour 1013 128,128,128") << "grey once the session ended";
}

TEST(PollingTest, PauseStopsThePollsAtTheNextTickAndWorkResumesThem)
{
    SimProcess sim;
    LoggedIn rig(sim);
    rig.Pause();
    EXPECT_EQ(rig.window.PauseCaption(), "Work");
    rig.Tick();
    rig.Pause();
    EXPECT_EQ(rig.window.PauseCaption(), "Pause");
    rig.Tick();
    // The loop takes the clicks in order: the paused tick sent nothing, the next one a poll.
    ASSERT_TRUE(sim.waitReceived(kPoll, 5s));
    EXPECT_EQ(rig.SentAfterLogin(), kPoll);
    EXPECT_EQ(rig.window.events("pause "), (Events{"pause Pause", "pause Work", "pause Pause"}));
}

TEST(PollingTest, WorkBeforeLoginSendsThePollsToTheLoginPrompt)
{
    SimProcess sim({}, "send login: \nexpect admin\\r\nexpect get station\\r\\nget nf\\r\\n\nclose\n");
    SessionRig rig("127.0.0.1", std::to_string(sim.port()));
    rig.Pause(); // without a session only the button changes: it offers Work
    EXPECT_EQ(rig.window.PauseCaption(), "Work");
    rig.Connect();
    ASSERT_TRUE(sim.waitReceived("admin\r", 5s));
    rig.Pause();
    rig.Tick();
    ASSERT_TRUE(rig.WaitEnd());
    ASSERT_TRUE(sim.waitClosedConnections(1, 5s));
    EXPECT_EQ(sim.received(), "admin\r" + kPoll) << "no farewell: no shell has shown itself";
}

// Pause pressed while the login is under way: the login does not turn polling on over it, and the
// button keeps offering Work.
TEST(PollingTest, APausePressedDuringTheLoginStands)
{
    SimProcess sim({}, "login\nsend Noise Floor Level: -90 dBm\\r\\nAP> \nshell\n");
    SessionRig rig("127.0.0.1", std::to_string(sim.port()));
    rig.window.whenRecorded("log " + kPrefix + "Login to 127.0.0.1", [&] { rig.Pause(); });
    rig.Connect();
    // The reading comes after the shell has shown itself: its effect on polling has been applied.
    ASSERT_TRUE(rig.window.waitForEvent("field 1002 -90 dBm"));
    rig.Tick();
    rig.Pause();
    rig.Tick();
    ASSERT_TRUE(sim.waitReceived("admin\radmin\r" + kPoll, 5s));
    EXPECT_EQ(sim.received(), "admin\radmin\r" + kPoll) << "the tick while paused sent nothing";
    // From the click on the button offers Work until it is pressed again. A loaded machine may
    // show the shell in the same step as the login's line, its "Pause" then comes before the click.
    const Events pauses = rig.window.events("pause ");
    EXPECT_EQ(Events(std::find(pauses.begin(), pauses.end(), "pause Work"), pauses.end()),
              (Events{"pause Work", "pause Pause"}));
}

TEST(PollingTest, ThePasswordPromptOfANewSessionTurnsPollingOnAndSaysPause)
{
    SimProcess sim;
    LoggedIn rig(sim);
    rig.Pause();
    rig.Disconnect();
    ASSERT_TRUE(rig.WaitEnd(5s));

    rig.window.clearEvents();
    ASSERT_TRUE(rig.LogIn());
    // The button offers what a press would do: pausing the polling that runs.
    EXPECT_EQ(rig.window.PauseCaption(), "Pause");
    EXPECT_EQ(rig.window.events("pause "), Events{"pause Pause"});
    rig.Disconnect();
    ASSERT_TRUE(rig.WaitEnd(5s));
}

TEST(DisconnectTest, WithoutASessionDoesNothingVisible)
{
    SessionRig rig("127.0.0.1", "23");
    rig.Disconnect();
    rig.Tick();
    EXPECT_TRUE(rig.window.events().empty());
}

// The click comes after the connection is made but before the session starts receiving, and
// the access point ignores the shut sending side: the click is not lost, the session ends.
TEST(DisconnectTest, ClickedBeforeTheReceiveLoopStillEndsTheSession)
{
    SimProcess sim({}, "silent\n");
    SessionRig rig("127.0.0.1", std::to_string(sim.port()));
    rig.window.whenRecorded("log " + kPrefix + "Login to 127.0.0.1", [&] { rig.Disconnect(); });
    const auto start = Clock::now();
    rig.Connect();
    ASSERT_TRUE(rig.WaitEnd(5s));
    EXPECT_LT(Clock::now() - start, 5s);
    ExpectTornDown(rig);
    ExpectNormalSessionAfterwards(rig);
}

TEST(ConnectTimeoutTest, AnUnansweredConnectFailsAfterTheTimeLimit)
{
    Listener peer(true);
    PresenterOptions options = SessionRig::Stepped();
    options.deadlines.connect = 400ms;
    SessionRig rig("127.0.0.1", std::to_string(peer.port()), "admin", "admin", options);
    const auto start = Clock::now();
    rig.Connect();
    ASSERT_TRUE(rig.WaitEnd(5s));
    EXPECT_GE(Clock::now() - start, 400ms);
    EXPECT_EQ(rig.window.caption(), kPrefix + "Couldn't connect to 127.0.0.1 ");
}

// Closing the program in each state of a session: the worker ends promptly.
void CloseWithin2s(SessionRig& rig)
{
    const auto start = Clock::now();
    rig.window.onUiThread([&] { rig.presenter->BeginClose(); });
    EXPECT_TRUE(rig.presenter->WaitSessionEnd(2s));
    EXPECT_LT(Clock::now() - start, 2s);
}

TEST(CloseTest, WhileConnecting)
{
    Listener peer(true);
    SessionRig rig("127.0.0.1", std::to_string(peer.port()));
    rig.Connect();
    ASSERT_TRUE(rig.window.waitForEvent("log  127.0.0.1 probe ..."));
    std::this_thread::sleep_for(100ms); // well inside the connect
    CloseWithin2s(rig);
}

TEST(CloseTest, WhileLoggedInSilentOrFlooding)
{
    // The flood has surely started once its values have made 200 events.
    for (const auto& [script, events] : {std::pair{"login\nsilent\n", 0u}, {"login\nflood 100000000\n", 200u}}) {
        SCOPED_TRACE(script);
        SimProcess sim({}, script);
        LoggedIn rig(sim);
        ASSERT_TRUE(rig.window.waitFor([n = events](const Events& ev) { return ev.size() > n; }));
        CloseWithin2s(rig);
    }
}

TEST(CloseTest, AfterCloseConnectStartsNothing)
{
    SessionRig rig("127.0.0.1", "23");
    rig.window.onUiThread([&] { rig.presenter->BeginClose(); });
    rig.Connect();
    EXPECT_TRUE(rig.WaitEnd(1s));
    EXPECT_TRUE(rig.window.events().empty());
}

} // namespace
} // namespace approbe
