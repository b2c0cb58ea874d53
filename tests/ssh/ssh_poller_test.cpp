// The real approbe-poller with 50 SSH access points on one real OpenSSH server, and one more
// whose known key has changed; then SIGTERM ends every session. And the access points of
// tests/ssh/boxes behind real login shells, told apart by themselves.
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

// A Linux access point with iw behind dash and an OpenWrt one behind busybox's ash, each taken for
// its type by itself (the Linux one by the probe's reply, the OpenWrt one by its prompt); and the
// OpenWrt one once more through ubus, a type of the user's chosen by name. The levels are the
// recorded replies' its programs print; iw and iwinfo give no remote value, so there is no series.
TEST_F(SshPollerTest, RealShellsAreToldApartAndRead)
{
    WriteKnownHosts("127.0.0.1 " + server.hostKey + "\n");
    auto section = [&](const std::string& name, const std::string& user, const std::string& more) {
        return "[" + name + "]\nHost = ssh://127.0.0.1\nUser = " + user + "\nPass = " + server.password + "\n" + more;
    };
    PollerRig poller;
    poller.WriteConfig("[poller]\nPollMs = 500\nDeviceTypes = " APPROBE_USER_DEVICE_TYPES "\n" +
                       section("iw", "linux-iw", "") + section("wrt", "openwrt", "") +
                       section("ubus", "openwrt", "DeviceType = openwrt-ubus\n"));
    ASSERT_TRUE(poller.Start({"--verbose"})) << poller.process->log();

    struct Want {
        const char *ap, *type, *noise, *local;
    };
    for (const Want& want : {Want{"iw", "linux-iw", "-95", "-67"}, Want{"wrt", "openwrt", "-95", "-63"},
                             Want{"ubus", "openwrt-ubus", "-92", "-62"}}) {
        // A poll's replies come one after another: its local and noise values may be seen apart.
        EXPECT_TRUE(poller.WaitSample("approbe_local_rssi_dbm", want.ap, want.local, 20s) &&
                    poller.WaitSample("approbe_noise_floor_dbm", want.ap, want.noise, 5s))
            << want.ap << "\n" << poller.Metrics() << poller.process->log();
        EXPECT_EQ(poller.Sample("approbe_remote_rssi_dbm", want.ap), std::nullopt) << want.ap;
        EXPECT_NE(poller.process->log().find(std::string(want.ap) + ": Device type: " + want.type), std::string::npos)
            << poller.process->log();
    }
    poller.process->signal(SIGTERM);
    EXPECT_EQ(poller.process->wait(10s), 0);
}

} // namespace
} // namespace approbe::test
