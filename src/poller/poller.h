#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include "config.h"
#include "metrics.h"
#include "schedule.h"
#include "session_engine.h"

// Many access point sessions on one thread: one epoll loop does every connect, send and receive
// with non-blocking sockets, and a heap of due times spreads the polls over the poll period, so
// one access point's trouble (a slow connect, a flood, silence) never holds up another's polls.
namespace approbe::poller {

struct PollerOptions {
    std::string configPath; // re-read on SIGHUP
    Shard shard;
    bool verbose = false;   // the sessions' narration too, not only their state changes
    std::function<void(const std::string&)> log; // default: a line on stderr
};

// The access points of config that belong to shard, in file order.
std::vector<ApConfig> SelectShard(const std::vector<ApConfig>& aps, const Shard& shard);

class Poller {
public:
    Poller(PollerOptions options, const PollerConfig& config);
    ~Poller();
    Poller(const Poller&) = delete;
    Poller& operator=(const Poller&) = delete;

    // Runs until SIGTERM or SIGINT (the caller blocks SIGTERM, SIGINT and SIGHUP in every thread
    // first, so that they arrive here through a signalfd). SIGHUP re-reads the config. Every
    // session ends with its farewell before Run returns.
    void Run();
    // The exposition as of now; callable from any thread.
    std::string Metrics();

private:
    using Clock = std::chrono::steady_clock;
    struct Ap;
    struct Lookup;
    struct Due {
        Clock::time_point at;
        std::uint64_t id, seq;
        bool operator>(const Due& o) const { return at > o.at; }
    };

    void Add(const ApConfig& cfg, Clock::duration offset);
    void Remove(std::uint64_t id);
    void Reload();
    void Schedule(Ap& ap, Clock::time_point at);
    void OnDue(Ap& ap, Clock::time_point now);
    void OnEvent(Ap& ap, std::uint32_t events);
    void OnLookups();
    void StartAttempt(Ap& ap);
    void Connect(Ap& ap, std::uint32_t addr);
    void ConnectDone(Ap& ap);
    void ConnectFailed(Ap& ap, int error);
    // Sets what epoll watches ap's socket for (op: EPOLL_CTL_ADD or EPOLL_CTL_MOD).
    void Watch(Ap& ap, int op, std::uint32_t events);
    // SSH: the handshake and login as far as they go; the host-key check (false: refused, the
    // session has ended); what the shell sent; what epoll watches for.
    void SshAdvance(Ap& ap);
    bool SshHostKey(Ap& ap);
    void SshRead(Ap& ap);
    void SshWatch(Ap& ap);
    void Apply(Ap& ap, const SessionActions& actions);
    void Write(Ap& ap, const std::string& bytes);
    void Flush(Ap& ap);
    void CloseSocket(Ap& ap);
    void Ended(Ap& ap, SessionEnd why);
    void Record(Ap& ap, const Reading& reading);
    void Log(const std::string& line) const;
    Clock::time_point NextSlot(const Ap& ap, Clock::time_point after) const;
    Clock::duration Period() const { return std::chrono::milliseconds(m_config.pollMs); }

    PollerOptions m_options;
    PollerConfig m_config;
    int m_epoll = -1, m_signals = -1, m_lookupEvent = -1;
    const Clock::time_point m_base = Clock::now(); // the poll slots are counted from here
    std::uint64_t m_nextId = 16;                     // ids below are the loop's own descriptors
    std::unordered_map<std::uint64_t, std::unique_ptr<Ap>> m_aps;
    std::map<std::string, std::uint64_t> m_byName;
    std::vector<Due> m_due; // a min-heap; entries whose seq is old are skipped
    std::vector<std::unique_ptr<Lookup>> m_abandoned; // lookups that could not be cancelled yet
    std::mt19937 m_random{std::random_device{}()};
    bool m_stop = false;

    // What /metrics reads, by name; the loop updates it and the server's thread copies it.
    std::mutex m_mutex;
    std::map<std::string, ApSeries> m_series;
    std::chrono::milliseconds m_maxAge;
};

} // namespace approbe::poller
