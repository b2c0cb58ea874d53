// approbe-poller: polls many access points over their telnet shells and serves the readings to
// Prometheus at /metrics.
#include <signal.h>
#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <exception>
#include <mutex>
#include <string>

#include "config.h"
#include "file.h"
#include "probe.h"
#include "metrics_server.h"
#include "poller.h"
#include "process_metrics.h"
#include "schedule.h"
#include "web_config.h"

namespace {

constexpr const char* kDefaultListen = "127.0.0.1:9477";

void Usage(std::FILE* to)
{
    std::fprintf(to,
        "usage: approbe-poller --config FILE [--listen HOST:PORT] [--web.config.file FILE] [--shard K/N] [--check]\n"
        "                      [--verbose]\n"
        "       approbe-poller --config FILE --probe NAME [--device-type FILE]\n"
        "\n"
        "Logs in to every access point in FILE over telnet or SSH (Host=ssh://...), polls its noise floor and the station's\n"
        "local and remote RSSI once per PollMs, and serves the latest values at http://HOST:PORT/metrics.\n"
        "\n"
        "  --config FILE      INI: [poller] (Listen, PollMs=1000, RecordDir, DeviceTypes=FOLDER of the user's\n"
        "                     device types, *.ini, StartsPerSecond=500: connection attempts a second at\n"
        "                     most, first ones and retries), then one section per access point named after it (Host,\n"
        "                     Port=23 or 22 for ssh://, User, one of Pass, PassFile or PassCredential=NAME\n"
        "                     (systemd's $CREDENTIALS_DIRECTORY/NAME), HostKey=strict|accept-new for ssh://,\n"
        "                     Station=MAC to follow that station instead of the station table's first row,\n"
        "                     Stations=all for a series per station as well, DeviceType=automatic (the\n"
        "                     default) or a type's name). A file holding a password must be readable by its\n"
        "                     owner only (chmod 600).\n"
        "  --listen HOST:PORT where /metrics is served (over Listen in FILE; default %s; port 0: any)\n"
        "  --web.config.file FILE\n"
        "                     TLS and basic authentication for /metrics, in the YAML of Prometheus exporters'\n"
        "                     web config: tls_server_config (cert_file, key_file, min_version, max_version),\n"
        "                     basic_auth_users (user: bcrypt hash), http_server_config (headers); read at start\n"
        "  --shard K/N        poll only the access points whose name hashes to K modulo N (K from 0), so N\n"
        "                     machines can share one config\n"
        "  --check            validate FILE (and the web config), print what would be polled, exit 0 (or 2 if\n"
        "                     either is bad)\n"
        "  --verbose          log every session's narration, not only its failures\n"
        "  --probe NAME       log in to the access point of section NAME only: print the device type taken and\n"
        "                     why, each command sent with its raw reply, one poll's reading and why a value is\n"
        "                     missing, then say goodbye (exit 0, or 1 if no poll was read)\n"
        "  --device-type FILE with --probe: try the device type in FILE (one being written) instead\n"
        "\n"
        "Signals: SIGHUP re-reads FILE (new access points start, removed ones stop, changed ones restart,\n"
        "and one whose login was rejected is tried again); SIGTERM or SIGINT end every session and exit.\n"
        "Exit status: 0 done, 1 cannot serve or run, 2 bad options or config.\n",
        kDefaultListen);
}

int Bad(const std::string& what)
{
    std::fprintf(stderr, "approbe-poller: %s (see --help)\n", what.c_str());
    return 2;
}

} // namespace

int main(int argc, char** argv)
{
    using namespace approbe::poller;
    std::string configPath, listen, webConfigPath, probeName, typePath;
    Shard shard;
    bool check = false, verbose = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&](std::string& into) {
            if (i + 1 >= argc)
                return false;
            into = argv[++i];
            return true;
        };
        std::string shardText;
        if (arg == "--help" || arg == "-h") {
            Usage(stdout);
            return 0;
        } else if (arg == "--config") {
            if (!value(configPath))
                return Bad("--config needs a FILE");
        } else if (arg == "--listen") {
            if (!value(listen))
                return Bad("--listen needs HOST:PORT");
        } else if (arg == "--web.config.file") {
            if (!value(webConfigPath))
                return Bad("--web.config.file needs a FILE");
        } else if (arg == "--shard") {
            if (!value(shardText) || !ParseShard(shardText, shard))
                return Bad("--shard needs K/N with 0 <= K < N");
        } else if (arg == "--check") {
            check = true;
        } else if (arg == "--probe") {
            if (!value(probeName))
                return Bad("--probe needs the NAME of an access point's section");
        } else if (arg == "--device-type") {
            if (!value(typePath))
                return Bad("--device-type needs a FILE");
        } else if (arg == "--verbose" || arg == "-v") {
            verbose = true;
        } else {
            return Bad("unknown option " + arg);
        }
    }
    if (configPath.empty())
        return Bad("--config FILE is required");

    ConfigResult loaded = LoadConfig(configPath);
    if (!loaded.config) {
        std::fprintf(stderr, "%s\n", loaded.error.c_str());
        return 2;
    }
    PollerConfig& config = *loaded.config;
    if (!typePath.empty() && probeName.empty())
        return Bad("--device-type goes with --probe");
    if (!probeName.empty()) {
        const auto ap = std::find_if(config.aps.begin(), config.aps.end(), [&](const ApConfig& a) { return a.name == probeName; });
        if (ap == config.aps.end())
            return Bad("no access point [" + probeName + "] in " + configPath);
        std::optional<approbe::session::DeviceType> type;
        if (!typePath.empty()) {
            std::string text, why;
            if (!approbe::ReadFile(typePath, text, why)) {
                std::fprintf(stderr, "%s: cannot read: %s\n", typePath.c_str(), why.c_str());
                return 2;
            }
            const approbe::session::DeviceTypeResult r = approbe::session::ParseDeviceType(typePath, text);
            if (!r.type) {
                std::fprintf(stderr, "%s\n", r.error.c_str());
                return 2;
            }
            type = r.type;
        }
        return Probe(config, *ap, type, stdout);
    }
    if (listen.empty())
        listen = config.listen.empty() ? kDefaultListen : config.listen;
    std::string host;
    std::uint16_t port = 0;
    if (!ParseListen(listen, host, port))
        return Bad("--listen must be ADDRESS:PORT (an IPv6 address in brackets), not " + listen);

    ServerOptions serverOptions;
    serverOptions.version = APPROBE_VERSION;
    if (!webConfigPath.empty()) {
        const WebConfigResult web = LoadWebConfig(webConfigPath);
        if (!web.config) {
            std::fprintf(stderr, "%s\n", web.error.c_str());
            return 2;
        }
        serverOptions.web = *web.config;
    }

    const auto polled = static_cast<std::size_t>(
        std::count_if(config.aps.begin(), config.aps.end(), [&](const ApConfig& ap) { return InShard(ap.name, shard); }));
    if (check) {
        const auto mine = SelectShard(config.aps, shard);
        std::printf("%s: %zu access points, %zu in shard %u/%u, polled every %d ms; /metrics on %s%s%s\n",
                    configPath.c_str(), config.aps.size(), polled, shard.k, shard.n, config.pollMs,
                    listen.c_str(), config.recordDir.empty() ? "" : "; recording into ",
                    config.recordDir.c_str());
        if (!webConfigPath.empty())
            std::printf("%s: %s, %zu basic-auth users\n", webConfigPath.c_str(),
                        serverOptions.web.Tls() ? "TLS" : "no TLS", serverOptions.web.users.size());
        for (const approbe::session::DeviceType& t : config.deviceTypes)
            std::printf("device type %s from %s\n", t.name.c_str(), t.file.c_str());
        for (const ApConfig& ap : mine)
            std::printf("  %s  %s:%d  user %s%s%s%s  type %s\n", ap.name.c_str(), ap.host.c_str(), ap.port,
                        ap.user.c_str(), ap.station ? "  station " : "", ap.station ? ap.station->ToString().c_str() : "",
                        ap.allStations ? "  all stations" : "", ap.deviceType.c_str());
        return 0;
    }

    // Blocked before any thread starts, so that every thread inherits it and the signals reach
    // the loop only, through its signalfd.
    const sigset_t set = PollerSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    signal(SIGPIPE, SIG_IGN);
    // A socket per access point: the usual soft limit of 1,024 descriptors is too few for a
    // large site, and the hard limit is ours to take.
    if (rlimit files{}; ::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
        files.rlim_cur = files.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &files);
    }
    if (const std::string shortfall =
            DescriptorShortfall(polled, !config.recordDir.empty(), serverOptions.ConnectionsAtMost());
        !shortfall.empty())
        std::fprintf(stderr, "approbe-poller: %s\n", shortfall.c_str());

    try {
        // The loop reports each reading of the config; /metrics shows the last outcome.
        std::mutex statusMutex;
        PollerStatus status;
        status.version = APPROBE_VERSION;
        status.lastReloadSuccess = std::chrono::system_clock::now();
        PollerOptions options;
        options.configPath = configPath;
        options.shard = shard;
        options.verbose = verbose;
        options.httpConnections = serverOptions.ConnectionsAtMost();
        options.reloaded = [&](bool ok) {
            std::lock_guard lock(statusMutex);
            status.lastReloadOk = ok;
            if (ok)
                status.lastReloadSuccess = std::chrono::system_clock::now();
        };
        // The poller takes the config over: each access point's settings are then held once.
        const int pollMs = config.pollMs;
        Poller poller(options, std::move(config));
        MetricsServer server(
            [&]() -> PageWriter {
                // The access points' series, then the poller's own figures as of the end.
                auto exposition = std::make_shared<ExpositionWriter>(poller.Metrics());
                return [&, exposition](std::string& out, std::size_t want) {
                    if (exposition->Next(out, want))
                        return true;
                    PollerStatus now;
                    {
                        std::lock_guard lock(statusMutex);
                        now = status;
                    }
                    now.process = ReadProcessStats();
                    out += FormatPollerStatus(now);
                    return false;
                };
            },
            serverOptions);
        std::string error;
        if (!server.Start(host, port, error)) {
            std::fprintf(stderr, "approbe-poller: %s\n", error.c_str());
            return 1;
        }
        const std::string shownHost = host.find(':') == std::string::npos ? host : "[" + host + "]";
        std::fprintf(stderr, "approbe-poller: polling %zu access points every %d ms; serving %s://%s:%u/metrics%s\n",
                     polled, pollMs, server.scheme(), shownHost.c_str(), server.port(),
                     serverOptions.web.users.empty() ? "" : " (basic authentication)");
        poller.Run();
        server.Stop();
        std::fprintf(stderr, "approbe-poller: every session ended; exiting\n");
    } catch (const std::exception& e) {
        std::fprintf(stderr, "approbe-poller: %s\n", e.what());
        return 1;
    }
    return 0;
}
