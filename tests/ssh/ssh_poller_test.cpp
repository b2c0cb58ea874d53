// The real approbe-poller with 50 SSH access points on one real OpenSSH server, and one more
// whose known key has changed; then SIGTERM ends every session.
#include <signal.h>

#include "poller_rig.h"
#include "ssh_env.h"

namespace approbe::test {
namespace {

using namespace std::chrono_literals;

constexpr int kAps = 50;

class SshPollerTest : public SshTestBase {};

TEST_F(SshPollerTest, FiftyAccessPointsPolledAndAChangedKeyRefused)
{
    // localhost is the same server under another name, filed with another key: changed.
    WriteKnownHosts("127.0.0.1 " + server.hostKey + "\nlocalhost " + server.otherKey + "\n");
    PollerRig poller;
    std::string config = "[poller]\nPollMs = 1000\n";
    for (int i = 0; i < kAps; ++i)
        config += "[ap" + std::to_string(i) + "]\nHost = ssh://127.0.0.1\nUser = " + server.user + "\nPass = " +
                  server.password + "\n";
    config += "[changed]\nHost = ssh://localhost\nUser = " + server.user + "\nPass = " + server.password +
              "\nHostKey = accept-new\n";
    poller.WriteConfig(config);
    ASSERT_TRUE(poller.Start()) << poller.process->log();

    for (int i = 0; i < kAps; ++i) {
        const std::string name = "ap" + std::to_string(i);
        ASSERT_TRUE(poller.WaitSample("approbe_noise_floor_dbm", name, "-93", 30s)) << name << "\n" << poller.Metrics();
        EXPECT_EQ(poller.Sample("approbe_remote_rssi_dbm", name), "-64") << name;
    }
    EXPECT_TRUE(poller.WaitSample("approbe_ssh_hostkey_rejections_total", "changed", "1", 5s));
    EXPECT_EQ(poller.Sample("approbe_up", "changed"), "0");
    EXPECT_EQ(poller.Count("approbe_ssh_hostkey_rejections_total", "ap0"), 0);
    EXPECT_NE(poller.process->log().find("remove line 2 of " + knownHosts()), std::string::npos) << poller.process->log();
    EXPECT_EQ(ReadFile(knownHosts()).find("localhost " + server.hostKey), std::string::npos)
        << "accept-new never overrides a changed key";
    // The refused session's socket is gone from the loop: the poller does not spin on it.
    const long before = poller.process->CpuMs();
    std::this_thread::sleep_for(2s);
    EXPECT_LT(poller.process->CpuMs() - before, 1000) << "51 sessions polled once a second, nothing more";

    poller.process->signal(SIGTERM);
    EXPECT_EQ(poller.process->wait(10s), 0);
}

} // namespace
} // namespace approbe::test
