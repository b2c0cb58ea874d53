// The dialog's session over SSH against real OpenSSH servers (tests/ssh/run-with-sshd): login by
// password and by keyboard-interactive, a rejected password, a changed host key, Disconnect and
// close, values from a terminal shell whose replies come in pieces.
#include <sstream>

#include "session_rig.h"
#include "ssh_env.h"

namespace approbe::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using session::HostKeyAnswer;
using session::HostKeyQuestion;
using ui::PresenterOptions;

const Events kValues = {"field 1002 -93 dBm", "field 1015 -61 dBm", "field 1016 -64 dBm"};

class SshSessionTest : public SshTestBase {
protected:
    void StartRig(int port, const std::string& password)
    {
        rig = std::make_unique<SessionRig>("ssh://127.0.0.1", std::to_string(port), server.user, password,
                                           PresenterOptions{});
        // Nothing here may ask: an unknown key is the dialog test's business.
        rig->window.onHostKeyQuestion(
            [this](const HostKeyQuestion&) { rig->presenter->AnswerHostKey(HostKeyAnswer::Cancel); });
    }
    void TrustServer(int port) const
    {
        WriteKnownHosts("# approbe test\n" + std::string(port == 22 ? "127.0.0.1" : "[127.0.0.1]:" + std::to_string(port)) +
                        " " + server.hostKey + "\n");
    }
    bool SeeValues(std::chrono::milliseconds timeout)
    {
        for (const std::string& e : kValues)
            if (!rig->window.waitForEvent(e, timeout)) {
                ADD_FAILURE() << "no '" << e << "'";
                return false;
            }
        return true;
    }
    void ExpectEnded(const std::string& why = {})
    {
        const Events narration = rig->Narration();
        ASSERT_GE(narration.size(), 4u);
        EXPECT_EQ(Events(narration.end() - 4, narration.end()), TeardownLines(why));
        EXPECT_TRUE(rig->window.connectEnabled());
    }
    bool Logged(const std::string& line) { return rig->window.waitForEvent("log " + kPrefix + line, 0ms); }

    std::unique_ptr<SessionRig> rig;
};

TEST_F(SshSessionTest, PasswordLoginShowsValuesFromPiecesAndTheShellReadsOnlyPolls)
{
    TrustServer(server.port);
    StartRig(server.port, server.password);
    rig->Connect();
    ASSERT_TRUE(rig->window.waitForEvent("log " + kPrefix + "to ssh://127.0.0.1 connected", 10s));
    ASSERT_TRUE(SeeValues(5s));
    EXPECT_TRUE(rig->window.waitForEvent("log  ssh://127.0.0.1 probe ...", 0ms));
    EXPECT_TRUE(Logged("Login to ssh://127.0.0.1"));
    EXPECT_TRUE(rig->window.waitForEvent("log Port = 22", 0ms));
    EXPECT_TRUE(rig->window.events("hostkey").empty()) << "a known key is not asked about";
    rig->Disconnect();
    ASSERT_TRUE(rig->WaitEnd(5s));
    ExpectEnded();
    std::istringstream shell(ShellLog());
    int polls = 0;
    for (std::string line; std::getline(shell, line); ++polls)
        EXPECT_TRUE(line == "get station" || line == "get nf" || line == "q") << "the shell read: " << line;
    EXPECT_GE(polls, 2);
}

TEST_F(SshSessionTest, KeyboardInteractiveOnlyLogsIn)
{
    TrustServer(server.kbdintPort);
    StartRig(server.kbdintPort, server.password);
    rig->Connect();
    ASSERT_TRUE(rig->window.waitForEvent("log " + kPrefix + "to ssh://127.0.0.1 connected", 10s));
    EXPECT_TRUE(SeeValues(5s));
    rig->Disconnect();
    EXPECT_TRUE(rig->WaitEnd(5s));
}

TEST_F(SshSessionTest, WrongPasswordIsRejectedAndEndsTheSession)
{
    for (int port : {server.port, server.kbdintPort}) {
        SCOPED_TRACE("port " + std::to_string(port));
        TrustServer(port);
        StartRig(port, "wrong-pass-3");
        rig->Connect();
        ASSERT_TRUE(rig->WaitEnd(20s));
            EXPECT_TRUE(rig->window.waitForEvent("caption " + kPrefix + "Login to ssh://127.0.0.1 rejected", 0ms));
        EXPECT_TRUE(Logged("Login to ssh://127.0.0.1 rejected"));
        EXPECT_FALSE(Logged("to ssh://127.0.0.1 connected"));
        ExpectEnded("login rejected");
    }
    EXPECT_EQ(ShellLog(), "") << "the shell never ran";
}

TEST_F(SshSessionTest, ChangedKeyIsRefusedNamingTheFileAndLine)
{
    WriteKnownHosts("# approbe test\n127.0.0.1 " + server.otherKey + "\n");
    StartRig(server.port, server.password);
    rig->Connect();
    ASSERT_TRUE(rig->WaitEnd(10s));
    const std::string refusal = "Host key of ssh://127.0.0.1 has changed: refused; if the access point really has a "
                                "new key, remove line 2 of " + knownHosts();
    EXPECT_TRUE(Logged(refusal)) << ::testing::PrintToString(rig->Narration());
    const Events hostKey = rig->window.events("hostkey");
    ASSERT_EQ(hostKey.size(), 1u) << "a changed key is never asked about, only warned of";
    EXPECT_EQ(hostKey[0].rfind("hostkey changed ssh://127.0.0.1 SHA256:", 0), 0u) << hostKey[0];
    EXPECT_NE(hostKey[0].find(" " + knownHosts() + ":2"), std::string::npos) << hostKey[0];
    ExpectEnded("host key refused");
    EXPECT_EQ(ShellLog(), "");
}

TEST_F(SshSessionTest, AKeyTrustedInTheUsersOwnKnownHostsIsTrusted)
{
    std::filesystem::create_directories(home.path() / ".ssh");
    WriteFile((home.path() / ".ssh/known_hosts").string(), "127.0.0.1 " + server.hostKey + "\n");
    StartRig(server.port, server.password);
    rig->Connect();
    EXPECT_TRUE(SeeValues(10s));
    rig->Disconnect();
    EXPECT_TRUE(rig->WaitEnd(5s));
    EXPECT_FALSE(std::filesystem::exists(knownHosts())) << "nothing is written";
}

TEST_F(SshSessionTest, DisconnectEndsWithin1s)
{
    TrustServer(server.port);
    StartRig(server.port, server.password);
    rig->Connect();
    ASSERT_TRUE(SeeValues(10s));
    const auto start = Clock::now();
    rig->Disconnect();
    ASSERT_TRUE(rig->WaitEnd(5s));
    EXPECT_LT(Clock::now() - start, 1s);
    ExpectEnded();
}

TEST_F(SshSessionTest, ClosingMidSessionEndsWithin2s)
{
    TrustServer(server.port);
    StartRig(server.port, server.password);
    rig->Connect();
    ASSERT_TRUE(SeeValues(10s));
    const auto start = Clock::now();
    rig->window.onUiThread([&] { rig->presenter->BeginClose(); });
    ASSERT_TRUE(rig->presenter->WaitSessionEnd(2s));
    EXPECT_LT(Clock::now() - start, 2s);
}

} // namespace
} // namespace approbe::test
