// A whole session: start-up, login, receiving and teardown, against the simulator over loopback
// and against scripted blocks, and each way a start can fail.
#include <gtest/gtest.h>

#include "block_peer.h"
#include "control_ids.h"
#include "param_names.h"
#include "session_rig.h"
#include "sim_process.h"

namespace approbe {
namespace {

using namespace test;
using namespace std::chrono_literals;

Events Without(const Events& events, const std::string& prefix)
{
    Events out;
    for (const std::string& e : events) {
        if (e.rfind(prefix, 0) != 0)
            out.push_back(e);
    }
    return out;
}

TEST(SessionTest, LogsInReceivesAndEndsWhenTheAccessPointCloses)
{
    SimProcess sim({}, "login\nsend Level: -91\\r\\n\nclose\n");
    SessionRig rig("127.0.0.1", std::to_string(sim.port()));
    rig.Connect();
    ASSERT_TRUE(rig.WaitEnd());

    const std::string blank = " ";
    const Events expected = {
        "clearlog", "pull", "toolong 3", "connect 0", "pull", "toolong 3", // a 5-digit port fails every pull
        "field 1002 " + blank, "field 1018 " + blank, "field 1015 " + blank, "field 1016 " + blank,
        "field 1010 " + blank, "field 1006 " + blank, "field 1017 " + blank, "field 1020 " + blank,
        "log WinSock Initialized ", "log SOCKET created", "log Port = " + std::to_string(sim.port()),
        "log  127.0.0.1 probe ...", "caption " + kPrefix + " 127.0.0.1 probe ...",
        "caption " + kPrefix + "Login to 127.0.0.1", "log " + kPrefix + "Login to 127.0.0.1",
        "caption " + kPrefix + "to 127.0.0.1 connected", "log " + kPrefix + "to 127.0.0.1 connected",
        "pause Pause", "field 1018 -91 dBm", "pos 1012 59", "colour 1012 255,255,0", "field 1002 -91 dBm", "field 1010 -91 dBm",
        "field 1006 -91 dBm", "colour 1012 128,128,128", "colour 1013 128,128,128", "colour 1014 128,128,128",
        "caption " + kPrefix + "SOCKET closed", "log " + kPrefix + "SOCKET closed",
        "log De-Initialized WinSock", "connect 1", "caption Test Korvane AP DISCONNECT"};
    EXPECT_EQ(Without(rig.window.events(), "field 1011 "), expected);

    const Events counts = rig.window.events("field 1011 ");
    ASSERT_FALSE(counts.empty());
    EXPECT_GT(std::stoll(counts.back().substr(11)), 20);
    EXPECT_TRUE(sim.waitReceived("admin\radmin\r", 5s));
}

TEST(SessionTest, RejectedLoginEndsTheSessionWithThePasswordSentOnceAndNothingElse)
{
    SimProcess sim({}, "send login: \nexpect u\\r\nsend Password: \nexpect p\\r\n"
                       "send \\r\\nLogin incorrect\\r\\nlogin: \nexpect q\\r\nclose\n");
    SessionRig rig("127.0.0.1", std::to_string(sim.port()), "u", "p");
    rig.Connect();
    ASSERT_TRUE(rig.WaitEnd());
    const Events narration = rig.Narration();
    const Events expectedEnd = {"caption " + kPrefix + "Login to 127.0.0.1 rejected",
                                "log " + kPrefix + "Login to 127.0.0.1 rejected"};
    ASSERT_GE(narration.size(), 7u);
    EXPECT_EQ(Events(narration.end() - 7, narration.end() - 5), expectedEnd);
    ExpectTornDown(rig, "login rejected");
    // The simulator's log reaches the test on a pipe of its own: once it has seen the connection
    // end, it has logged all that came.
    EXPECT_TRUE(sim.waitClosedConnections(1, 5s));
    EXPECT_EQ(sim.received(), "u\rp\r") << "no farewell typed into the login program's prompt";
}

class HostFormTest : public ::testing::TestWithParam<const char*> {};

TEST_P(HostFormTest, ReachesTheAccessPoint)
{
    SimProcess sim({}, "login\nclose\n");
    SessionRig rig(GetParam(), std::to_string(sim.port()));
    rig.Connect();
    ASSERT_TRUE(rig.WaitEnd());
    EXPECT_TRUE(rig.window.waitForEvent("log " + kPrefix + "to " + GetParam() + " connected", 0ms));
}

INSTANTIATE_TEST_SUITE_P(Hosts, HostFormTest, ::testing::Values("127.0.0.1", "localhost", "0x7f.1"),
                         [](const auto& row) { return NameFromText(row.index, row.param); });

struct StartFailure {
    const char* name;
    const char* host;
    Events narration; // after "connect 0"; %PORT% stands for the port
};

class StartFailureTest : public ::testing::TestWithParam<StartFailure> {};

TEST_P(StartFailureTest, ReportsItsLineGivesConnectBackAndReleasesAll)
{
    const int port = ClosedPort();
    SessionRig rig(GetParam().host, std::to_string(port));
    rig.Connect();
    ASSERT_TRUE(rig.WaitEnd());
    Events expected = {"connect 0"};
    for (std::string line : GetParam().narration) {
        if (const auto at = line.find("%PORT%"); at != std::string::npos)
            line.replace(at, 6, std::to_string(port));
        expected.push_back(line);
    }
    EXPECT_EQ(rig.Narration(), expected);
    EXPECT_TRUE(rig.window.connectEnabled());
}

const std::string kStarted[] = {"log WinSock Initialized ", "log SOCKET created"};

INSTANTIATE_TEST_SUITE_P(
    Failures, StartFailureTest,
    ::testing::Values(
        StartFailure{"Ipv6Literal", "::1",
                     {kStarted[0], kStarted[1], "log Port = %PORT%", "log  ::1 probe ...",
                      "caption " + kPrefix + " ::1 probe ...", "log Couldn't connect to ::1 ", "connect 1",
                      "caption " + kPrefix + "Couldn't connect to ::1 "}},
        StartFailure{"EmptyHost", "",
                     {kStarted[0], kStarted[1], "log Port = %PORT%", "log   probe ...",
                      "caption " + kPrefix + "  probe ...", "caption " + kPrefix + "Cannot resolve host name:",
                      "log " + kPrefix + "Cannot resolve host name:", "connect 1"}},
        StartFailure{"Refused", "127.0.0.1",
                     {kStarted[0], kStarted[1], "log Port = %PORT%", "log  127.0.0.1 probe ...",
                      "caption " + kPrefix + " 127.0.0.1 probe ...", "log Couldn't connect to 127.0.0.1 ", "connect 1",
                      "caption " + kPrefix + "Couldn't connect to 127.0.0.1 "}}),
    [](const auto& row) { return std::string(row.param.name); });

// Received blocks served exactly as listed, for cases that depend on block boundaries.
struct BlockRig {
    explicit BlockRig(std::deque<std::string> blocks, const std::string& user = "admin")
        : peer(std::move(blocks)), rig("127.0.0.1", std::to_string(peer.port()), user, "secret")
    {
    }
    std::string Sent()
    {
        rig.Connect();
        EXPECT_TRUE(rig.WaitEnd());
        return peer.Received();
    }
    BlockPeer peer;
    SessionRig rig;
    FakeWindow& window = rig.window;
};

struct PromptCase {
    std::deque<std::string> blocks;
    std::string user, sent;
    Events shown = {};            // events the window must have seen
    const char* absent = nullptr; // an event prefix it must not have seen
};

TEST(PromptTest, AnswersOnlyWholeCaseExactPromptsWithTheTextsAsTyped)
{
    const std::string u510(510, 'u');
    const PromptCase cases[] = {
        {{"banner\r\nlogin: "}, "admin", "admin\r"},
        {{"Password: "}, "admin", "secret\r"},
        {{"log", "in: "}, "admin", "admin\r"}, // a prompt in pieces is answered once whole
        {{"Login: "}, "admin", "admin+ct\r"}, // only routeros has it: its user-name suffix
        // Each line is looked at on its own; an answer stands in for its prompt's line.
        {{"login: \r\nPassword: "}, "admin", "admin\rsecret\r"},
        // Only a label that waits for input is a prompt.
        {{"Last login: Tue Dec  8 08:52:44 UTC 2026 from localhost on pts/0\r\nAP> "}, "admin", ""},
        {{"ap1 login: get station\r\n"}, "admin", ""},
        {{"Last login: today\r\nap1 login: \t"}, "admin", "admin\r"},
        // Telnet options are refused, and a zero byte inside a command does not end the text.
        {{"\xff\xfd\x18\xff\xfb\x01login: "}, "admin", "\xff\xfc\x18\xff\xfe\x01" "admin\r"},
        {{std::string("\xff\xfd\x00login: ", 10)}, "admin", std::string("\xff\xfc\x00", 3) + "admin\r"},
        {{"login: "}, "Password:", "Password:\rsecret\r"},
        // A zero byte ends its line's text but not the count.
        {{std::string("Level: -90\0login: \r\n", 20)}, "admin", "", {"field 1011 20", "field 1002 -90 dBm"}},
        {{"Level: -90 login: "}, "admin", "admin\r", {}, "field 1002 -"}, // a prompt's line yields no values
        // An overlong answer is not sent, says so, and the session goes on.
        {{"login: ", "Level: -80\r\n"}, u510 + "u", "",
         {"log User name too long to send (at most 510 characters)", "field 1002 -80 dBm"}},
        {{"login: "}, u510, u510 + "\r"},
        {{"login: "}, "jürgen ✓", "jürgen ✓\r"}, // UTF-8 as typed
        // The farewell is for a shell that has shown its prompt after the password.
        {{"login: ", "Password: ", "\r\nAP> "}, "admin", "admin\rsecret\rq\r"},
        // The bytes of a line the close cut off are counted too.
        {{"login: ", "Password: ", "\r\nAP> ", "Noise Fl"}, "admin", "admin\rsecret\rq\r", {"field 1011 31"}},
    };
    for (const PromptCase& c : cases) {
        SCOPED_TRACE(c.blocks.front() + " / " + c.user.substr(0, 20));
        BlockRig rig(c.blocks, c.user);
        EXPECT_EQ(rig.Sent(), c.sent);
        for (const std::string& e : c.shown)
            EXPECT_TRUE(rig.window.waitForEvent(e, 0ms)) << e;
        EXPECT_TRUE(!c.absent || rig.window.events(c.absent).empty());
    }
}

} // namespace
} // namespace approbe
