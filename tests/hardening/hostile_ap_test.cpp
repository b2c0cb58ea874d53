// Hostile and broken access points, played by the simulator over loopback: each session ends
// with its normal teardown, within a deadline, and a normal session works right after it.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "session_rig.h"
#include "sim_process.h"

namespace approbe {
namespace {

using namespace test;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

struct Hostile {
    const char* name;
    const char* script;
    const char* reached;        // the event that shows the state was reached, and
    bool userDisconnects;       // else the access point ends the session
    const char* received;       // what the access point has received by then
    bool loggedIn;              // the password prompt came, so the session said it connected
};

void PrintTo(const Hostile& c, std::ostream* os) { *os << c.name; }

class HostileApTest : public ::testing::TestWithParam<Hostile> {};

TEST_P(HostileApTest, EndsWithTheNormalTeardownAndTheNextSessionWorks)
{
    const Hostile& c = GetParam();
    SimProcess sim({}, c.script);
    SessionRig rig("127.0.0.1", std::to_string(sim.port()));
    rig.Connect();
    ASSERT_TRUE(rig.window.waitForEvent(c.reached));
    ASSERT_TRUE(sim.waitReceived(c.received, 5s)) << sim.received();
    const auto acted = Clock::now();
    if (c.userDisconnects)
        rig.Disconnect();
    ASSERT_TRUE(rig.WaitEnd(5s));
    EXPECT_LT(Clock::now() - acted, 5s);
    ExpectTornDown(rig);
    // Only a shell that has shown itself after the password gets the farewell.
    if (!c.loggedIn) {
        EXPECT_EQ(sim.received().find("q\r"), std::string::npos) << sim.received();
    }
    EXPECT_EQ(rig.window.events(kConnectedLine).size(), c.loggedIn ? 1u : 0u);
    // A silent access point ignores the end of input; any other closes its side.
    EXPECT_TRUE(std::strstr(c.script, "silent") || sim.waitClosedConnections(1, 5s));
    ExpectNormalSessionAfterwards(rig);
}

const std::string kLoginLine = "log " + kPrefix + "Login to 127.0.0.1";

INSTANTIATE_TEST_SUITE_P(
    AccessPoints, HostileApTest,
    ::testing::Values(
        // Logged in: the shell has shown itself (its prompt turned polling on), so it gets the farewell.
        Hostile{"LoggedInThenDisconnect", "login\nshell\n", "pause Pause", true, "admin\radmin\r", true},
        Hostile{"ResetWhileLoggedIn", "login\nsleep 200\nreset\n", kConnectedLine.c_str(), false, "admin\radmin\r", true},
        Hostile{"ClosesAfterTheUserName", "send login: \nexpect admin\\r\nclose\n", kLoginLine.c_str(), false,
                "admin\r", false},
        Hostile{"ResetsAfterTheUserName", "send login: \nexpect admin\\r\nreset\n", kLoginLine.c_str(), false,
                "admin\r", false},
        Hostile{"NeverPromptsThenCloses", "send Welcome\\r\\n\nsleep 300\nclose\n", kLoginLine.c_str(), false,
                "", false},
        Hostile{"NeverPromptsThenDisconnect", "send Welcome\\r\\n\nsilent\n", "field 1011 9", true, "", false},
        Hostile{"StuckInLoginThenDisconnect", "send login: \nexpect admin\\r\nsilent\n", kLoginLine.c_str(), true,
                "admin\r", false},
        Hostile{"SilentFromAcceptThenDisconnect", "silent\n", kLoginLine.c_str(), true, "", false}),
    [](const auto& row) { return std::string(row.param.name); });

// The replies come one byte per write, 1 ms apart: every byte is counted, the session goes on
// reading values once whole lines come again, and ends normally.
TEST(HostileApTest, RepliesOneByteAtATime)
{
    const std::string station = "Station table\r\n  1  Local RSSI level: -61 dBm  Remote RSSI level: -67 dBm\r\nAP> ";
    const std::string noise = "Noise Floor Level: -95 dBm\r\nAP> ";
    const std::string last = "Noise Floor Level: -91 dBm\r\nAP> ";
    auto escaped = [](std::string s) {
        for (std::size_t at = 0; (at = s.find_first_of("\r\n", at)) != std::string::npos; at += 2)
            s.replace(at, 1, s[at] == '\r' ? "\\r" : "\\n");
        return s.back() == ' ' ? s.substr(0, s.size() - 1) + "\\x20" : s;
    };
    SimProcess sim({}, "login\nbytewise on\nreply " + escaped(station) + "\nreply " + escaped(noise) +
                           "\nbytewise off\nreply " + escaped(last) + "\nclose\n");
    SessionRig rig("127.0.0.1", std::to_string(sim.port()));
    ASSERT_TRUE(rig.LogIn());
    const auto login = std::string("login: Password: \r\nAP> ").size();
    rig.Tick();
    const std::string slowPart = std::to_string(login + station.size() + noise.size());
    ASSERT_TRUE(rig.window.waitForEvent("field 1011 " + slowPart)) << "every byte of the slow replies counted";
    rig.Tick();
    ASSERT_TRUE(rig.WaitEnd(5s));
    ExpectTornDown(rig);
    EXPECT_EQ(rig.window.latest("field 1011"), std::to_string(login + station.size() + noise.size() + last.size()));
    EXPECT_EQ(rig.window.latest("field 1002"), "-91 dBm") << "values are read again once lines come whole";
    ExpectNormalSessionAfterwards(rig);
}

// 100 MB of labelled lines as fast as loopback carries them, then a close: nothing is lost, the
// session reads through it all and ends normally. APPROBE_FLOOD_BYTES makes it smaller.
TEST(HostileApTest, FloodIsReadThroughToItsEnd)
{
    long long bytes = 100'000'000;
    if (const char* env = std::getenv("APPROBE_FLOOD_BYTES"))
        bytes = std::atoll(env);
    SimProcess sim({}, "login\nvalues -90 -60 -70\nflood " + std::to_string(bytes) + "\nclose\n");
    SessionRig rig("127.0.0.1", std::to_string(sim.port()));
    rig.window.keepValueEvents(false);
    const auto start = Clock::now();
    rig.Connect();
    ASSERT_TRUE(rig.WaitEnd(150s)) << "liveness";
    RecordProperty("flood_seconds", std::to_string(std::chrono::duration<double>(Clock::now() - start).count()));
    ExpectTornDown(rig);
    const auto login = static_cast<long long>(std::string("login: Password: \r\nAP> ").size());
    EXPECT_EQ(rig.window.latest("field 1011"), std::to_string(login + bytes));
    // No poll runs: every whole line is a reading, whatever the blocks cut.
    EXPECT_EQ(rig.window.latest("field 1010"), "-90 dBm");
    EXPECT_EQ(rig.window.latest("field 1006"), "-90 dBm");
    EXPECT_EQ(rig.window.latest("field 1018"), "-90 dBm");
    ExpectNormalSessionAfterwards(rig);
}

} // namespace
} // namespace approbe
