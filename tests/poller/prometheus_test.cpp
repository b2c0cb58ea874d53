// A real Prometheus server scraping the real poller every second: the series, the alert rules
// evaluated on them, the dashboard's every query, and scrapes over TLS with basic authentication.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdio>
#include <regex>

#include "poller_rig.h"
#include "sim_process.h"

namespace approbe::test {
namespace {

using namespace std::chrono_literals;

// A scrape job of the poller at 127.0.0.1:port; more holds the job's further settings.
std::string Job(const std::string& name, int port, const std::string& more = "")
{
    return "  - job_name: " + name + "\n" + more + "    static_configs:\n      - targets: ['127.0.0.1:" +
           std::to_string(port) + "']\n";
}

// A Prometheus server on a loopback port with its own storage, running jobs every second and
// evaluating the rule files given.
class PrometheusServer {
public:
    PrometheusServer(const std::string& program, const std::string& jobs, const std::vector<std::string>& rules = {})
        : port(FreePort())
    {
        std::string ruleFiles = rules.empty() ? "" : "rule_files:\n";
        for (const std::string& file : rules)
            ruleFiles += "  - " + file + "\n";
        WriteFile(m_dir.file("prometheus.yml"), "global:\n  scrape_interval: 1s\n  evaluation_interval: 1s\n" +
                                                    ruleFiles + "scrape_configs:\n" + jobs);
        process = std::make_unique<ChildProcess>(std::vector<std::string>{
            program, "--config.file=" + m_dir.file("prometheus.yml"), "--storage.tsdb.path=" + m_dir.file("data"),
            "--web.listen-address=127.0.0.1:" + std::to_string(port), "--log.level=warn"});
    }
    ~PrometheusServer()
    {
        process->signal(SIGTERM);
        process->wait(10s); // then SIGKILL by ChildProcess
    }
    // The value of metric{label="name"} as the query API answers it now (metric: no spaces).
    std::optional<std::string> Query(const std::string& metric, const std::string& name,
                                     const std::string& label = "ap") const
    {
        const std::string body = HttpGet(port, "/api/v1/query?query=" + metric);
        std::smatch m;
        const std::regex value("\"" + label + "\":\"" + name + "\"[^}]*\\},\"value\":\\[[0-9.]+,\"([^\"]*)\"\\]");
        if (!std::regex_search(body, m, value))
            return std::nullopt;
        return m[1].str();
    }
    bool WaitQuery(const std::string& metric, const std::string& name, const std::string& want,
                   std::chrono::milliseconds timeout, const std::string& label = "ap") const
    {
        return WaitUntil([&] { return Query(metric, name, label) == want; }, timeout,
                         [] { std::this_thread::sleep_for(100ms); });
    }

private:
    TempDir m_dir;

public:
    const int port;
    std::unique_ptr<ChildProcess> process;
};

TEST(Prometheus, ScrapesTheSimulatorsValuesAndSeesAnAccessPointGoDownAndComeBack)
{
    const std::string program = FindProgram("prometheus");
    if (program.empty())
        GTEST_SKIP() << "prometheus not installed (Debian package prometheus): real-server test skipped";
    auto a = std::make_unique<SimProcess>(std::vector<std::string>{}, ValuesScript(-91, -51, -61));
    auto b = std::make_unique<SimProcess>(std::vector<std::string>{}, ValuesScript(-92, -52, -62));
    SimProcess c({}, ValuesScript(-93, -53, -63));
    const int bPort = b->port();
    PollerRig rig;
    rig.WriteConfig(ApSection("a", a->port()) + ApSection("b", bPort) + ApSection("c", c.port()));
    ASSERT_TRUE(rig.Start());
    PrometheusServer prometheus(program, Job("approbe", rig.port), {APPROBE_SOURCE_DIR "/res/prometheus/approbe-alerts.yml"});

    // Prometheus starts in a few seconds, then scrapes every second.
    ASSERT_TRUE(prometheus.WaitQuery("approbe_noise_floor_dbm", "a", "-91", 30s)) << prometheus.process->log();
    EXPECT_TRUE(prometheus.WaitQuery("approbe_noise_floor_dbm", "b", "-92", 5s));
    EXPECT_TRUE(prometheus.WaitQuery("approbe_noise_floor_dbm", "c", "-93", 5s));
    EXPECT_TRUE(prometheus.WaitQuery("approbe_snr_db", "c", "40", 5s));
    EXPECT_TRUE(prometheus.WaitQuery("approbe_up", "b", "1", 5s));

    // b stops: down within 3 scrapes (a second of slack for the query), the others stay up.
    b->stop();
    const auto stopped = std::chrono::steady_clock::now();
    EXPECT_TRUE(prometheus.WaitQuery("approbe_up", "b", "0", 4s));
    std::printf("approbe_up for the stopped access point was 0 after %lld ms\n",
                static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - stopped).count()));
    EXPECT_EQ(prometheus.Query("approbe_up", "a"), "1");
    EXPECT_EQ(prometheus.Query("approbe_up", "c"), "1");

    // b comes back on its port: the back-off finds it, Prometheus sees it.
    b = std::make_unique<SimProcess>(std::vector<std::string>{"--port", std::to_string(bPort)}, ValuesScript(-82, -42, -52));
    EXPECT_TRUE(prometheus.WaitQuery("approbe_up", "b", "1", 20s));
    EXPECT_TRUE(prometheus.WaitQuery("approbe_noise_floor_dbm", "b", "-82", 5s));

    // The alert rules evaluate on the real series without an error (nothing lasted long enough to fire).
    const std::string rules = HttpGet(prometheus.port, "/api/v1/rules");
    const auto count = [&](const std::string& text) {
        std::size_t n = 0;
        for (auto at = rules.find(text); at != std::string::npos; at = rules.find(text, at + 1))
            ++n;
        return n;
    };
    EXPECT_EQ(count("\"health\":\"ok\""), 12u) << rules;
    EXPECT_EQ(count("\"state\":\"firing\""), 0u) << rules;

    // Every query of the dashboard returns data here, with its variables as Grafana fills them in.
    const std::string python = FindProgram("python3");
    ASSERT_FALSE(python.empty()) << "python3 runs the dashboard's check";
    TempDir out;
    const int rc = std::system((python + " " APPROBE_SOURCE_DIR "/tests/poller/dashboard_check.py " APPROBE_SOURCE_DIR
                                "/res/grafana/approbe.json http://127.0.0.1:" + std::to_string(prometheus.port) +
                                " >" + out.file("log") + " 2>&1").c_str());
    EXPECT_EQ(rc, 0) << ReadFile(out.file("log"));
    std::printf("%s", ReadFile(out.file("log")).c_str());
}

// bcrypt (cost 4) of "pw".
constexpr const char* kPasswordHash = "$2y$04$MAY/dxKLBjIbhoGKTJEmnOjJM5/RgyXnTaaLiwc/cDNxsVn2o/WMW";

TEST(Prometheus, ScrapesOverTlsWithBasicAuthAndIsRefusedWithoutWhileThousandsOfConnectionsAreHeld)
{
    const std::string program = FindProgram("prometheus"), openssl = FindProgram("openssl");
    if (program.empty() || openssl.empty())
        GTEST_SKIP() << "prometheus or openssl not installed: TLS scrape test skipped";
    TempDir tls;
    const std::string cert = tls.file("poller.crt"), key = tls.file("poller.key");
    ASSERT_EQ(std::system((openssl + " req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2"
                                     " -subj /CN=localhost -addext subjectAltName=IP:127.0.0.1 -keyout " + key +
                           " -out " + cert + " >" + tls.file("log") + " 2>&1").c_str()), 0)
        << ReadFile(tls.file("log"));
    ::chmod(key.c_str(), 0600);
    WriteFile(tls.file("web.yml"), "tls_server_config:\n  cert_file: poller.crt\n  key_file: poller.key\n"
                                   "basic_auth_users:\n  prometheus: " + std::string(kPasswordHash) + "\n");

    SimProcess ap({}, ValuesScript(-91, -51, -61));
    PollerRig rig;
    rig.WriteConfig(ApSection("a", ap.port()));
    ASSERT_TRUE(rig.Start({"--web.config.file", tls.file("web.yml")}));
    ASSERT_NE(rig.process->log().find("serving https://"), std::string::npos) << rig.process->log();
    const std::string https = "    scheme: https\n    tls_config:\n      ca_file: " + cert + "\n";
    PrometheusServer prometheus(program,
                                Job("tls-auth", rig.port, https + "    basic_auth:\n      username: prometheus\n"
                                                                  "      password: pw\n") +
                                    Job("tls-wrong-password", rig.port, https + "    basic_auth:\n      username: "
                                                                                "prometheus\n      password: pw2\n") +
                                    Job("tls-no-auth", rig.port, https) + Job("plain-http", rig.port));

    ASSERT_TRUE(prometheus.WaitQuery("approbe_noise_floor_dbm", "a", "-91", 30s)) << prometheus.process->log();
    EXPECT_TRUE(prometheus.WaitQuery("up", "tls-auth", "1", 5s, "job"));
    for (const char* refused : {"tls-wrong-password", "tls-no-auth", "plain-http"})
        EXPECT_TRUE(prometheus.WaitQuery("up", refused, "0", 5s, "job")) << refused;

    // Thousands of connections that never start their TLS handshake, held from one client for
    // longer than the request deadline: every scrape in that time succeeds.
    ASSERT_TRUE(HeldConnections::Allow(3000));
    HeldConnections idle(rig.port, "127.0.0.2", 3000);
    std::this_thread::sleep_for(7s);
    EXPECT_GE(std::atoi(prometheus.Query("count_over_time(up{job=\"tls-auth\"}[6s])", "tls-auth", "job").value_or("0").c_str()), 5)
        << "scraped once a second";
    EXPECT_EQ(prometheus.Query("min_over_time(up{job=\"tls-auth\"}[6s])", "tls-auth", "job"), "1") << "every scrape succeeded";
    std::printf("longest scrape while the connections were held: %s s\n",
                prometheus.Query("max_over_time(scrape_duration_seconds{job=\"tls-auth\"}[6s])", "tls-auth", "job")
                    .value_or("?")
                    .c_str());
    // Ends cleanly, with nothing leaked in the sanitizer passes.
    rig.process->signal(SIGTERM);
    EXPECT_EQ(rig.process->wait(5s), 0) << rig.process->log();
}

} // namespace
} // namespace approbe::test
