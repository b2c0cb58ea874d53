// What every Prometheus exporter has, through the real approbe-poller: a landing page, its own
// series, methods and paths answered as HTTP says, and a scrape endpoint that clients holding
// connections open cannot blind.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <map>
#include <sstream>

#include "poller_rig.h"
#include "sim_process.h"

namespace approbe::test {
namespace {

using namespace std::chrono_literals;

// The value of an unlabelled series (or one written out with its labels) on /metrics.
std::optional<double> Value(const std::string& metrics, const std::string& series)
{
    const auto at = metrics.find("\n" + series + " ");
    if (at == std::string::npos)
        return std::nullopt;
    return std::strtod(metrics.c_str() + at + series.size() + 2, nullptr);
}

TEST(Exporter, LandingPageMetricsAndNothingElseWithTheMethodsHttpNames)
{
    SimProcess ap({}, ValuesScript(-91, -51, -61));
    PollerRig rig;
    rig.WriteConfig(ApSection("a", ap.port()));
    ASSERT_TRUE(rig.Start());

    const HttpReply landing = HttpRequest(rig.port, "GET", "/");
    EXPECT_EQ(landing.status, 200);
    EXPECT_NE(landing.head.find("Content-Type: text/html"), std::string::npos) << landing.head;
    EXPECT_NE(landing.body.find("<a href=\"metrics\">"), std::string::npos) << landing.body;
    EXPECT_EQ(HttpRequest(rig.port, "HEAD", "/metrics").status, 200);
    for (const char* method : {"POST", "PUT", "DELETE", "OPTIONS"}) {
        SCOPED_TRACE(method);
        const HttpReply r = HttpRequest(rig.port, method, "/metrics");
        EXPECT_EQ(r.status, 405);
        EXPECT_NE(r.head.find("\r\nAllow: GET, HEAD\r\n"), std::string::npos) << r.head;
    }
    for (const char* path : {"/other", "/metrics/", "/favicon.ico", "/index.html"}) {
        SCOPED_TRACE(path);
        EXPECT_EQ(HttpRequest(rig.port, "GET", path).status, 404);
    }
    EXPECT_EQ(HttpRequest(rig.port, "GET", "/metrics?format=text").status, 200) << "a query string is no other path";

    const std::string metrics = rig.Metrics();
    EXPECT_EQ(Value(metrics, "approbe_poller_build_info{version=\"" APPROBE_VERSION "\"}"), 1.0) << metrics;
    EXPECT_EQ(Value(metrics, "approbe_poller_config_last_reload_successful"), 1.0);
    const double now = static_cast<double>(std::time(nullptr));
    EXPECT_NEAR(Value(metrics, "approbe_poller_config_last_reload_success_timestamp_seconds").value_or(0), now, 30);
    EXPECT_NEAR(Value(metrics, "process_start_time_seconds").value_or(0), now, 30);
    EXPECT_GE(Value(metrics, "process_cpu_seconds_total").value_or(-1), 0);
    EXPECT_GT(Value(metrics, "process_resident_memory_bytes").value_or(0), 1e6);
    EXPECT_GE(Value(metrics, "process_virtual_memory_bytes").value_or(0), Value(metrics, "process_resident_memory_bytes").value_or(1));
    // What /proc lists now, give or take the scrape's own connection.
    const std::filesystem::directory_iterator fds("/proc/" + std::to_string(rig.process->pid()) + "/fd");
    const auto listed = static_cast<double>(std::distance(begin(fds), end(fds)));
    EXPECT_GE(listed, 5) << "stdin, stdout, stderr, the listening socket, the access point's";
    EXPECT_NEAR(Value(metrics, "process_open_fds").value_or(0), listed, 1);
    EXPECT_GE(Value(metrics, "process_max_fds").value_or(0), Value(metrics, "process_open_fds").value_or(1));
}

TEST(Exporter, TheConfigsLastReloadFollowsEverySighup)
{
    SimProcess ap({}, ValuesScript(-91, -51, -61));
    PollerRig rig;
    rig.WriteConfig(ApSection("a", ap.port()));
    ASSERT_TRUE(rig.Start());
    ASSERT_TRUE(rig.WaitSample("approbe_up", "a", "1"));
    const auto started = Value(rig.Metrics(), "approbe_poller_config_last_reload_success_timestamp_seconds");
    ASSERT_TRUE(started);
    auto successful = [&](double want) {
        return WaitUntil([&] { return Value(rig.Metrics(), "approbe_poller_config_last_reload_successful") == want; }, 5s,
                         [] { std::this_thread::sleep_for(20ms); });
    };

    rig.WriteConfig(ApSection("a", ap.port()) + "[b]\nHost = 127.0.0.1\n"); // b has no User
    rig.process->signal(SIGHUP);
    ASSERT_TRUE(successful(0)) << rig.process->log();
    EXPECT_EQ(Value(rig.Metrics(), "approbe_poller_config_last_reload_success_timestamp_seconds"), started);
    EXPECT_EQ(rig.Sample("approbe_up", "a"), "1") << "a bad config leaves the sessions as they were";

    std::this_thread::sleep_for(10ms); // the next success's time must differ from the first's
    rig.WriteConfig(ApSection("a", ap.port()));
    rig.process->signal(SIGHUP);
    ASSERT_TRUE(successful(1)) << rig.process->log();
    EXPECT_GT(Value(rig.Metrics(), "approbe_poller_config_last_reload_success_timestamp_seconds"), started);
}

TEST(Exporter, ScrapesAreAnsweredWhileThousandsOfIdleConnectionsAreHeld)
{
    if (!HeldConnections::Allow(3100))
        GTEST_SKIP() << "this process may not open 3,100 descriptors";

    SimProcess ap({}, ValuesScript(-91, -51, -61));
    PollerRig rig;
    rig.WriteConfig(ApSection("a", ap.port()));
    ASSERT_TRUE(rig.Start());
    ASSERT_TRUE(rig.WaitSample("approbe_up", "a", "1"));

    // 200 clients open 15 connections each (under the limit per address), 3,000 in all, far over
    // the total, and send none of their requests whole; a few more clients keep a connection each
    // alive by sending a byte of a never-ending header every 200 ms, which resets libmicrohttpd's
    // own timeout every time.
    std::vector<std::unique_ptr<HeldConnections>> idle;
    std::size_t opened = 0;
    for (int i = 0; i < 200; ++i) {
        idle.push_back(std::make_unique<HeldConnections>(rig.port, "127.0.1." + std::to_string(10 + i), 15,
                                                         HeldConnections::kUnfinishedRequest));
        opened += idle.back()->size();
    }
    ASSERT_EQ(opened, 3000u);
    std::vector<std::unique_ptr<HeldConnections>> slow;
    for (int i = 0; i < 8; ++i)
        slow.push_back(std::make_unique<HeldConnections>(rig.port, "127.0.0." + std::to_string(10 + i), 1,
                                                         HeldConnections::kUnfinishedRequest));
    const auto held = std::chrono::steady_clock::now();

    // Scrapes from the scraper's own address are answered all the while.
    int scrapes = 0;
    std::size_t slowOpen = slow.size();
    while (slowOpen > 0 && std::chrono::steady_clock::now() - held < 15s) {
        const auto asked = std::chrono::steady_clock::now();
        const HttpReply r = HttpRequest(rig.port, "GET", "/metrics");
        ASSERT_EQ(r.status, 200) << "scrape " << scrapes << "\n" << rig.process->log();
        EXPECT_LT(std::chrono::steady_clock::now() - asked, 2s) << "scrape " << scrapes;
        EXPECT_NE(r.body.find("approbe_up{ap=\"a\"} 1"), std::string::npos);
        ++scrapes;
        std::this_thread::sleep_for(200ms);
        slowOpen = 0;
        for (auto& s : slow)
            slowOpen += s->Trickle();
    }
    // Each was closed a few seconds after it opened, its request still unfinished; of the idle
    // ones, no more than the total is held.
    EXPECT_EQ(slowOpen, 0u) << "connections sending a byte now and then are closed";
    std::size_t idleOpen = 0;
    for (auto& c : idle)
        idleOpen += c->Trickle();
    EXPECT_LE(idleOpen, 256u);
    EXPECT_GE(scrapes, 5);
    std::printf("%d scrapes answered; the slow connections were closed after %lld ms\n", scrapes,
                static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - held).count()));
    // The flood is logged once, with a count, not once a connection.
    rig.process->signal(SIGTERM);
    EXPECT_EQ(rig.process->wait(5s), 0) << "ends cleanly, with nothing leaked in the sanitizer passes";
    const std::string log = rig.process->log();
    EXPECT_LT(std::count(log.begin(), log.end(), '\n'), 40) << log;
}

// A scrape of many access points is sent a piece at a time; each is whole though reloads replace
// every access point while scrapes run: every family lists the same access points, in name order,
// every family's head comes once, and the process's figures end it.
TEST(Exporter, ScrapesOfManyAccessPointsAreWholeWhileReloadsReplaceThem)
{
    const int closed = FreePort();
    auto configOf = [closed](char prefix) {
        std::string config;
        for (int i = 0; i < 1000; ++i)
            config += ApSection(prefix + std::to_string(10000 + i), closed);
        return config;
    };
    PollerRig rig;
    rig.WriteConfig(configOf('a'));
    ASSERT_TRUE(rig.Start());
    const std::vector<std::string> families = {"approbe_up", "approbe_received_bytes_total", "approbe_connects_total",
                                               "approbe_login_rejections_total", "approbe_poll_commands_total"};
    std::size_t largest = 0;
    for (int scrape = 0; scrape < 12; ++scrape) {
        SCOPED_TRACE(scrape);
        if (scrape > 0) {
            rig.WriteConfig(configOf(scrape % 2 ? 'b' : 'a'));
            rig.process->signal(SIGHUP);
        }
        const HttpReply r = HttpRequest(rig.port, "GET", "/metrics");
        ASSERT_EQ(r.status, 200) << rig.process->log();
        largest = std::max(largest, r.body.size());
        std::map<std::string, std::vector<std::string>> aps; // by family, in the text's order
        std::size_t heads = 0;
        std::istringstream lines(r.body);
        for (std::string line; std::getline(lines, line);) {
            heads += line.rfind("# TYPE ", 0) == 0;
            const auto label = line.find("{ap=\"");
            if (line[0] != '#' && label != std::string::npos)
                aps[line.substr(0, label)].push_back(line.substr(label + 5, line.find('"', label + 5) - label - 5));
        }
        const std::vector<std::string>& up = aps["approbe_up"];
        EXPECT_TRUE(std::is_sorted(up.begin(), up.end()));
        for (const std::string& family : families)
            EXPECT_EQ(aps[family], up) << family;
        EXPECT_EQ(heads, 20u) << "11 families of the access points', 9 of the poller's own";
        EXPECT_EQ(r.body.find("\nprocess_start_time_seconds "), r.body.rfind("\nprocess_start_time_seconds "));
        EXPECT_EQ(r.body.substr(r.body.rfind('\n', r.body.size() - 2) + 1, 27), "process_start_time_seconds ");
    }
    EXPECT_GT(largest, 200'000u) << "many pieces";
}

TEST(Exporter, SaysAtStartAndAtReloadWhenItsDescriptorLimitIsBelowWhatTheConfigNeeds)
{
    // A socket per access point, 320 for /metrics and 64 of its own: 300 need 684, 10 need 394.
    const int closed = FreePort();
    auto configOf = [closed](int aps) {
        std::string config;
        for (int i = 0; i < aps; ++i)
            config += ApSection("ap" + std::to_string(i), closed);
        return config;
    };
    const std::string shortfall = "the descriptor limit is 500, below the 684 this config needs (300 access points, "
                                  "/metrics and the process)";
    for (const auto& [aps, warned] : {std::pair(300, true), std::pair(10, false)}) {
        PollerRig rig;
        rig.WriteConfig(configOf(aps));
        ChildProcess poller({"/bin/sh", "-c", "ulimit -n 500 && exec \"$0\" \"$@\"", APPROBE_POLLER_PATH, "--config",
                             rig.config, "--listen", "127.0.0.1:0"});
        ASSERT_TRUE(poller.waitLog("/metrics", 5s)) << poller.log();
        EXPECT_EQ(poller.log().find(shortfall) != std::string::npos, warned) << aps << " access points:\n" << poller.log();
        if (!warned) {
            // A reload that adds access points beyond the limit says so; one back within it does not.
            rig.WriteConfig(configOf(300));
            poller.signal(SIGHUP);
            EXPECT_TRUE(poller.waitLog("SIGHUP: " + shortfall, 5s)) << poller.log();
            rig.WriteConfig(configOf(10));
            poller.signal(SIGHUP);
            ASSERT_TRUE(poller.waitLog("SIGHUP: config reloaded: 10 access points", 5s)) << poller.log();
            const std::string log = poller.log();
            EXPECT_EQ(log.find("SIGHUP: the descriptor limit"), log.rfind("SIGHUP: the descriptor limit")) << log;
        }
        poller.signal(SIGTERM);
        EXPECT_EQ(poller.wait(5s), 0);
    }
}

// A limit that leaves room for every session but not for a recording file each: the sessions all
// connect, every access point records, and only as many files as the log says stay open.
TEST(Exporter, ALimitShortOfTheRecordingsKeepsSomeOpenAndWritesTheOthersRowByRow)
{
    constexpr int kAps = 40; // 40 sockets, 320 for /metrics and 64 of its own: 424 of 440, 16 left
    SimProcess sim({"--aps", std::to_string(kAps), "--seed", "7", "--hold-values"});
    const std::vector<int> ports = sim.ports(kAps, 5s);
    ASSERT_EQ(ports.size(), static_cast<std::size_t>(kAps));
    TempDir dir;
    const std::string folder = dir.file("rec");
    std::string config = "[poller]\nPollMs = 200\nRecordDir = " + folder + "\n";
    for (int i = 0; i < kAps; ++i)
        config += ApSection("ap" + std::to_string(i), ports[static_cast<std::size_t>(i)]);
    PollerRig rig;
    rig.WriteConfig(config);
    ChildProcess poller({"/bin/sh", "-c", "ulimit -n 440 && exec \"$0\" \"$@\"", APPROBE_POLLER_PATH, "--config",
                         rig.config, "--listen", "127.0.0.1:0"});
    ASSERT_TRUE(poller.waitLog("/metrics", 5s)) << poller.log();
    EXPECT_NE(poller.log().find("the descriptor limit is 440, below the 464 this config needs (40 access points with "
                                "their recordings, /metrics and the process): the recordings of 16 access points are "
                                "held open, those of the other 24 reopened for each row"),
              std::string::npos)
        << poller.log();
    const auto rows = [&](int i) {
        std::string text;
        for (const auto& entry : std::filesystem::directory_iterator(folder))
            if (entry.path().filename().string().rfind("ap" + std::to_string(i) + "-", 0) == 0)
                text += ReadFile(entry.path().string());
        return std::count(text.begin(), text.end(), '\n') - 1;
    };
    const auto recording = [&] {
        std::error_code error;
        if (!std::filesystem::is_directory(folder, error))
            return false;
        for (int i = 0; i < kAps; ++i)
            if (rows(i) < 3)
                return false;
        return true;
    };
    EXPECT_TRUE(WaitUntil(recording, 15s, [] { std::this_thread::sleep_for(100ms); })) << poller.log();
    const auto open = [&] { // a file being written a row at a time may be open at the moment
        int files = 0;
        for (const auto& fd : std::filesystem::directory_iterator("/proc/" + std::to_string(poller.pid()) + "/fd")) {
            std::error_code error;
            files += std::filesystem::read_symlink(fd, error).string().rfind(folder + "/", 0) == 0;
        }
        return files;
    };
    EXPECT_TRUE(WaitUntil([&] { return open() == 16; }, 5s)) << open();
    EXPECT_EQ(poller.log().find("not recording"), std::string::npos) << poller.log();
    poller.signal(SIGTERM);
    EXPECT_EQ(poller.wait(5s), 0);
}

TEST(Exporter, ABadWebConfigStopsItAtStartNamingTheLine)
{
    PollerRig rig;
    rig.WriteConfig("[poller]\n");
    TempDir dir;
    WriteFile(dir.file("web.yml"), "tls_server_config:\n  cert_file: c.pem\n  key_file: k.pem\n  client_ca_file: ca.pem\n");
    ChildProcess poller({APPROBE_POLLER_PATH, "--config", rig.config, "--listen", "127.0.0.1:0", "--web.config.file",
                         dir.file("web.yml")});
    EXPECT_EQ(poller.wait(5s), 2);
    EXPECT_EQ(poller.log(), dir.file("web.yml") + ":4: tls_server_config.client_ca_file is not supported by approbe-poller\n");
}

} // namespace
} // namespace approbe::test
