// A real Prometheus server scraping the real poller every second.
#include <gtest/gtest.h>

#include <cstdio>
#include <regex>

#include "poller_rig.h"
#include "sim_process.h"

namespace approbe::test {
namespace {

using namespace std::chrono_literals;

// A Prometheus server on a loopback port with its own storage, scraping target every second.
class PrometheusServer {
public:
    PrometheusServer(const std::string& program, int target) : port(FreePort())
    {
        WriteFile(m_dir.file("prometheus.yml"), "global:\n  scrape_interval: 1s\n  evaluation_interval: 1s\n"
                                                "scrape_configs:\n  - job_name: approbe\n    static_configs:\n"
                                                "      - targets: ['127.0.0.1:" + std::to_string(target) + "']\n");
        process = std::make_unique<ChildProcess>(std::vector<std::string>{
            program, "--config.file=" + m_dir.file("prometheus.yml"), "--storage.tsdb.path=" + m_dir.file("data"),
            "--web.listen-address=127.0.0.1:" + std::to_string(port), "--log.level=warn"});
    }
    ~PrometheusServer()
    {
        process->signal(SIGTERM);
        process->wait(10s); // then SIGKILL by ChildProcess
    }
    // The value of metric{ap="name"} as the query API answers it now.
    std::optional<std::string> Query(const std::string& metric, const std::string& name) const
    {
        const std::string body = HttpGet(port, "/api/v1/query?query=" + metric);
        std::smatch m;
        const std::regex value("\"ap\":\"" + name + "\"[^}]*\\},\"value\":\\[[0-9.]+,\"([^\"]*)\"\\]");
        if (!std::regex_search(body, m, value))
            return std::nullopt;
        return m[1].str();
    }
    bool WaitQuery(const std::string& metric, const std::string& name, const std::string& want,
                   std::chrono::milliseconds timeout) const
    {
        return WaitUntil([&] { return Query(metric, name) == want; }, timeout,
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
    PrometheusServer prometheus(program, rig.port);

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
}

} // namespace
} // namespace approbe::test
