// The real approbe-poller against several approbe-sim processes over loopback.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>

#include "poller_rig.h"
#include "sim_process.h"

namespace approbe::test {
namespace {

using namespace std::chrono_literals;

constexpr const char* kFast = "[poller]\nPollMs = 200\n";

// promtool, where installed, finds nothing wrong with a live /metrics.
void ExpectPromtoolAccepts(const std::string& metrics)
{
    const std::string promtool = FindProgram("promtool");
    if (promtool.empty()) {
        std::printf("promtool not installed (Debian package prometheus): live /metrics not checked by it\n");
        return;
    }
    TempDir dir;
    WriteFile(dir.file("m"), metrics);
    EXPECT_EQ(std::system((promtool + " check metrics < " + dir.file("m")).c_str()), 0);
}

TEST(PollerLoopback, ValuesOfEveryAccessPointReachMetrics)
{
    SimProcess a({}, ValuesScript(-91, -51, -61)), b({}, ValuesScript(-92, -52, -62)), c({}, ValuesScript(-93, -53, -63));
    PollerRig rig;
    rig.WriteConfig(std::string(kFast) + ApSection("a", a.port()) + ApSection("b", b.port()) + ApSection("c \"quoted\"", c.port()));
    ASSERT_TRUE(rig.Start());
    ASSERT_TRUE(rig.WaitSample("approbe_noise_floor_dbm", "a", "-91")) << rig.Metrics();
    ASSERT_TRUE(rig.WaitSample("approbe_remote_rssi_dbm", "b", "-62")) << rig.Metrics();
    ASSERT_TRUE(rig.WaitSample("approbe_local_rssi_dbm", "c \\\"quoted\\\"", "-53")) << rig.Metrics();
    ASSERT_TRUE(rig.WaitSample("approbe_remote_rssi_dbm", "a", "-61"));
    EXPECT_EQ(rig.Sample("approbe_up", "a"), "1");
    EXPECT_EQ(rig.Sample("approbe_snr_db", "a"), "40");
    EXPECT_EQ(rig.Count("approbe_connects_total", "b"), 1);
    EXPECT_EQ(rig.Count("approbe_login_rejections_total", "b"), 0);
    EXPECT_GT(rig.Count("approbe_received_bytes_total", "b"), 0);
    // Each poll is the dialog's: the two commands with their line ends.
    EXPECT_TRUE(a.waitReceived("get station\r\nget nf\r\nget station\r\n", 2s));
    EXPECT_GE(rig.Count("approbe_poll_commands_total", "a"), 4);
    EXPECT_EQ(HttpGet(rig.port, "/other"), "") << "only /metrics is served";

    ExpectPromtoolAccepts(rig.Metrics());
}

// An access point with two stations whose table comes in two pieces, 150 ms apart (past the next
// poll): the plain section shows the first row, Station = MAC follows the second, Stations = all
// adds a series per row; no series mixes the two stations.
TEST(PollerLoopback, StationTablesInPiecesGiveTheFollowedStationAndEveryRow)
{
    // Longer than the test looks, so that no reconnection falls in it.
    SimProcess sim({}, TwoStationScript(40, -62, -66, -90, -91, -95, 150));
    PollerRig rig;
    rig.WriteConfig(std::string(kFast) + ApSection("first", sim.port()) + ApSection("follow", sim.port()) +
                    "Station = 00:0c:42:aa:bb:cc\nStations = all\n");
    ASSERT_TRUE(rig.Start());
    ASSERT_TRUE(rig.WaitSample("approbe_snr_db", "follow", "5")) << rig.Metrics();
    ASSERT_TRUE(rig.WaitSample("approbe_snr_db", "first", "33")) << rig.Metrics();
    const std::string station = "approbe_station_local_rssi_dbm{ap=\"follow\",station=\"00:0c:42:1a:2b:3c\"} -62\n";
    ASSERT_TRUE(WaitUntil([&] { return rig.Metrics().find(station) != std::string::npos; }, 10s)) << rig.Metrics();
    // Watched over several polls: never the other station's levels.
    for (int look = 0; look < 20; ++look) {
        const std::string text = rig.Metrics();
        for (const char* line : {"approbe_local_rssi_dbm{ap=\"first\"} -62\n", "approbe_remote_rssi_dbm{ap=\"first\"} -66\n",
                                 "approbe_local_rssi_dbm{ap=\"follow\"} -90\n", "approbe_remote_rssi_dbm{ap=\"follow\"} -91\n",
                                 "approbe_noise_floor_dbm{ap=\"follow\"} -95\n",
                                 "approbe_station_remote_rssi_dbm{ap=\"follow\",station=\"00:0c:42:aa:bb:cc\"} -91\n"})
            ASSERT_NE(text.find(line), std::string::npos) << line << "look " << look << "\n" << text;
        EXPECT_EQ(text.find("ap=\"first\",station="), std::string::npos) << "no rows without Stations = all";
        std::this_thread::sleep_for(50ms);
    }

    ExpectPromtoolAccepts(rig.Metrics());
}

TEST(PollerLoopback, TroubleAtOneAccessPointNeverHoldsUpAnother)
{
    SimProcess good({}, ValuesScript(-90, -50, -60));
    SimProcess closer({}, "login\nvalues -85 -45 -55\nreplies 2\nclose\n");
    SimProcess rejecter({"--password", "other"}, "login\nshell\n");
    SimProcess silent({}, "login\nsilent\n"); // logged in, then never answers a poll
    SimProcess flooder({}, "login\nvalues -77 -44 -55\nflood 30000000\nshell\n");
    PollerRig rig;
    rig.WriteConfig(std::string(kFast) + ApSection("good", good.port()) + ApSection("closer", closer.port()) +
                    ApSection("rejecter", rejecter.port()) + ApSection("silent", silent.port()) +
                    ApSection("flooder", flooder.port()));
    ASSERT_TRUE(rig.Start());
    ASSERT_TRUE(rig.WaitSample("approbe_up", "good", "1")) << rig.Metrics();

    // Watched for 4 s: the good one stays up (a reading at most 3 poll periods old) throughout.
    const auto until = std::chrono::steady_clock::now() + 4s;
    int looks = 0;
    while (std::chrono::steady_clock::now() < until) {
        ASSERT_EQ(rig.Sample("approbe_up", "good"), "1") << "look " << looks << "\n" << rig.Metrics();
        ++looks;
        std::this_thread::sleep_for(50ms);
    }
    EXPECT_GE(rig.Count("approbe_connects_total", "closer"), 2) << "closed: reconnected after its back-off";
    EXPECT_EQ(rig.Sample("approbe_up", "silent"), "0") << "unanswered for 3 poll periods: down";
    EXPECT_EQ(rig.Count("approbe_login_rejections_total", "rejecter"), 1);
    EXPECT_EQ(rig.Count("approbe_connects_total", "rejecter"), 1) << "a rejected login is not retried";
    EXPECT_EQ(rig.Sample("approbe_up", "rejecter"), "0");
    EXPECT_EQ(rig.Sample("approbe_noise_floor_dbm", "flooder"), "-77");
    EXPECT_GT(rig.Count("approbe_received_bytes_total", "flooder"), 1'000'000);
    EXPECT_NE(rig.process->log().find("rejecter: 127.0.0.1:" + std::to_string(rejecter.port()) + " rejected the login as admin"),
              std::string::npos) << rig.process->log();
    // Unanswered for 10 s the session ends as silent, and the next attempt follows within 3 to 6 s
    // (jittered: a network-wide outage silences every session at once).
    const std::string retry = "silent: 127.0.0.1:" + std::to_string(silent.port()) + ": silent; retrying in ";
    std::size_t at = std::string::npos;
    EXPECT_TRUE(WaitUntil([&] { return (at = rig.process->log().find(retry)) != std::string::npos; }, 20s,
                          [] { std::this_thread::sleep_for(100ms); }))
        << rig.process->log();
    if (at != std::string::npos) {
        const long delay = std::atol(rig.process->log().c_str() + at + retry.size());
        EXPECT_GE(delay, 3000);
        EXPECT_LE(delay, 6000);
    }
}

// RecordDir: a CSV per access point per day under a file-safe name, a row per reading; a folder
// that cannot be made costs the recording, said once, and never the polling.
TEST(PollerLoopback, RecordsARowPerReadingAndAFolderThatCannotBeMadeStopsNoPolls)
{
    SimProcess a({}, ValuesScript(-91, -51, -61));
    TempDir dir;
    WriteFile(dir.file("file"), "");
    for (const bool writable : {true, false}) {
        PollerRig rig;
        const std::string folder = writable ? dir.file("rec") : dir.file("file") + "/rec";
        rig.WriteConfig(std::string(kFast) + "RecordDir = " + folder + "\n" + ApSection("mast/north", a.port()));
        ASSERT_TRUE(rig.Start());
        ASSERT_TRUE(rig.WaitSample("approbe_noise_floor_dbm", "mast/north", "-91")) << rig.Metrics();
        const long polls = rig.Count("approbe_poll_commands_total", "mast/north");
        ASSERT_TRUE(WaitUntil([&] { return rig.Count("approbe_poll_commands_total", "mast/north") >= polls + 6; }, 5s,
                              [] { std::this_thread::sleep_for(50ms); }));
        if (writable) {
            std::string rows;
            for (const auto& entry : std::filesystem::directory_iterator(folder)) {
                EXPECT_EQ(entry.path().filename().string().rfind("mast_north-", 0), 0u) << entry.path();
                rows += ReadFile(entry.path().string());
            }
            EXPECT_EQ(rows.rfind("time,host,noise_dbm,", 0), 0u) << rows;
            EXPECT_GE(std::count(rows.begin(), rows.end(), '\n'), 3) << rows;
            EXPECT_NE(rows.find(",127.0.0.1,,-51,-61,40,"), std::string::npos) << rows;
            EXPECT_NE(rows.find(",127.0.0.1,-91,,,40,"), std::string::npos) << rows;
        } else {
            const std::string log = rig.process->log();
            const auto at = log.find("mast/north: not recording today:");
            EXPECT_NE(at, std::string::npos) << log;
            EXPECT_EQ(log.find("not recording today", log.find('\n', at)), std::string::npos) << "said once a day:\n" << log;
        }
    }
}

// IPv6 on both sides: an access point on ::1, written bare or bracketed, and /metrics on [::1].
TEST(PollerLoopback, Ipv6AccessPointsAndListen)
{
    const int probe = ::socket(AF_INET6, SOCK_STREAM, 0);
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    a.sin6_addr = in6addr_loopback;
    const bool v6 = probe >= 0 && ::bind(probe, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ::close(probe);
    if (!v6)
        GTEST_SKIP() << "no IPv6 loopback on this machine";
    SimProcess sim({"--bind", "::1"}, ValuesScript(-93, -53, -63));
    PollerRig rig;
    const std::string port = std::to_string(sim.port());
    rig.WriteConfig(std::string(kFast) + "[bare]\nHost = ::1\nPort = " + port + "\nUser = admin\nPass = admin\n" +
                    "[bracketed]\nHost = [::1]\nPort = " + port + "\nUser = admin\nPass = admin\n");
    ASSERT_TRUE(rig.Start({"--listen", "[::1]:0"})) << rig.process->log();
    EXPECT_NE(rig.process->log().find("serving http://[::1]:"), std::string::npos) << rig.process->log();
    std::string metrics;
    ASSERT_TRUE(WaitUntil([&] {
        metrics = HttpRequest(rig.port, "GET", "/metrics", "::1").body;
        return metrics.find("approbe_noise_floor_dbm{ap=\"bare\"} -93") != std::string::npos &&
               metrics.find("approbe_noise_floor_dbm{ap=\"bracketed\"} -93") != std::string::npos;
    }, 10s, [] { std::this_thread::sleep_for(50ms); })) << metrics << rig.process->log();
}

// A Linux access point with iw, for polls times over: its prompt tells nothing, so one probe; then
// the interface iw lists, the station dump and the survey.
std::string IwShellScript(int polls, const std::string& prompt = "root@ap:~#\\x20")
{
    std::string script = "send login:\\x20\nexpect admin\\r\nsend Password:\\x20\nexpect admin\\r\nsend \\r\\n" + prompt + "\n"
                         "expect command -v iw\\r\\n\nsend /usr/sbin/iw\\r\\n" + prompt + "\n"
                         "expect iw dev\\r\\n\nsend phy#0\\r\\n\\tInterface wlan1\\r\\n\\t\\tifindex 4\\r\\n" + prompt + "\n";
    for (int i = 0; i < polls; ++i)
        script += "expect survey dump\\r\\n\n"
                  "send Station 00:0c:42:1a:2b:3c (on wlan1)\\r\\n\\tsignal:  \\t-67 [-67, -77] dBm\\r\\n" + prompt + "\n"
                  "send Survey data from wlan1\\r\\n\\tfrequency:\\t5180 MHz [in use]\\r\\n\\tnoise:\\t-95 dBm\\r\\n" + prompt + "\n";
    return script + "expect exit\\r\nclose\n";
}

// Told by its probe, through the real poller: iw gives no remote RSSI, so no such series.
TEST(PollerLoopback, ALinuxShellIsToldByItsProbeAndGivesWhatIwGives)
{
    SimProcess sim({}, IwShellScript(3));
    PollerRig rig;
    rig.WriteConfig(std::string(kFast) + ApSection("iw", sim.port()));
    ASSERT_TRUE(rig.Start({"--verbose"})) << rig.process->log();
    std::string metrics;
    ASSERT_TRUE(WaitUntil([&] {
        metrics = HttpRequest(rig.port, "GET", "/metrics").body;
        return metrics.find("approbe_noise_floor_dbm{ap=\"iw\"} -95") != std::string::npos &&
               metrics.find("approbe_local_rssi_dbm{ap=\"iw\"} -67") != std::string::npos;
    }, 10s, [] { std::this_thread::sleep_for(50ms); })) << metrics << rig.process->log();
    EXPECT_EQ(metrics.find("approbe_remote_rssi_dbm{ap=\"iw\"}"), std::string::npos) << metrics;
    EXPECT_NE(rig.process->log().find("iw: Device type: linux-iw"), std::string::npos) << rig.process->log();
    EXPECT_NE(sim.received().find("iw dev wlan1 station dump\r\niw dev wlan1 survey dump\r\n"), std::string::npos)
        << sim.received();
}

// A fleet of every built-in type, automatic detection at each: every access point reads what a
// korvane one of the same seed reads, and a value its type does not give has no series.
TEST(PollerLoopback, AMixedFleetReadsWhatEachTypeGives)
{
    const std::vector<std::string> kTypes = {"korvane", "linux-iw", "openwrt", "routeros", "json-status"};
    const std::vector<std::string> common = {"--aps", "5", "--seed", "41", "--hold-values"};
    std::vector<std::string> mixedArgs = common;
    mixedArgs.insert(mixedArgs.end(), {"--device-types", "korvane,linux-iw,openwrt,routeros,json-status"});
    SimProcess mixed(mixedArgs), plain(common);
    const std::vector<int> ports = mixed.ports(5, 5s), plainPorts = plain.ports(5, 5s);
    ASSERT_EQ(ports.size(), 5u);
    ASSERT_EQ(plainPorts.size(), 5u);
    std::string config = kFast;
    for (std::size_t k = 0; k < 5; ++k)
        config += ApSection(kTypes[k], ports[k]) + ApSection("plain-" + kTypes[k], plainPorts[k]);
    PollerRig rig;
    rig.WriteConfig(config);
    ASSERT_TRUE(rig.Start({"--verbose"})) << rig.process->log();
    for (std::size_t k = 0; k < 5; ++k) {
        const std::string& name = kTypes[k];
        SCOPED_TRACE(name);
        const auto read = [&] {
            return rig.Sample("approbe_remote_rssi_dbm", "plain-" + name) && rig.Sample("approbe_local_rssi_dbm", name);
        };
        ASSERT_TRUE(WaitUntil(read, 10s, [] { std::this_thread::sleep_for(50ms); })) << rig.Metrics();
        for (const char* metric : {"approbe_noise_floor_dbm", "approbe_local_rssi_dbm"})
            EXPECT_TRUE(rig.WaitSample(metric, name, *rig.Sample(metric, "plain-" + name))) << metric << rig.Metrics();
        const bool remote = name != "linux-iw" && name != "openwrt";
        EXPECT_EQ(rig.Sample("approbe_remote_rssi_dbm", name),
                  remote ? rig.Sample("approbe_remote_rssi_dbm", "plain-" + name) : std::nullopt);
        if (name != "korvane") { // today's shell told by itself is narrated as it always was
            EXPECT_TRUE(rig.process->waitLog(name + ": Device type: " + name, 1s)) << rig.process->log();
        }
    }
}

// --probe explains what an access point gives, and why a value is missing, then says goodbye. The
// shell's escape sequences (busybox ash asks for the cursor's position after its prompt) are shown,
// never sent to the operator's terminal.
TEST(PollerLoopback, ProbeTellsTheTypeTheCommandsTheReadingAndWhatIsMissing)
{
    SimProcess sim({}, IwShellScript(1, "root@ap:~#\\x20\\x1b[6n"));
    PollerRig rig;
    rig.WriteConfig(std::string(kFast) + ApSection("other", 9) + ApSection("iw", sim.port()));
    ChildProcess p({APPROBE_POLLER_PATH, "--config", rig.config, "--probe", "iw"});
    EXPECT_EQ(p.wait(10s), 0) << p.log();
    for (const char* says : {"/usr/sbin/iw' is linux-iw's (*/iw)",
                             "sent: iw dev wlan1 station dump", "\tsignal:  \t-67 [-67, -77] dBm",
                             "poll: noise -95 dBm; station 00:0c:42:1a:2b:3c local -67 dBm remote none",
                             "missing remote RSSI: linux-iw gives none", "\\x1b[6n"})
        EXPECT_NE(p.log().find(says), std::string::npos) << says << "\n" << p.log();
    EXPECT_EQ(p.log().find('\x1b'), std::string::npos) << p.log();
    EXPECT_TRUE(sim.waitReceived("exit\r", 2s)) << "the farewell";
}

TEST(PollerLoopback, SighupStartsNewStopsRemovedRestartsChangedAndRetriesRejected)
{
    SimProcess one({}, ValuesScript(-91, -51, -61)), two({}, ValuesScript(-92, -52, -62));
    PollerRig rig;
    rig.WriteConfig(std::string(kFast) + ApSection("kept", one.port()) + ApSection("removed", one.port()) +
                    ApSection("rejected", two.port(), "wrong"));
    ASSERT_TRUE(rig.Start());
    ASSERT_TRUE(rig.WaitSample("approbe_up", "removed", "1"));
    ASSERT_TRUE(rig.WaitSample("approbe_login_rejections_total", "rejected", "1"));
    ASSERT_TRUE(rig.WaitSample("approbe_up", "kept", "1"));

    rig.WriteConfig(std::string(kFast) + ApSection("kept", one.port()) + ApSection("added", two.port()) +
                    ApSection("rejected", two.port(), "admin"));
    rig.process->signal(SIGHUP);
    EXPECT_TRUE(rig.WaitSample("approbe_noise_floor_dbm", "added", "-92")) << rig.Metrics();
    EXPECT_TRUE(rig.WaitSample("approbe_up", "rejected", "1")) << "new credentials are tried";
    EXPECT_EQ(rig.Sample("approbe_up", "removed"), std::nullopt);
    EXPECT_TRUE(one.waitReceived("q\r", 2s)) << "the removed session said goodbye";
    EXPECT_EQ(rig.Count("approbe_connects_total", "kept"), 1) << "an unchanged access point is left alone";

    // A broken config on SIGHUP: reported, and the running sessions go on.
    rig.WriteConfig("[kept]\nHost 127.0.0.1\n");
    rig.process->signal(SIGHUP);
    EXPECT_TRUE(rig.process->waitLog("config not reloaded: " + rig.config + ":2: expected KEY = VALUE", 5s)) << rig.process->log();
    EXPECT_EQ(rig.Sample("approbe_up", "added"), "1");
}

TEST(PollerLoopback, SigtermEndsEverySessionWithItsFarewellWithinTwoSeconds)
{
    SimProcess a({}, ValuesScript(-91, -51, -61)), b({}, ValuesScript(-92, -52, -62));
    SimProcess silent({}, "login\nsilent\n"); // logged in, then never answers a poll
    PollerRig rig;
    rig.WriteConfig(std::string(kFast) + ApSection("a", a.port()) + ApSection("b", b.port()) + ApSection("s", silent.port()));
    ASSERT_TRUE(rig.Start());
    ASSERT_TRUE(rig.WaitSample("approbe_up", "a", "1"));
    ASSERT_TRUE(rig.WaitSample("approbe_up", "b", "1"));
    const auto start = std::chrono::steady_clock::now();
    rig.process->signal(SIGTERM);
    EXPECT_EQ(rig.process->wait(2s), 0) << rig.process->log();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
    for (SimProcess* sim : {&a, &b}) {
        EXPECT_TRUE(sim->waitReceived("q\r", 2s));
        EXPECT_TRUE(sim->waitClosedConnections(1, 2s));
    }
}

TEST(PollerLoopback, CommandLineAndConfigRefusals)
{
    struct Case { const char* name; std::string config; unsigned mode; std::vector<std::string> args; int code; std::string says; };
    PollerRig rig;
    const std::string ap = ApSection("north", 2323);
    const std::vector<Case> cases = {
        {"insecure", ap, 0640, {}, 2, rig.config + ": holds a password and can be read by group or others; make it private with: chmod 600 " + rig.config},
        {"bad line", "[poller]\nPollMs = soon\n", 0600, {}, 2, rig.config + ":2: PollMs must be"},
        {"check", ap + ApSection("south", 2324), 0600, {"--check", "--shard", "0/1"}, 0, "  south  127.0.0.1:2324  user admin"},
        {"bad shard", ap, 0600, {"--shard", "2/2"}, 2, "--shard needs K/N"},
        {"bad listen", ap, 0600, {"--listen", "here"}, 2, "--listen must be"},
        {"help", ap, 0600, {"--help"}, 0, "--shard K/N"},
    };
    for (const Case& c : cases) {
        WriteFile(rig.config, c.config);
        ::chmod(rig.config.c_str(), c.mode);
        std::vector<std::string> args = {APPROBE_POLLER_PATH, "--config", rig.config};
        args.insert(args.end(), c.args.begin(), c.args.end());
        ChildProcess p(args);
        EXPECT_EQ(p.wait(5s), c.code) << c.name << "\n" << p.log();
        EXPECT_NE(p.log().find(c.says), std::string::npos) << c.name << "\n" << p.log();
    }
}

} // namespace
} // namespace approbe::test
