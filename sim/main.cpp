// approbe-sim: a small TCP server that stands in for an access point's telnet shell.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <list>
#include <memory>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "fleet.h"
#include "session.h"

namespace {

constexpr const char* kUsage =
    "usage: approbe-sim [--bind ADDR] [--port N] [--user U] [--password P] [--seed N] [--script FILE]\n"
    "                   [--negotiate MODE] [--fail-delay MS] [--login-tries N] [--max-connections N]\n"
    "                   [--pieces N] [--piece-gap MS] [--stations N] [--station-order ORDER]\n"
    "                   [--drop-rows PERCENT] [--device-type NAME] [--hostname NAME] [--chains N]\n"
    "                   [--noise walk|unknown] [--pager LINES] [--wireless-package wireless|wifi]\n"
    "                   [--aps N [--address-per-ap] [--reply-delay MS] [--hold-values] [--device-types LIST]]\n"
    "                   [--verbose] [--help]\n";
constexpr const char* kHelp =
    "\nA stand-in access point: a telnet-style login, then a shell answering 'get station' and 'get nf',\n"
    "or the commands of another kind of shell (--device-type; sim/README.md shows each).\n"
    "\n"
    "  --bind ADDR          numeric IPv4 or IPv6 address to listen on (default 127.0.0.1)\n"
    "  --port N             TCP port, 0 picks a free one (default 23)\n"
    "  --user U             login name (default admin)\n"
    "  --password P         password (default admin)\n"
    "  --seed N             seed of the values' random walk (default: from the clock)\n"
    "  --script FILE        play FILE's dialogue on every connection instead (default: none; see\n"
    "                       sim/README.md)\n"
    "  --negotiate MODE     telnet options at the start (default none): none; eager sends DO/WILL and\n"
    "                       goes on; strict withholds the login prompt until every one is answered\n"
    "  --fail-delay MS      wait after a wrong login before answering (default 2000)\n"
    "  --login-tries N      wrong logins before the connection is closed (default 3)\n"
    "  --max-connections N  connections served at once; more are accepted and closed (default 100)\n"
    "  --pieces N           send every reply to a command, with its prompt, in N writes cut inside its\n"
    "                       labels, numbers and prompt (default 1: one write)\n"
    "  --piece-gap MS       pause between two pieces of a reply (default 50)\n"
    "  --stations N         stations in the table, 1..9, each with its MAC; station 1 has the moving\n"
    "                       values, station K>1 fixed ones: local -(90+K), remote -(91+K) (default 1)\n"
    "  --station-order ORDER  the table's rows: first (1..N), reversed (N..1) or a list such as 2,1,3\n"
    "                       (default first)\n"
    "  --drop-rows PERCENT  leave each station row out of a reply with this chance, seeded (default 0)\n"
    "  --device-type NAME   the shell played: korvane, linux-iw, openwrt, routeros or json-status, each\n"
    "                       with its login, prompt, commands and formats (default korvane)\n"
    "  --hostname NAME      the host or router name the prompts show (default: the type's own: ap,\n"
    "                       OpenWrt, tower, cpe)\n"
    "  --chains N           per-chain signals listed with each level, 0..4, where the type lists them\n"
    "                       (linux-iw, routeros, json-status; default 2)\n"
    "  --noise MODE         walk: a noise floor that walks; unknown: the radio reports none (openwrt\n"
    "                       'Noise: unknown', linux-iw no survey noise, routeros no noise-floor or\n"
    "                       signal-to-noise, json-status noisef 0; korvane always has one) (default walk)\n"
    "  --pager LINES        routeros: a reply longer than LINES stops at '-- [Q quit|D dump|down]' until a\n"
    "                       key answers (D: the rest, Q: none, else the next page), unless the command\n"
    "                       says without-paging; no --aps (default 0: never)\n"    "  --wireless-package P routeros: wireless, the older package (/interface wireless ...), or wifi, the\n"
    "                       newer one (/interface wifi registration-table: a signal, no remote, no noise)\n"
    "                       (default wireless)\n"
    "  --aps N              serve N access points from one thread, each listening on its own port (from\n"
    "                       --port on, one each; --port 0: free ones) and walking its own values (seed + its\n"
    "                       number); prints one 'listening on' line each, in order; on SIGUSR1 logs how far\n"
    "                       apart each access point's polls came since the last SIGUSR1. Default dialogue\n"
    "                       only: no --script, --negotiate or --pieces (default: one access point, a thread\n"
    "                       per connection)\n"
    "  --address-per-ap     with --aps: access point K listens on the --bind IPv4 address plus K, all on --port\n"
    "                       (default: one address, a port each)\n"
    "  --reply-delay MS     with --aps: each access point answers after its own delay, drawn once from\n"
    "                       0..MS by the seed (default 0)\n"
    "  --hold-values        with --aps: each access point keeps its first values, so every reply keeps its\n"
    "                       length (default: they walk)\n"
    "  --device-types LIST  with --aps: access point K plays the type LIST[K mod its length], LIST being\n"
    "                       names joined by commas, e.g. korvane,routeros (default: --device-type's)\n"
    "  --verbose            log connections and every received block to stderr (default off)\n"
    "  --help               show this help and exit\n";

int stopPipe[2] = {-1, -1};

extern "C" void onStopSignal(int) {
    const int saved = errno;
    const char byte = 's';
    // Never read: the pipe stays readable and every poll on it sees the stop.
    [[maybe_unused]] ssize_t n = ::write(stopPipe[1], &byte, 1);
    errno = saved;
}

[[noreturn]] void usageError(const std::string& why) {
    std::fprintf(stderr, "approbe-sim: %s\n%s", why.c_str(), kUsage);
    std::exit(2);
}

template <typename T>
T parseNumber(const std::string& option, const std::string& text, T lo, T hi) {
    T value{};
    const auto* end = text.data() + text.size();
    const auto res = std::from_chars(text.data(), end, value);
    if (res.ec != std::errc() || res.ptr != end || value < lo || value > hi)
        usageError("bad value '" + text + "' for " + option);
    return value;
}

struct Options {
    sim::Config cfg;
    std::string bind = "127.0.0.1";
    int port = 23;
    std::size_t maxConnections = 100;
    std::size_t aps = 0;  // 0: one access point, a thread per connection
    bool addressPerAp = false;
    sim::FleetOptions fleet;
};

Options parseOptions(int argc, char** argv) {
    Options o;
    bool seeded = false;
    int stations = 1;
    std::string order = "first";
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        std::string value;
        bool hasValue = false;
        if (const auto eq = arg.find('='); arg.rfind("--", 0) == 0 && eq != std::string::npos) {
            value = arg.substr(eq + 1);
            arg.resize(eq);
            hasValue = true;
        }
        const auto takeValue = [&]() -> std::string {
            if (hasValue) return value;
            if (i + 1 >= argc) usageError(arg + " needs a value");
            return argv[++i];
        };
        if (arg == "--help") {
            std::fputs(kUsage, stdout);
            std::fputs(kHelp, stdout);
            std::exit(0);
        } else if (arg == "--negotiate") {
            const std::string mode = takeValue();
            const auto parsed = sim::parseNegotiation(mode);
            if (!parsed) usageError("--negotiate needs none, eager or strict, not '" + mode + "'");
            o.cfg.negotiate = *parsed;
        } else if (arg == "--fail-delay") {
            o.cfg.failDelayMs = parseNumber<long long>(arg, takeValue(), 0, 3'600'000);
        } else if (arg == "--login-tries") {
            o.cfg.loginTries = parseNumber<long long>(arg, takeValue(), 1, 1'000'000);
        } else if (arg == "--max-connections") {
            o.maxConnections = parseNumber<std::size_t>(arg, takeValue(), 1, 100'000);
        } else if (arg == "--pieces") {
            o.cfg.reply.pieces = parseNumber<long long>(arg, takeValue(), 1, sim::kMaxPieces);
        } else if (arg == "--piece-gap") {
            o.cfg.reply.pieceGapMs = parseNumber<long long>(arg, takeValue(), 0, sim::kMaxPieceGapMs);
        } else if (arg == "--stations") {
            stations = parseNumber(arg, takeValue(), 1, sim::kMaxStations);
        } else if (arg == "--station-order") {
            order = takeValue();
        } else if (arg == "--drop-rows") {
            o.cfg.reply.dropRowsPercent = parseNumber<long long>(arg, takeValue(), 0, 100);
        } else if (arg == "--device-type") {
            const std::string name = takeValue();
            const auto kind = sim::parseDeviceKind(name);
            if (!kind) usageError("--device-type needs one of " + std::string(sim::kDeviceKindNames) + ", not '" + name + "'");
            o.cfg.device.kind = *kind;
        } else if (arg == "--device-types") {
            const std::string list = takeValue();
            auto kinds = sim::parseDeviceKinds(list);
            if (!kinds)
                usageError("--device-types needs names of " + std::string(sim::kDeviceKindNames) + " joined by commas, not '" +
                           list + "'");
            o.fleet.kinds = std::move(*kinds);
        } else if (arg == "--hostname") {
            o.cfg.device.hostname = takeValue();
            if (o.cfg.device.hostname.empty() || o.cfg.device.hostname.find_first_of(" \t\r\n") != std::string::npos)
                usageError("--hostname needs a name without blanks");
        } else if (arg == "--chains") {
            o.cfg.device.chains = parseNumber(arg, takeValue(), 0, sim::kMaxChains);
        } else if (arg == "--noise") {
            const std::string mode = takeValue();
            if (mode != "walk" && mode != "unknown") usageError("--noise needs walk or unknown, not '" + mode + "'");
            o.cfg.device.noiseUnknown = mode == "unknown";
        } else if (arg == "--pager") {
            o.cfg.device.pagerLines = parseNumber<long long>(arg, takeValue(), 0, 1'000'000);
        } else if (arg == "--wireless-package") {
            const std::string package = takeValue();
            if (package != "wireless" && package != "wifi")
                usageError("--wireless-package needs wireless or wifi, not '" + package + "'");
            o.cfg.device.wifiPackage = package == "wifi";
        } else if (arg == "--aps") {
            o.aps = parseNumber<std::size_t>(arg, takeValue(), 1, 60'000);
        } else if (arg == "--address-per-ap" && !hasValue) {
            o.addressPerAp = true;
        } else if (arg == "--reply-delay") {
            o.fleet.replyDelayMaxMs = parseNumber<long long>(arg, takeValue(), 0, sim::kMaxPieceGapMs);
        } else if (arg == "--hold-values" && !hasValue) {
            o.fleet.hold = true;
        } else if (arg == "--verbose" && !hasValue) {
            o.cfg.verbose = true;
        } else if (arg == "--bind") {
            o.bind = takeValue();
        } else if (arg == "--port") {
            o.port = parseNumber(arg, takeValue(), 0, 65535);
        } else if (arg == "--user") {
            o.cfg.user = takeValue();
            if (o.cfg.user.empty()) usageError("--user must not be empty");
        } else if (arg == "--password") {
            o.cfg.password = takeValue();
        } else if (arg == "--seed") {
            o.cfg.seed = parseNumber<std::uint64_t>(arg, takeValue(), 0, UINT64_MAX);
            seeded = true;
        } else if (arg == "--script") {
            const std::string path = takeValue();
            try {
                o.cfg.script = sim::loadScript(path);
            } catch (const sim::ScriptError& e) {
                std::fprintf(stderr, "approbe-sim: %s\n", e.what());
                std::exit(2);
            }
        } else {
            usageError("unknown option '" + std::string(argv[i]) + "'");
        }
    }
    // Checked once every option is read: the order names the stations --stations gives.
    auto listed = sim::parseStationOrder(order, stations);
    if (!listed)
        usageError("--station-order needs first, reversed or a list naming each of 1.." + std::to_string(stations) +
                   " once, not '" + order + "'");
    o.cfg.reply.stations = std::move(*listed);
    if (o.aps == 0 && (o.addressPerAp || o.fleet.replyDelayMaxMs || o.fleet.hold || !o.fleet.kinds.empty()))
        usageError("--address-per-ap, --reply-delay, --hold-values and --device-types go with --aps");
    if (o.aps > 0 && (o.cfg.script || o.cfg.negotiate != sim::Negotiation::None || o.cfg.reply.pieces > 1 ||
                      o.cfg.device.pagerLines > 0))
        usageError("--aps serves the default dialogue: no --script, --negotiate, --pieces or --pager");
    if ((o.cfg.device.pagerLines > 0 || o.cfg.device.wifiPackage) && o.cfg.device.kind != sim::DeviceKind::RouterOs &&
        o.fleet.kinds.empty())
        usageError("--pager and --wireless-package go with a routeros shell");
    if (o.aps > 0 && !o.addressPerAp && o.port > 0 && o.port + static_cast<long long>(o.aps) - 1 > 65535)
        usageError("--aps " + std::to_string(o.aps) + " from --port " + std::to_string(o.port) + " runs past port 65535");
    o.fleet.maxConnections = o.maxConnections;
    if (!seeded)
        o.cfg.seed = static_cast<std::uint64_t>(std::chrono::system_clock::now().time_since_epoch().count()) ^
                     static_cast<std::uint64_t>(::getpid());
    return o;
}

std::string bindFailure(int err, int port) {
    if (err == EACCES && port < 1024) return "permission denied: ports below 1024 need root";
    if (err == EADDRINUSE) return "address already in use";
    if (err == EADDRNOTAVAIL) return "address not available on this machine";
    return std::strerror(err);
}

// Returns the listening socket; exits 1 with one line naming address, port and reason.
int listenOn(const std::string& addr, int port, std::string& shown, int& actualPort) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICHOST | AI_PASSIVE;
    addrinfo* res = nullptr;
    if (::getaddrinfo(addr.c_str(), nullptr, &hints, &res) != 0 || !res)
        usageError("--bind needs a numeric IPv4 or IPv6 address, not '" + addr + "'");
    sockaddr_storage sa{};
    std::memcpy(&sa, res->ai_addr, res->ai_addrlen);
    const socklen_t len = res->ai_addrlen;
    const int family = res->ai_family;
    ::freeaddrinfo(res);
    const auto p = static_cast<std::uint16_t>(port);
    if (family == AF_INET6) reinterpret_cast<sockaddr_in6*>(&sa)->sin6_port = htons(p);
    else reinterpret_cast<sockaddr_in*>(&sa)->sin_port = htons(p);

    char text[INET6_ADDRSTRLEN] = {};
    const void* raw = family == AF_INET6 ? static_cast<const void*>(&reinterpret_cast<sockaddr_in6*>(&sa)->sin6_addr)
                                         : static_cast<const void*>(&reinterpret_cast<sockaddr_in*>(&sa)->sin_addr);
    ::inet_ntop(family, raw, text, sizeof text);
    shown = family == AF_INET6 ? "[" + std::string(text) + "]" : std::string(text);

    const int fd = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    if (fd < 0 || ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
        ::bind(fd, reinterpret_cast<sockaddr*>(&sa), len) != 0 || ::listen(fd, 64) != 0) {
        const int err = errno;
        std::fprintf(stderr, "approbe-sim: cannot listen on %s:%d: %s\n", shown.c_str(), port,
                     bindFailure(err, port).c_str());
        std::exit(1);
    }
    sockaddr_storage bound{};
    socklen_t boundLen = sizeof bound;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &boundLen);
    actualPort = ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port
                                                   : reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
    return fd;
}

// The address of access point k with --address-per-ap: the --bind IPv4 address plus k.
std::string addressOf(const std::string& first, std::size_t k) {
    in_addr a{};
    if (::inet_pton(AF_INET, first.c_str(), &a) != 1) usageError("--address-per-ap needs an IPv4 --bind, not '" + first + "'");
    const std::uint64_t next = std::uint64_t{ntohl(a.s_addr)} + k;
    if (next > UINT32_MAX) usageError("--aps runs past the last IPv4 address");
    a.s_addr = htonl(static_cast<std::uint32_t>(next));
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &a, text, sizeof text);
    return text;
}

int serveFleet(const Options& opts) {
    // A listening socket per access point and one per client: the usual soft limit of 1,024 is
    // too few, and the hard limit is ours to take.
    if (rlimit files{}; ::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
        files.rlim_cur = files.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &files);
    }
    std::vector<int> listeners;
    std::string lines;
    for (std::size_t k = 0; k < opts.aps; ++k) {
        const std::string addr = opts.addressPerAp ? addressOf(opts.bind, k) : opts.bind;
        const int wanted = opts.addressPerAp || opts.port == 0 ? opts.port : opts.port + static_cast<int>(k);
        std::string shown;
        int port = 0;
        listeners.push_back(listenOn(addr, wanted, shown, port));
        lines += "listening on " + shown + ":" + std::to_string(port) + "\n";
    }
    std::fputs(lines.c_str(), stdout);
    std::fflush(stdout);
    return sim::serveFleet(listeners, opts.cfg, opts.fleet, stopPipe[0]);
}

struct Worker {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> done = std::make_shared<std::atomic<bool>>(false);
};

}  // namespace

int main(int argc, char** argv) {
    const Options opts = parseOptions(argc, argv);  // scripts are parsed before listening

    if (::pipe2(stopPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        std::perror("approbe-sim: pipe");
        return 1;
    }
    struct sigaction sa{};
    sa.sa_handler = onStopSignal;
    sigemptyset(&sa.sa_mask);
    ::sigaction(SIGINT, &sa, nullptr);
    ::sigaction(SIGTERM, &sa, nullptr);
    ::signal(SIGPIPE, SIG_IGN);

    if (opts.aps > 0) return serveFleet(opts);

    std::string shown;
    int port = 0;
    const int listenFd = listenOn(opts.bind, opts.port, shown, port);
    std::printf("listening on %s:%d\n", shown.c_str(), port);
    std::fflush(stdout);

    std::list<Worker> workers;
    int nextId = 1;
    for (;;) {
        pollfd p[2] = {{listenFd, POLLIN, 0}, {stopPipe[0], POLLIN, 0}};
        if (::poll(p, 2, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (p[1].revents) break;
        workers.remove_if([](Worker& w) {
            if (!w.done->load()) return false;
            w.thread.join();
            return true;
        });
        const int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;  // peer gave up before accept, or out of descriptors for now
        if (workers.size() >= opts.maxConnections) {
            ::close(fd);
            continue;
        }
        Worker& w = workers.emplace_back();
        try {
            w.thread = std::thread([fd, id = nextId, &cfg = opts.cfg, done = w.done] {
                sim::serveConnection(fd, id, cfg, stopPipe[0]);
                done->store(true);
                // Logged only now, so that a client that saw it finds the place free.
                if (cfg.verbose) sim::logLine("[conn " + std::to_string(id) + "] closed");
            });
            ++nextId;
        } catch (const std::system_error&) {
            workers.pop_back();
            ::close(fd);
        }
    }
    ::close(listenFd);
    for (Worker& w : workers) w.thread.join();  // each sees the stop pipe and closes its socket
    return 0;
}
