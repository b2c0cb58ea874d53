// The session engine on its own: bytes in, sends, readings and narration out; no window, no
// socket, no thread.
#include <gtest/gtest.h>

#include <thread>

#include "consumers.h"
#include "session_engine.h"
#include "telnet_layer.h"

namespace approbe {
namespace {

using Kind = SessionAction::Kind;
using Clock = std::chrono::system_clock;
const Clock::time_point kT0 = Clock::time_point(std::chrono::seconds(1'765'000'000));

// What a list of actions says, one line each: "send <bytes>", "status <text>", "reading n/l/r",
// "state <name>", the rest by kind.
std::vector<std::string> Lines(const SessionActions& actions)
{
    std::vector<std::string> out;
    auto opt = [](const std::optional<int>& v) { return v ? std::to_string(*v) : std::string("-"); };
    for (const SessionAction& a : actions) {
        switch (a.kind) {
        case Kind::Send: out.push_back("send " + a.text); break;
        case Kind::Status: out.push_back("status " + a.text); break;
        case Kind::Log: out.push_back("log " + a.text); break;
        case Kind::Caption: out.push_back("caption " + a.text); break;
        case Kind::StartTimer: out.push_back("timer start"); break;
        case Kind::StopTimer: out.push_back("timer stop"); break;
        case Kind::RxTotal: out.push_back("rx " + std::to_string(a.count)); break;
        case Kind::Reading:
            out.push_back("reading " + opt(a.reading.noise) + "/" + opt(a.reading.local) + "/" + opt(a.reading.remote));
            break;
        case Kind::PollingOn: out.push_back("polling on"); break;
        case Kind::GreyBars: out.push_back("grey"); break;
        case Kind::Close: out.push_back("close"); break;
        case Kind::ReleaseLayer: out.push_back("release"); break;
        case Kind::EnableConnect: out.push_back("enable"); break;
        case Kind::State: out.push_back(std::string("state ") + ToString(a.state)); break;
        }
    }
    return out;
}

using Lines_ = std::vector<std::string>;

struct Engine {
    SessionEngine engine;
    explicit Engine(const std::string& user = "admin", const std::string& password = "secret")
    {
        engine.Begin({"ap1", user, password});
        engine.Connected();
    }
    Lines_ Feed(std::string_view bytes) { return Lines(engine.Received(bytes, kT0)); }
    // Logs in with a login prompt and a password prompt.
    void LogIn()
    {
        Feed("ap1 login: ");
        Feed("Password: ");
    }
};

const Lines_ kTeardown = {"grey", "timer stop", "send q", "send \r", "close", "status SOCKET closed", "release",
                          "log De-Initialized WinSock", "enable", "caption Test Korvane AP DISCONNECT", "state ended"};

Lines_ Then(Lines_ first, const Lines_& rest)
{
    first.insert(first.end(), rest.begin(), rest.end());
    return first;
}

TEST(EngineTest, AWholeSessionFromConnectToTheAccessPointClosing)
{
    SessionEngine engine;
    EXPECT_EQ(Lines(engine.Begin({"ap1", "admin", "secret"})), Lines_{"state starting"});
    EXPECT_EQ(Lines(engine.Tick(kT0)), Lines_{}) << "no polls before the connection";
    EXPECT_EQ(Lines(engine.Connected()), (Lines_{"status Login to ap1", "timer start", "state logging in"}));
    EXPECT_EQ(Lines(engine.Received("\r\nap1 login: ", kT0)), (Lines_{"rx 13", "send admin\r"}));
    EXPECT_EQ(Lines(engine.Tick(kT0)), Lines_{}) << "polling waits for the password";
    EXPECT_EQ(Lines(engine.Received("Password: ", kT0)),
              (Lines_{"rx 23", "status to ap1 connected", "send secret\r", "state logged in"}));
    EXPECT_EQ(Lines(engine.Received("\r\n", kT0)), Lines_{"rx 25"}) << "a line end is no sign of the shell";
    EXPECT_EQ(Lines(engine.Tick(kT0)), Lines_{}) << "the login program may still be checking the password";
    EXPECT_EQ(Lines(engine.Received("AP> ", kT0)), (Lines_{"rx 29", "polling on"}));
    EXPECT_EQ(Lines(engine.Tick(kT0)), (Lines_{"send get station", "send \r\n", "send get nf", "send \r\n"}));
    EXPECT_EQ(Lines(engine.Received("Local RSSI level: -61 dBm Remote RSSI level: -64 dBm\r\nAP> ", kT0)),
              (Lines_{"rx 87", "reading -/-61/-64"}));
    EXPECT_EQ(Lines(engine.Received("Noise Floor Level: -95 dBm\r\nAP> ", kT0)), (Lines_{"rx 119", "reading -95/-/-"}));
    EXPECT_EQ(engine.stats().m_nNoiseSum, -95);
    EXPECT_EQ(engine.stats().m_nLocalMax, -61);
    EXPECT_EQ(Lines(engine.PeerClosed()), kTeardown);
    EXPECT_EQ(engine.state(), SessionState::Ended);
    EXPECT_EQ(Lines(engine.PeerClosed()), Lines_{}) << "a session ends once";
    EXPECT_EQ(Lines(engine.Tick(kT0)), Lines_{});
}

TEST(EngineTest, AShellThatPrintsNothingIsPolledAfterAFewTicks)
{
    Engine e;
    e.LogIn();
    EXPECT_EQ(Lines(e.engine.Tick(kT0 + SessionEngine::kQuietShell - std::chrono::milliseconds(1))), Lines_{});
    EXPECT_EQ(Lines(e.engine.Tick(kT0 + SessionEngine::kQuietShell)),
              (Lines_{"polling on", "send get station", "send \r\n", "send get nf", "send \r\n"}));
}

TEST(EngineTest, PauseWhileTheLoginIsCheckedStands)
{
    Engine e;
    e.LogIn();
    e.engine.SetPolling(false);
    EXPECT_EQ(e.Feed("AP> "), Lines_{"rx 25"});
    EXPECT_EQ(Lines(e.engine.Tick(kT0 + 2 * SessionEngine::kQuietShell)), Lines_{});
}

TEST(EngineTest, ReadingsCarryTheirBytesAndTime)
{
    Engine e;
    e.LogIn();
    const SessionActions actions = e.engine.Received("Level: -90", kT0 + std::chrono::seconds(5));
    ASSERT_EQ(actions.back().kind, Kind::Reading);
    EXPECT_EQ(actions.back().reading.rxBytes, 11 + 10 + 10);
    EXPECT_EQ(actions.back().reading.at, kT0 + std::chrono::seconds(5));
}

TEST(EngineTest, ARejectedLoginEndsTheSessionWithoutAnsweringAgain)
{
    Engine e("u", "wrong");
    e.LogIn();
    EXPECT_EQ(e.Feed("\r\nLogin incorrect\r\nap1 login: "),
              Then({"rx 51", "status Login to ap1 rejected"}, kTeardown));
    SessionEngine again;
    again.Begin({"ap1", "u", "p"});
    again.Connected();
    again.Received("login: ", kT0);
    again.Received("Password: ", kT0);
    const SessionActions end = again.Received("Password: ", kT0);
    EXPECT_EQ(end.back().end, SessionEnd::LoginRejected);
}

TEST(EngineTest, DisconnectWaitsForTheAccessPointThenEndsAsTheUsersChoice)
{
    Engine e;
    e.LogIn();
    EXPECT_EQ(Lines(e.engine.Disconnect(true)), Lines_{"state closing"});
    EXPECT_FALSE(e.engine.polling());
    EXPECT_EQ(Lines(e.engine.Tick(kT0)), Lines_{});
    // A block that still arrives is not looked at: the session ends.
    const SessionActions end = e.engine.Received("Level: -90", kT0);
    EXPECT_EQ(Lines(end), kTeardown);
    EXPECT_EQ(end.back().end, SessionEnd::Disconnected);

    Engine silent;
    silent.engine.Disconnect(true);
    EXPECT_EQ(silent.engine.TimedOut().back().end, SessionEnd::Disconnected);
}

TEST(EngineTest, DisconnectBeforeTheConnectionCountsOnlyIfTheShutdownTookEffect)
{
    SessionEngine engine;
    engine.Begin({"ap1", "u", "p"});
    engine.Disconnect(false); // no socket to shut yet: no lasting effect
    engine.Connected();
    EXPECT_EQ(engine.state(), SessionState::LoggingIn);

    engine.Begin({"ap1", "u", "p"});
    engine.Disconnect(true);
    EXPECT_EQ(Lines(engine.Connected()), (Lines_{"status Login to ap1", "timer start", "state closing"}));
}

TEST(EngineTest, PauseBeforeTheConnectionIsClearedByIt)
{
    SessionEngine engine;
    engine.Begin({"ap1", "u", "p"});
    engine.SetPolling(true);
    engine.Connected();
    EXPECT_FALSE(engine.polling());
    engine.SetPolling(true); // Work before the login: the polls go to the login prompt
    EXPECT_EQ(Lines(engine.Tick(kT0)).size(), 4u);
}

TEST(EngineTest, SilenceEndsALiveSessionAsSilent)
{
    Engine e;
    EXPECT_EQ(e.engine.TimedOut().back().end, SessionEnd::Silent);
}

TEST(EngineTest, SshLineEndsAreTheSessionsOwn)
{
    SessionEngine engine;
    engine.Begin({"ssh://ap1", "u", "p", "\r", "\r", false});
    engine.Connected();
    engine.Received("Password: ", kT0);
    // No telnet layer: 0xFF bytes are data.
    EXPECT_EQ(Lines(engine.Received("\xff\xfd\x18Level: -90", kT0)), (Lines_{"rx 23", "polling on", "reading -90/-/-"}));
    EXPECT_EQ(Lines(engine.Tick(kT0)), (Lines_{"send get station", "send \r", "send get nf", "send \r"}));
}

TEST(EngineTest, OverATerminalPiecesWaitForTheirLineAndEmptyLinesLeaveTheScreenAlone)
{
    SessionEngine engine;
    engine.Begin(SessionParams::OverTerminal("ssh://ap1", "u", "p"));
    engine.Connected();
    engine.LoggedInByTransport();
    EXPECT_EQ(Lines(engine.Received("get station\r\nStation table\r\n  1  Local RSSI le", kT0)), Lines_{})
        << "the echo and the table head carry nothing; the label waits for the rest of its line";
    EXPECT_EQ(Lines(engine.Received("vel: -61 dBm  Remote RSSI level: -6", kT0)), Lines_{});
    EXPECT_EQ(Lines(engine.Received("4 dBm\r\nAP> ", kT0)), (Lines_{"rx 92", "reading -/-61/-64"}))
        << "the whole line read once, the count shown with it";
    EXPECT_EQ(engine.stats().m_nRxTotal, 92);
    EXPECT_EQ(Lines(engine.Received("Password: ", kT0)).front(), "rx 102") << "a prompt is passed on at once";
}

// The telnet layer between the socket and the session.
TEST(TelnetTest, RefusesEveryOptionOnceAndKeepsTheDataExact)
{
    Engine e;
    // Split across blocks: DO TTYPE, WILL ECHO, a subnegotiation, IAC IAC as data.
    EXPECT_EQ(e.Feed("\xff"), (Lines_{"rx 1"}));
    EXPECT_EQ(e.Feed("\xfd\x18\xff\xfb"), (Lines_{"rx 5", "send \xff\xfc\x18"}));
    EXPECT_EQ(e.Feed("\x01\xff\xfa\x18\x01\xff\xf0Level: \xff\xff-90"),
              (Lines_{"rx 24", "send \xff\xfe\x01", "reading 0/-/-"})); // the 0xFF after the blank is read as no number
    // Refusals are never answered, so refusing can never loop.
    EXPECT_EQ(e.Feed("\xff\xfc\x18\xff\xfe\x01"), (Lines_{"rx 30"}));
}

TEST(TelnetTest, NothingIsAddedForAPeerThatNeverNegotiates)
{
    Engine e("us\xffr", "secret");
    EXPECT_EQ(e.Feed("login: "), (Lines_{"rx 7", "send us\xffr\r"}));
    TelnetLayer layer;
    std::string data, reply;
    layer.Receive("\xff\xfd\x01", data, reply);
    EXPECT_EQ(layer.Encode("a\xff"), "a\xff\xff") << "once the peer speaks telnet, a data 0xFF is doubled";
}

TEST(TelnetTest, AZeroInACommandDoesNotEndTheTextButAZeroInTheDataDoes)
{
    Engine e;
    EXPECT_EQ(e.Feed(std::string("\xff\xfd\x00login: ", 10)), (Lines_{"rx 10", std::string("send \xff\xfc\x00", 8), "send admin\r"}));
    Engine f;
    EXPECT_EQ(f.Feed(std::string("Level: -90\0login: ", 18)), (Lines_{"rx 18", "reading -90/-/-"}));
}

// Consumers: a post never waits for its consumer.
TEST(ConsumerTest, ASlowConsumerLosesItsOldestReadingsButNoStateChange)
{
    UpdateMailbox mailbox(4);
    SessionUpdate state;
    state.kind = SessionUpdate::Kind::State;
    state.state = SessionState::LoggedIn;
    mailbox.Post(state);
    for (int i = 0; i < 10; ++i) {
        SessionUpdate r;
        r.reading.noise = -90 - i;
        mailbox.Post(r);
    }
    const std::vector<SessionUpdate> got = mailbox.Take();
    ASSERT_EQ(got.size(), 4u);
    EXPECT_EQ(got[0].kind, SessionUpdate::Kind::State);
    EXPECT_EQ(got[1].reading.noise, -97);
    EXPECT_EQ(got[3].reading.noise, -99);
    EXPECT_EQ(mailbox.dropped(), 7u);
    EXPECT_TRUE(mailbox.Take().empty());
}

TEST(ConsumerTest, EveryConsumerGetsEveryUpdateAndIsWokenOncePerBatch)
{
    ConsumerHub hub;
    int wakes = 0;
    auto a = std::make_shared<UpdateMailbox>(16, [&] { ++wakes; });
    auto b = std::make_shared<UpdateMailbox>(16);
    hub.Subscribe(a);
    hub.Subscribe(b);
    SessionUpdate r;
    r.host = "ap1";
    hub.Publish(r);
    hub.Publish(r);
    EXPECT_EQ(wakes, 1) << "woken when the mailbox was empty, not per update";
    EXPECT_EQ(a->Take().size(), 2u);
    EXPECT_EQ(b->Take().size(), 2u);
    hub.Unsubscribe(a);
    hub.Publish(r);
    EXPECT_TRUE(a->Take().empty());
    EXPECT_EQ(b->Take().size(), 1u);
}

TEST(ConsumerTest, PostersOnManyThreadsNeverBlockOnAConsumerThatNeverTakes)
{
    auto mailbox = std::make_shared<UpdateMailbox>(8);
    ConsumerHub hub;
    hub.Subscribe(mailbox);
    std::vector<std::thread> posters;
    for (int t = 0; t < 4; ++t)
        posters.emplace_back([&] {
            for (int i = 0; i < 10000; ++i)
                hub.Publish(SessionUpdate{});
        });
    for (auto& p : posters)
        p.join();
    EXPECT_EQ(mailbox->Take().size(), 8u);
    EXPECT_EQ(mailbox->dropped(), 40000u - 8u);
}

} // namespace
} // namespace approbe
