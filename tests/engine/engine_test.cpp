// The session engine on its own: bytes in, sends, readings and narration out; no window, no
// socket, no thread.
#include <gtest/gtest.h>

#include <set>

#include "session_engine.h"
#include "statistics.h"
#include "telnet_layer.h"

namespace approbe::session {
namespace {

using ui::Statistics;
using Kind = SessionAction::Kind;
using Clock = std::chrono::system_clock;
const Clock::time_point kT0 = Clock::time_point(std::chrono::seconds(1'765'000'000));

// A reading's levels as "n/l/r"; a later row's as " row I l/r"; the rows it carries as
// " [mac l/r, ...]" when there is more than one or one with a MAC address.
std::string Describe(const Reading& r)
{
    auto opt = [](const std::optional<int>& v) { return v ? std::to_string(*v) : std::string("-"); };
    std::string out = opt(r.noise) + "/" + opt(r.local) + "/" + opt(r.remote);
    if (r.row > 0)
        out += " row " + std::to_string(r.row) + " " + opt(r.rowLocal) + "/" + opt(r.rowRemote);
    if (r.stations.size() > 1 || (r.stations.size() == 1 && r.stations[0].mac)) {
        out += " [";
        for (const StationRow& row : r.stations)
            out += (row.mac ? row.mac->ToString() : std::string("?")) + " " + opt(row.local) + "/" + opt(row.remote) +
                   (&row == &r.stations.back() ? "]" : ", ");
    }
    return out;
}

// What a list of actions says, one line each: "send <bytes>", "status <text>", "reading ...",
// "state <name>", the rest by kind.
std::vector<std::string> Lines(const SessionActions& actions)
{
    std::vector<std::string> out;
    for (const SessionAction& a : actions) {
        switch (a.kind) {
        case Kind::Send: out.push_back("send " + a.text); break;
        case Kind::Status: out.push_back("status " + a.text); break;
        case Kind::Log: out.push_back("log " + a.text); break;
        case Kind::RxTotal: out.push_back("rx " + std::to_string(a.count)); break;
        case Kind::Reading: out.push_back("reading " + Describe(a.reading)); break;
        case Kind::PollingOn: out.push_back("polling on"); break;
        case Kind::Polled: out.push_back("polled " + std::to_string(a.count)); break;
        case Kind::Device: out.push_back("device " + a.text + " " + std::to_string(a.count)); break;
        case Kind::Trace: out.push_back("trace " + a.text); break;
        case Kind::Close: out.push_back("close"); break;
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

// The teardown of a session that ends at a login program, and of one whose shell has shown itself.
const Lines_ kTeardown = {"close", "state ended"};
const Lines_ kShellTeardown = {"send q", "send \r", "close", "state ended"};
// The default type told by its prompt.
const Lines_ kKorvane = {"device korvane 7"};

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
    EXPECT_EQ(Lines(engine.Connected()), (Lines_{"status Login to ap1", "state logging in"}));
    EXPECT_EQ(Lines(engine.Received("\r\nap1 login: ", kT0)), (Lines_{"rx 13", "send admin\r"}));
    EXPECT_EQ(Lines(engine.Tick(kT0)), Lines_{}) << "polling waits for the password";
    EXPECT_EQ(Lines(engine.Received("Password: ", kT0)),
              (Lines_{"rx 23", "status to ap1 connected", "send secret\r", "state logged in"}));
    EXPECT_EQ(Lines(engine.Received("\r\n", kT0)), Lines_{"rx 25"}) << "a line end is no sign of the shell";
    EXPECT_EQ(Lines(engine.Received("Last log", kT0)), Lines_{}) << "nor is a piece of a line";
    EXPECT_EQ(Lines(engine.Tick(kT0)), Lines_{}) << "the login program may still be checking the password";
    EXPECT_EQ(Lines(engine.Received("in: today\r\nAP> ", kT0)), Then({"rx 48", "polling on"}, kKorvane))
        << "the prompt tells the type";
    EXPECT_EQ(Lines(engine.Tick(kT0)), (Lines_{"send get station", "send \r\n", "send get nf", "send \r\n", "polled 2"}));
    EXPECT_EQ(engine.shellPrompt(), "AP>");
    EXPECT_EQ(Lines(engine.Received("Local RSSI level: -61 dBm Remote RSSI level: -64 dBm\r\nAP> ", kT0)),
              (Lines_{"rx 106", "reading -/-61/-64"}));
    EXPECT_EQ(Lines(engine.Received("Noise Floor Level: -95 dBm\r\nAP> ", kT0)), (Lines_{"rx 138", "reading -95/-/-"}));
    EXPECT_EQ(Lines(engine.End(SessionEnd::PeerClosed)), kShellTeardown);
    EXPECT_EQ(engine.state(), SessionState::Ended);
    EXPECT_EQ(Lines(engine.End(SessionEnd::PeerClosed)), Lines_{}) << "a session ends once";
    EXPECT_EQ(Lines(engine.Tick(kT0)), Lines_{});
}

TEST(EngineTest, AShellThatPrintsNothingIsPolledAfterAFewTicks)
{
    Engine e;
    e.LogIn();
    EXPECT_EQ(Lines(e.engine.Tick(kT0 + SessionEngine::kQuietShell - std::chrono::milliseconds(1))), Lines_{});
    EXPECT_EQ(Lines(e.engine.Tick(kT0 + SessionEngine::kQuietShell)),
              Then(kKorvane, {"polling on", "send get station", "send \r\n", "send get nf", "send \r\n", "polled 2"}));
}

TEST(EngineTest, PauseWhileTheLoginIsCheckedStands)
{
    Engine e;
    e.LogIn();
    e.engine.SetPolling(false);
    EXPECT_EQ(e.Feed("AP> "), Then({"rx 25"}, kKorvane)) << "the type is told, but polling stays off";
    EXPECT_EQ(Lines(e.engine.Tick(kT0 + 2 * SessionEngine::kQuietShell)), Lines_{});
    EXPECT_EQ(Lines(e.engine.End(SessionEnd::PeerClosed)), kShellTeardown) << "the shell has shown itself: it gets the farewell";
}

TEST(EngineTest, ReadingsCarryTheirBytesAndTime)
{
    Engine e;
    e.LogIn();
    const SessionActions actions = e.engine.Received("Level: -90\r\n", kT0 + std::chrono::seconds(5));
    ASSERT_EQ(Lines(actions), (Lines_{"rx 33", "polling on", "reading -90/-/-"}));
    EXPECT_EQ(actions[2].reading.rxBytes, 11 + 10 + 12);
    EXPECT_EQ(actions[2].reading.at, kT0 + std::chrono::seconds(5));
}

// A rejected login gets the user name and the password once each and nothing else: no second
// try, no farewell typed into the login program's prompt. A session that ends at a login prompt
// just closes.
TEST(EngineTest, ARejectedLoginEndsTheSessionWithoutAnsweringAgainOrSayingGoodbye)
{
    Engine e("u", "wrong");
    e.LogIn();
    EXPECT_EQ(e.Feed("\r\nLogin incorr"), Lines_{"rx 35"});
    EXPECT_EQ(Lines(e.engine.Tick(kT0 + std::chrono::seconds(1))), Lines_{}) << "no poll to the login program";
    EXPECT_EQ(e.Feed("ect\r\nap1 login: "), Then({"rx 51", "polling on", "status Login to ap1 rejected"}, kTeardown))
        << "a whole line after the password is taken for the shell's, but the prompt after it ends the session";
    SessionEngine again;
    again.Begin({"ap1", "u", "p"});
    again.Connected();
    again.Received("login: ", kT0);
    again.Received("Password: ", kT0);
    const SessionActions end = again.Received("Password: ", kT0);
    EXPECT_EQ(end.back().end, SessionEnd::LoginRejected);

    for (const char* prompt : {"login: ", "Password: "}) {
        Engine closed;
        closed.Feed(prompt);
        EXPECT_EQ(Lines(closed.engine.End(SessionEnd::PeerClosed)), kTeardown) << prompt;
    }
    Engine byShell;
    byShell.LogIn();
    byShell.Feed("\r\nAP> ");
    byShell.Feed("\r\nap1 login: ");
    EXPECT_EQ(byShell.engine.state(), SessionState::Ended);
}

TEST(EngineTest, DisconnectWaitsForTheAccessPointThenEndsAsTheUsersChoice)
{
    Engine e;
    e.LogIn();
    e.Feed("\r\nAP> ");
    EXPECT_EQ(Lines(e.engine.Disconnect(true)), Lines_{"state closing"});
    EXPECT_FALSE(e.engine.polling());
    EXPECT_EQ(Lines(e.engine.Tick(kT0)), Lines_{});
    // A block that still arrives is not looked at: the session ends.
    const SessionActions end = e.engine.Received("Level: -90\r\n", kT0);
    EXPECT_EQ(Lines(end), kShellTeardown);
    EXPECT_EQ(end.back().end, SessionEnd::Disconnected);

    Engine silent;
    silent.engine.Disconnect(true);
    EXPECT_EQ(silent.engine.End(SessionEnd::Silent).back().end, SessionEnd::Disconnected);
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
    EXPECT_EQ(Lines(engine.Connected()), (Lines_{"status Login to ap1", "state closing"}));
}

TEST(EngineTest, PauseBeforeTheConnectionIsClearedByIt)
{
    SessionEngine engine;
    engine.Begin({"ap1", "u", "p"});
    engine.SetPolling(true);
    engine.Connected();
    EXPECT_FALSE(engine.polling());
    engine.SetPolling(true); // Work before the login: the polls go to the login prompt
    EXPECT_EQ(Lines(engine.Tick(kT0)).size(), 5u);
}

TEST(EngineTest, SshLineEndsAreTheSessionsOwn)
{
    SessionEngine engine;
    engine.Begin({"ssh://ap1", "u", "p", "\r", "\r", false});
    engine.Connected();
    engine.Received("Password: ", kT0);
    // No telnet layer: 0xFF bytes are data.
    EXPECT_EQ(Lines(engine.Received("\xff\xfd\x18Level: -90\r\nAP> ", kT0)),
              Then({"rx 29", "polling on", "reading -90/-/-"}, kKorvane));
    EXPECT_EQ(Lines(engine.Tick(kT0)), (Lines_{"send get station", "send \r", "send get nf", "send \r", "polled 2"}));
}

// Over a terminal and over telnet alike: a line that comes in pieces is read once it is whole,
// its count shown with it; a prompt is looked at at once.
TEST(EngineTest, PiecesWaitForTheirLineOverEitherTransport)
{
    for (const bool ssh : {true, false}) {
        SCOPED_TRACE(ssh ? "ssh" : "telnet");
        SessionEngine engine;
        engine.Begin(ssh ? SessionParams::OverTerminal("ssh://ap1", "u", "p") : SessionParams{"ap1", "u", "p"});
        engine.Connected();
        if (ssh)
            engine.LoggedInByTransport();
        EXPECT_EQ(Lines(engine.Received("get station\r\nStation table\r\n  1  Local RSSI le", kT0)), Lines_{"rx 46"})
            << "the echo and the table head carry nothing; the label waits for the rest of its line";
        EXPECT_EQ(Lines(engine.Received("vel: -61 dBm  Remote RSSI level: -6", kT0)), Lines_{});
        EXPECT_EQ(Lines(engine.Received("4 dBm\r\nAP> ", kT0)), Then({"rx 92", "reading -/-61/-64"}, ssh ? kKorvane : Lines_{}))
            << "the whole line read once, the count shown with it";
        EXPECT_EQ(engine.received(), 92);
        EXPECT_EQ(Lines(engine.Received("Noise Floor Le", kT0)), Lines_{});
        EXPECT_EQ(Lines(engine.Received("vel:\r\n", kT0)), Lines_{"rx 112"}) << "a label with no number reads nothing";
        EXPECT_EQ(Lines(engine.Received("Password: ", kT0)).front(), "rx 122") << "a prompt is passed on at once";
    }
}

// --- One reading per poll, whatever the cuts ---------------------------------------------------

// What an access point sends, with the ticks where they fall among its blocks.
struct Step {
    std::string bytes;
    bool tick = false;
};
Step TickStep() { return {{}, true}; }

// A transcript through a fresh engine: each step's bytes as one block, except that the received
// stream is also cut at the given offsets (counted from the first step at or after `from`). The
// readings as Describe gives them, and everything sent.
struct Outcome {
    Lines_ readings;
    std::string sent;
    bool operator==(const Outcome&) const = default;
};
void PrintTo(const Outcome& o, std::ostream* os) { *os << ::testing::PrintToString(o.readings) << " sent " << ::testing::PrintToString(o.sent); }

Outcome Run(const SessionParams& params, const std::vector<Step>& steps, std::size_t from, const std::set<std::size_t>& cuts)
{
    SessionEngine engine;
    engine.Begin(params);
    engine.Connected();
    if (!params.telnet)
        engine.LoggedInByTransport();
    Outcome o;
    auto take = [&](const SessionActions& actions) {
        for (const SessionAction& a : actions) {
            if (a.kind == Kind::Reading)
                o.readings.push_back(Describe(a.reading));
            else if (a.kind == Kind::Send)
                o.sent += a.text;
        }
    };
    std::size_t offset = 0;
    auto clock = kT0;
    for (std::size_t i = 0; i < steps.size(); ++i) {
        if (steps[i].tick) {
            clock += std::chrono::seconds(1);
            take(engine.Tick(clock));
            continue;
        }
        std::size_t begin = 0;
        const std::string& bytes = steps[i].bytes;
        for (std::size_t at = 1; i >= from && at < bytes.size(); ++at) {
            if (cuts.count(offset + at)) {
                take(engine.Received(std::string_view(bytes).substr(begin, at - begin), clock));
                begin = at;
            }
        }
        take(engine.Received(std::string_view(bytes).substr(begin), clock));
        if (i >= from)
            offset += bytes.size();
    }
    take(engine.End(SessionEnd::PeerClosed));
    return o;
}

// Cut at every byte position once, and at every position at once: the same as uncut.
void ExpectCutsChangeNothing(const SessionParams& params, const std::vector<Step>& steps, std::size_t from, const Outcome& uncut)
{
    ASSERT_EQ(Run(params, steps, from, {}), uncut);
    std::size_t total = 0;
    for (std::size_t i = from; i < steps.size(); ++i)
        total += steps[i].bytes.size();
    std::set<std::size_t> everywhere;
    for (std::size_t cut = 1; cut < total; ++cut) {
        ASSERT_EQ(Run(params, steps, from, {cut}), uncut) << "cut at " << cut;
        everywhere.insert(cut);
    }
    EXPECT_EQ(Run(params, steps, from, everywhere), uncut) << "one byte a block";
}

const std::string kHead = "Station table\r\n  ID  MAC address        Rate   Signal\r\n";
std::string Row(int id, const char* mac, int local, int remote)
{
    return "  " + std::to_string(id) + "   " + mac + "  54M    Local RSSI level: " + std::to_string(local) +
           " dBm  Remote RSSI level: " + std::to_string(remote) + " dBm\r\n";
}
const char* const kMac1 = "00:0c:42:1a:2b:3c";
const char* const kMac2 = "00:0C:42:AA:BB:CC"; // as an access point may print it

// The access point: station 1 moves, station 2 sits at -90/-91. Tables in two pieces with
// a tick between them, stations in either order, a noise reply before its station reply, a reply
// that lacks a value: each poll gives its first row and its noise floor, once.
TEST(PollReadingTest, EachPollGivesItsFirstRowWhateverTheCutsOrPauses)
{
    const std::string nf = "AP> Noise Floor Level: ";
    const std::vector<Step> steps = {
        {"ap1 login: "}, {"Password: "}, {"\r\nLast login: today\r\nAP> "},
        TickStep(), // poll 1: its table comes slowly, past the next tick
        {kHead + Row(1, kMac1, -62, -66)},
        TickStep(), // poll 2 is sent while poll 1's table is under way
        {Row(2, kMac2, -90, -91) + nf + "-95 dBm\r\nAP> "},
        {kHead + Row(1, kMac1, -63, -67) + Row(2, kMac2, -90, -91) + nf + "-96 dBm\r\nAP> "},
        TickStep(), // poll 3: noise first, station 2 first in the table
        {"Noise Floor Level: -97 dBm\r\nAP> " + kHead + Row(2, kMac2, -90, -91) + Row(1, kMac1, -64, -68) + "AP> "},
        TickStep(), // poll 4: no remote RSSI in its first row, a noise label without a number
        {kHead + "  1   00:0c:42:1a:2b:3c  54M    Local RSSI level: -65 dBm  Remote RSSI level:\r\n" +
         Row(2, kMac2, -90, -91) + nf + "\r\nAP> "},
    };
    const Outcome expected = {
        {"-/-62/-66 [00:0c:42:1a:2b:3c -62/-66]",
         "-/-/- row 1 -90/-91 [00:0c:42:1a:2b:3c -62/-66, 00:0c:42:aa:bb:cc -90/-91]",
         "-95/-/- [00:0c:42:1a:2b:3c -62/-66, 00:0c:42:aa:bb:cc -90/-91]",
         "-/-63/-67 [00:0c:42:1a:2b:3c -63/-67]",
         "-/-/- row 1 -90/-91 [00:0c:42:1a:2b:3c -63/-67, 00:0c:42:aa:bb:cc -90/-91]",
         "-96/-/- [00:0c:42:1a:2b:3c -63/-67, 00:0c:42:aa:bb:cc -90/-91]",
         "-97/-/-",
         "-/-90/-91 [00:0c:42:aa:bb:cc -90/-91]",
         "-/-/- row 1 -64/-68 [00:0c:42:aa:bb:cc -90/-91, 00:0c:42:1a:2b:3c -64/-68]",
         "-/-65/- [00:0c:42:1a:2b:3c -65/-]",
         "-/-/- row 1 -90/-91 [00:0c:42:1a:2b:3c -65/-, 00:0c:42:aa:bb:cc -90/-91]"},
        "admin\rsecret\r" + std::string("get station\r\nget nf\r\n") + "get station\r\nget nf\r\n" +
            "get station\r\nget nf\r\n" + "get station\r\nget nf\r\nq\r"};
    const SessionParams telnet{"ap1", "admin", "secret"};
    ExpectCutsChangeNothing(telnet, steps, 3, expected);

    // The dialog's statistics of these readings take each value once per poll, and only the
    // first rows' levels.
    SessionEngine engine;
    engine.Begin(telnet);
    engine.Connected();
    auto clock = kT0;
    Statistics stats;
    for (const Step& s : steps) {
        for (const SessionAction& a :
             s.tick ? engine.Tick(clock += std::chrono::seconds(1)) : engine.Received(s.bytes, clock))
            if (a.kind == Kind::Reading)
                stats.Add(a.reading);
    }
    EXPECT_EQ(stats.m_nNoiseCount, 3);
    EXPECT_EQ(stats.m_nLocalMax, -62);
    EXPECT_EQ(stats.m_nLocalMin, -90);
}

// Over SSH the terminal echoes the commands after the prompt; the same rules hold.
TEST(PollReadingTest, AnEchoingTerminalReadsAlike)
{
    const std::vector<Step> steps = {
        {"Korvane AP shell\r\nAP> "},
        TickStep(),
        {"get station\r\nget nf\r\n" + kHead + Row(1, kMac1, -61, -64)},
        {Row(2, kMac2, -90, -91) + "AP> Noise Floor Level: -93 dBm\r\nAP> "},
        TickStep(),
        {"get station\r\nget nf\r\n" + kHead + Row(2, kMac2, -90, -91) + Row(1, kMac1, -60, -63) +
         "AP> Noise Floor Level: -94 dBm\r\nAP> "},
    };
    const Outcome expected = {
        {"-/-61/-64 [00:0c:42:1a:2b:3c -61/-64]",
         "-/-/- row 1 -90/-91 [00:0c:42:1a:2b:3c -61/-64, 00:0c:42:aa:bb:cc -90/-91]",
         "-93/-/- [00:0c:42:1a:2b:3c -61/-64, 00:0c:42:aa:bb:cc -90/-91]",
         "-/-90/-91 [00:0c:42:aa:bb:cc -90/-91]",
         "-/-/- row 1 -60/-63 [00:0c:42:aa:bb:cc -90/-91, 00:0c:42:1a:2b:3c -60/-63]",
         "-94/-/- [00:0c:42:aa:bb:cc -90/-91, 00:0c:42:1a:2b:3c -60/-63]"},
        "get station\rget nf\rget station\rget nf\rq\r"};
    ExpectCutsChangeNothing(SessionParams::OverTerminal("ssh://ap1", "u", "p"), steps, 0, expected);
}

// Where the prompt tells nothing, the tick ends a poll: a shell that shows no prompt, and one
// whose replies stop carrying the prompt it showed (after kPromptPatience ticks).
TEST(PollReadingTest, WithoutThePromptTheTickEndsAPoll)
{
    const std::string reply = kHead + Row(1, kMac1, -61, -64) + Row(2, kMac2, -90, -91) + "Noise Floor Level: -93 dBm\r\n";
    SessionEngine quiet;
    quiet.Begin(SessionParams::OverTerminal("ssh://ap1", "u", "p"));
    quiet.Connected();
    quiet.LoggedInByTransport();
    quiet.Received("Welcome\r\n", kT0);
    for (int poll = 0; poll < 3; ++poll) {
        SCOPED_TRACE(poll);
        quiet.Tick(kT0);
        EXPECT_EQ(quiet.shellPrompt(), "");
        const Lines_ lines = Lines(quiet.Received(reply, kT0));
        ASSERT_EQ(lines.size(), 4u);
        EXPECT_EQ(lines[1], "reading -/-61/-64 [00:0c:42:1a:2b:3c -61/-64]");
        EXPECT_EQ(lines[3], "reading -93/-/- [00:0c:42:1a:2b:3c -61/-64, 00:0c:42:aa:bb:cc -90/-91]");
    }

    Engine changed;
    changed.LogIn();
    changed.Feed("\r\nAP> ");
    changed.engine.Tick(kT0);
    EXPECT_EQ(changed.engine.shellPrompt(), "AP>");
    EXPECT_EQ(changed.Feed(reply + "AP# ").size(), 4u) << "poll 1";
    changed.engine.Tick(kT0);
    for (const std::string& line : changed.Feed(reply + "AP# "))
        EXPECT_TRUE(line.rfind("reading -/-/- row ", 0) == 0 || line.rfind("rx ", 0) == 0)
            << line << ": still poll 1 for all the engine knows, whose first row and noise are in";
    changed.engine.Tick(kT0);
    EXPECT_EQ(changed.engine.shellPrompt(), "") << "forgotten after " << SessionEngine::kPromptPatience << " ticks";
    EXPECT_EQ(changed.Feed(reply + "AP# ").size(), 4u) << "the tick ends each poll from now on";
}

// A shell that ends both replies of a poll with one prompt: the poll is over when the next tick
// finds the shell waiting at it.
TEST(PollReadingTest, OnePromptForBothRepliesEndsThePollAtTheNextTick)
{
    Engine e;
    e.LogIn();
    e.Feed("\r\nAP> ");
    for (int noise : {-90, -91}) {
        e.engine.Tick(kT0);
        EXPECT_EQ(e.Feed(Row(1, kMac1, -60, -70) + "Noise Floor Level: " + std::to_string(noise) + " dBm\r\nAP> ").back(),
                  "reading " + std::to_string(noise) + "/-/- [00:0c:42:1a:2b:3c -60/-70]");
    }
}

// Lines outside a poll are each a reading of their own.
TEST(PollReadingTest, LinesOutsideAPollAreReadOneByOne)
{
    Engine e;
    e.LogIn();
    const std::string text = "Level: -90\r\nLevel: -91\r\n" + Row(1, kMac1, -60, -70) + Row(2, kMac2, -50, -55);
    EXPECT_EQ(e.Feed(text),
              (Lines_{"rx " + std::to_string(21 + text.size()), "polling on", "reading -90/-/-", "reading -91/-/-",
                      "reading -/-60/-70 [00:0c:42:1a:2b:3c -60/-70]", "reading -/-50/-55 [00:0c:42:aa:bb:cc -50/-55]"}));
}

// The telnet layer between the socket and the session.
TEST(TelnetTest, RefusesEveryOptionOnceAndKeepsTheDataExact)
{
    Engine e;
    // Split across blocks: DO TTYPE, WILL ECHO, a subnegotiation, IAC IAC as data.
    EXPECT_EQ(e.Feed("\xff"), Lines_{});
    EXPECT_EQ(e.Feed("\xfd\x18\xff\xfb"), (Lines_{"send \xff\xfc\x18"}));
    EXPECT_EQ(e.Feed("\x01\xff\xfa\x18\x01\xff\xf0Level:\xff\xff-90\r\n"),
              (Lines_{"rx 25", "send \xff\xfe\x01", "reading -90/-/-"})); // the doubled 0xFF is the one skipped
    // Refusals are never answered, so refusing can never loop.
    EXPECT_EQ(e.Feed("\xff\xfc\x18\xff\xfe\x01"), Lines_{});
    EXPECT_EQ(e.engine.received(), 31);
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

TEST(TelnetTest, AZeroInACommandDoesNotEndTheTextButAZeroInTheDataEndsItsLine)
{
    Engine e;
    EXPECT_EQ(e.Feed(std::string("\xff\xfd\x00login: ", 10)), (Lines_{"rx 10", std::string("send \xff\xfc\x00", 8), "send admin\r"}));
    Engine f;
    EXPECT_EQ(f.Feed(std::string("Level: -90\0login: \r\nLevel: -91\r\n", 32)),
              (Lines_{"rx 32", "reading -90/-/-", "reading -91/-/-"}));
}

} // namespace
} // namespace approbe::session
