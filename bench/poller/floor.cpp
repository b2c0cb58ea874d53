// The poller benchmark's floor: the least work polling N access points and serving their values
// needs. One thread, one epoll loop, non-blocking sockets; login by waiting for "login:" (or
// "Login:"), "Password:" and the shell's prompt in turn; polls spread evenly over the period, each
// one send of the type's poll commands (each with CR LF) and one read of the replies (into a buffer
// that holds them whole); the three numbers found in them with strstr; the latest values served as
// the same ten series per access point to a scraper (Connection: close, no HTTP parsing). Each
// access point's shell type is known beforehand (the interface names included): a poller that
// tells types by themselves does more, once, at the login.
//
//   approbe-bench-poller-floor [--poll-ms MS] [--types LIST] HOST:PORT:COUNT...
// LIST: shell types joined by commas (korvane, linux-iw, openwrt, routeros, json-status; default
// korvane); access point K (counting through every HOST:PORT:COUNT in turn) plays LIST[K mod its
// length], as approbe-sim's --device-types assigns them to a fleet. Prints "metrics port N" once listening; SIGUSR1 prints one line of
// counters (access points polling, polls sent, bytes received while polling, polls answered);
// SIGTERM ends it.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::uint64_t kListenId = 1ull << 40, kSignalId = kListenId + 1, kHttpTag = 1ull << 41;

// Where a number stands: after label, searched from after (when given).
struct Label {
    const char* after;
    const char* label;
};

// What the floor knows of a shell type: how to log in and poll, and where its numbers are.
struct Kind {
    const char* name;
    const char* user;   // the login's answer
    const char* prompt; // the shell's prompt ends with this
    const char* poll;   // every poll command, in one send
    const char* answer; // once in every poll's replies
    Label noise, local, remote;
};

constexpr Kind kKinds[] = {
    {"korvane", "admin\r\n", "> ", "get station\r\nget nf\r\n", "Noise Floor Level:",
     {nullptr, "Noise Floor Level:"}, {nullptr, "Local RSSI level:"}, {nullptr, "Remote RSSI level:"}},
    {"linux-iw", "admin\r\n", "$ ", "iw dev wlan0 station dump\r\niw dev wlan0 survey dump\r\n", "[in use]",
     {"[in use]", "noise:"}, {nullptr, "signal:"}, {nullptr, nullptr}},
    {"openwrt", "admin\r\n", "$ ", "iwinfo phy0-ap0 info\r\niwinfo phy0-ap0 assoclist\r\n", "Noise:",
     {nullptr, "Noise:"}, {"assoclist\r\n", "  "}, {nullptr, nullptr}},
    {"routeros", "admin+ct\r\n", "] > ",
     "/interface wireless monitor wlan1 once\r\n/interface wireless registration-table print stats without-paging\r\n"
     "/interface wifi registration-table print detail without-paging\r\n",
     "noise-floor:", {nullptr, "noise-floor:"}, {nullptr, "signal-strength="}, {nullptr, "tx-signal-strength="}},
    {"json-status", "admin\r\n", "# ", "/usr/www/status.cgi\r\n", "\"noisef\":", {nullptr, "\"noisef\":"},
     {"\"sta\":[", "\"signal\":"}, {nullptr, "\"remote\":{\"signal\":"}},
};

struct Ap {
    const Kind* kind = &kKinds[0];
    int fd = -1;
    int phase = 0; // 0 login:, 1 Password:, 2 shell prompt, 3 polling
    std::string login; // text seen while logging in
    int noise = 0, local = 0, remote = 0;
    long long lastMs = -1; // unix ms of the latest reading
    unsigned long long rx = 0, polls = 0, answers = 0;
    Clock::time_point connected;
};

struct Http {
    std::string in, out;
    std::size_t sent = 0;
};

long long UnixMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch()).count();
}

void SendAll(int fd, const char* text)
{
    [[maybe_unused]] const ssize_t n = ::send(fd, text, std::strlen(text), MSG_NOSIGNAL);
}

int Value(const char* text, const Label& where, int& into)
{
    if (!where.label)
        return 0;
    if (where.after && !(text = std::strstr(text, where.after)))
        return 0;
    const char* at = std::strstr(text, where.label);
    if (!at)
        return 0;
    into = std::atoi(at + std::strlen(where.label));
    return 1;
}

std::string Exposition(const std::vector<Ap>& aps)
{
    std::string out;
    out.reserve(aps.size() * 700);
    char line[160];
    auto family = [&](const char* name, const char* type, auto value) {
        std::snprintf(line, sizeof line, "# HELP %s %s\n# TYPE %s %s\n", name, name, name, type);
        out += line;
        for (std::size_t i = 0; i < aps.size(); ++i) {
            std::snprintf(line, sizeof line, "%s{ap=\"ap%zu\"} ", name, i);
            out += line;
            out += value(aps[i]);
            out += '\n';
        }
    };
    auto num = [](long long v) { return std::to_string(v); };
    family("approbe_up", "gauge", [&](const Ap& a) { return num(a.phase == 3); });
    family("approbe_noise_floor_dbm", "gauge", [&](const Ap& a) { return num(a.noise); });
    family("approbe_local_rssi_dbm", "gauge", [&](const Ap& a) { return num(a.local); });
    family("approbe_remote_rssi_dbm", "gauge", [&](const Ap& a) { return num(a.remote); });
    family("approbe_snr_db", "gauge", [&](const Ap& a) { return num(a.local - a.noise); });
    family("approbe_last_reading_timestamp_seconds", "gauge", [&](const Ap& a) {
        char t[32];
        std::snprintf(t, sizeof t, "%lld.%03lld", a.lastMs / 1000, a.lastMs % 1000);
        return std::string(t);
    });
    family("approbe_received_bytes_total", "counter", [&](const Ap& a) { return num(static_cast<long long>(a.rx)); });
    family("approbe_connects_total", "counter", [&](const Ap&) { return num(1); });
    family("approbe_login_rejections_total", "counter", [&](const Ap&) { return num(0); });
    family("approbe_poll_commands_total", "counter", [&](const Ap& a) {
        long long commands = 0; // a line each
        for (const char* at = a.kind->poll; (at = std::strchr(at, '\n')); ++at)
            ++commands;
        return num(commands * static_cast<long long>(a.polls));
    });
    return out;
}

} // namespace

int main(int argc, char** argv)
{
    long long pollMs = 1000;
    std::vector<Ap> aps;
    std::vector<sockaddr_in> targets;
    std::vector<const Kind*> kinds = {&kKinds[0]};
    auto usage = [] {
        std::fprintf(stderr, "usage: approbe-bench-poller-floor [--poll-ms MS] [--types LIST] HOST:PORT:COUNT...\n");
        return 2;
    };
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--poll-ms" && i + 1 < argc) {
            pollMs = std::atoll(argv[++i]);
            continue;
        }
        if (arg == "--types" && i + 1 < argc) {
            kinds.clear();
            const std::string list = std::string(argv[++i]) + ",";
            for (std::size_t at = 0, comma; (comma = list.find(',', at)) != std::string::npos; at = comma + 1) {
                const std::string name = list.substr(at, comma - at);
                const Kind* found = nullptr;
                for (const Kind& k : kKinds)
                    found = name == k.name ? &k : found;
                if (!found)
                    return usage();
                kinds.push_back(found);
            }
            continue;
        }
        char host[64];
        int port = 0, count = 0;
        if (std::sscanf(argv[i], "%63[^:]:%d:%d", host, &port, &count) != 3)
            return usage();
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(static_cast<std::uint16_t>(port));
        ::inet_pton(AF_INET, host, &to.sin_addr);
        targets.insert(targets.end(), static_cast<std::size_t>(count), to);
        for (int k = 0; k < count; ++k)
            aps.emplace_back().kind = kinds[aps.size() % kinds.size()];
    }

    const int ep = ::epoll_create1(0);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGUSR1);
    sigprocmask(SIG_BLOCK, &set, nullptr);
    signal(SIGPIPE, SIG_IGN);
    const int sfd = ::signalfd(-1, &set, SFD_NONBLOCK);
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = kSignalId;
    ::epoll_ctl(ep, EPOLL_CTL_ADD, sfd, &ev);

    const int lfd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    sockaddr_in me{};
    me.sin_family = AF_INET;
    me.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof me;
    if (::bind(lfd, reinterpret_cast<sockaddr*>(&me), sizeof me) != 0 || ::listen(lfd, 16) != 0 ||
        ::getsockname(lfd, reinterpret_cast<sockaddr*>(&me), &len) != 0) {
        std::perror("approbe-bench-poller-floor: listen");
        return 1;
    }
    ev.data.u64 = kListenId;
    ::epoll_ctl(ep, EPOLL_CTL_ADD, lfd, &ev);
    std::printf("metrics port %u\n", ntohs(me.sin_port));
    std::fflush(stdout);

    auto connect = [&](std::size_t i) {
        Ap& a = aps[i];
        if (a.fd >= 0)
            ::close(a.fd);
        const Kind* kind = a.kind;
        a = Ap{};
        a.kind = kind;
        a.fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        ::connect(a.fd, reinterpret_cast<sockaddr*>(&targets[i]), sizeof targets[i]);
        a.connected = Clock::now();
        epoll_event aev{};
        aev.events = EPOLLIN;
        aev.data.u64 = i;
        ::epoll_ctl(ep, EPOLL_CTL_ADD, a.fd, &aev);
    };
    for (std::size_t i = 0; i < aps.size(); ++i)
        connect(i);

    std::map<int, Http> clients;
    const auto n = static_cast<long long>(aps.size());
    const auto base = Clock::now();
    long long slot = 0; // slot k polls access point k % n at base + k * period / n
    auto due = [&](long long k) { return base + std::chrono::microseconds(k * pollMs * 1000 / (n ? n : 1)); };
    static char buf[64 * 1024]; // a poll's replies whole, in one read
    epoll_event events[256];
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(due(slot) - Clock::now()).count();
        const int got = ::epoll_wait(ep, events, 256, n ? static_cast<int>(left < 0 ? 0 : left) : -1);
        for (int e = 0; e < got; ++e) {
            const std::uint64_t id = events[e].data.u64;
            if (id == kSignalId) {
                signalfd_siginfo info{};
                while (::read(sfd, &info, sizeof info) == sizeof info) {
                    if (info.ssi_signo != SIGUSR1)
                        return 0;
                    unsigned long long polls = 0, rx = 0, answers = 0;
                    int live = 0;
                    for (const Ap& a : aps) {
                        live += a.phase == 3;
                        polls += a.polls;
                        rx += a.rx;
                        answers += a.answers;
                    }
                    std::printf("stats live=%d polls=%llu rx=%llu answers=%llu\n", live, polls, rx, answers);
                    std::fflush(stdout);
                }
            } else if (id == kListenId) {
                int c;
                while ((c = ::accept4(lfd, nullptr, nullptr, SOCK_NONBLOCK)) >= 0) {
                    clients[c];
                    epoll_event cev{};
                    cev.events = EPOLLIN;
                    cev.data.u64 = kHttpTag | static_cast<unsigned>(c);
                    ::epoll_ctl(ep, EPOLL_CTL_ADD, c, &cev);
                }
            } else if (id & kHttpTag) {
                const int c = static_cast<int>(id & 0xffffffffu);
                Http& h = clients[c];
                if (h.out.empty()) {
                    const ssize_t r = ::recv(c, buf, sizeof buf - 1, 0);
                    if (r <= 0) {
                        ::close(c);
                        clients.erase(c);
                        continue;
                    }
                    h.in.append(buf, static_cast<std::size_t>(r));
                    if (h.in.find("\r\n\r\n") == std::string::npos)
                        continue;
                    const std::string body = Exposition(aps);
                    h.out = "HTTP/1.1 200 OK\r\nContent-Type: text/plain; version=0.0.4\r\nConnection: close\r\n"
                            "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
                }
                while (h.sent < h.out.size()) {
                    const ssize_t w = ::send(c, h.out.data() + h.sent, h.out.size() - h.sent, MSG_NOSIGNAL);
                    if (w <= 0)
                        break;
                    h.sent += static_cast<std::size_t>(w);
                }
                if (h.sent < h.out.size()) {
                    epoll_event cev{};
                    cev.events = EPOLLOUT;
                    cev.data.u64 = id;
                    ::epoll_ctl(ep, EPOLL_CTL_MOD, c, &cev);
                } else {
                    ::close(c);
                    clients.erase(c);
                }
            } else {
                Ap& a = aps[id];
                const ssize_t r = ::recv(a.fd, buf, sizeof buf - 1, 0);
                if (r <= 0) {
                    if (r == 0 || errno != EAGAIN)
                        a.phase = 4; // gone: counted as not live, connected again at its slot
                    continue;
                }
                buf[r] = '\0';
                const Kind& kind = *a.kind;
                if (a.phase == 3) {
                    a.rx += static_cast<unsigned long long>(r);
                    if (Value(buf, kind.noise, a.noise) + Value(buf, kind.local, a.local) + Value(buf, kind.remote, a.remote))
                        a.lastMs = UnixMs();
                    // A read can hold the replies of two polls (one late): each answer says this once.
                    for (const char* at = buf; (at = std::strstr(at, kind.answer)); ++at)
                        ++a.answers;
                    continue;
                }
                a.login += buf;
                const char* const want[] = {"ogin:", "Password:", kind.prompt};
                if (std::strstr(a.login.c_str(), want[a.phase])) {
                    a.login.clear();
                    if (a.phase == 0)
                        SendAll(a.fd, kind.user);
                    else if (a.phase == 1)
                        SendAll(a.fd, "admin\r\n");
                    ++a.phase;
                }
            }
        }
        for (const auto now = Clock::now(); n && due(slot) <= now; ++slot) {
            const auto i = static_cast<std::size_t>(slot % n);
            Ap& a = aps[i];
            // A start-up burst can overflow a listen queue: no prompt within 5 s, connect again.
            if (a.phase == 4 || (a.phase < 3 && now - a.connected > std::chrono::seconds(5)))
                connect(i);
            if (a.phase != 3)
                continue;
            SendAll(a.fd, a.kind->poll);
            ++a.polls;
        }
    }
}
