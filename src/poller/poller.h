#pragma once

#include <signal.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "config.h"
#include "failure_digest.h"
#include "loop.h"
#include "metrics.h"
#include "recorder.h"
#include "schedule.h"
#include "series_table.h"
#include "session_engine.h"

// Many access point sessions on one thread: one epoll loop does every connect, send and receive
// with non-blocking sockets, and a heap of due times spreads the polls over the poll period, so
// one access point's trouble (a slow connect, a flood, silence) never holds up another's polls.
namespace approbe::poller {

struct PollerOptions {
    std::string configPath; // re-read on SIGHUP
    Shard shard;
    bool verbose = false;   // the sessions' narration too, not only their state changes
    unsigned httpConnections = 0; // what /metrics holds at most, for the descriptors a reload needs
    std::function<void(const std::string&)> log; // default: a line on stderr
    std::function<void(bool)> reloaded;           // after each SIGHUP: whether the config was re-read
};

// What the poller's loop takes through its signalfd: SIGTERM and SIGINT end it, SIGHUP re-reads
// the config. Blocked in every thread before any starts.
sigset_t PollerSignals();

// The access points of config that belong to shard, in file order.
std::vector<ApConfig> SelectShard(const std::vector<ApConfig>& aps, const Shard& shard);

class Poller : private session::ISessionEvents {
public:
    Poller(PollerOptions options, PollerConfig config);
    ~Poller() override;
    Poller(const Poller&) = delete;
    Poller& operator=(const Poller&) = delete;

    // Runs until SIGTERM or SIGINT (the caller blocks SIGTERM, SIGINT and SIGHUP in every thread
    // first, so that they arrive here through a signalfd). SIGHUP re-reads the config. Every
    // session ends with its farewell before Run returns.
    void Run();
    // The exposition as of now, to be written out a piece at a time; callable from any thread.
    ExpositionWriter Metrics();

private:
    struct Ap;

    void OnSessionEvent(session::SessionId id, const session::SessionEvent& event) override;
    void Add(const ApConfig& cfg, std::chrono::steady_clock::duration offset);
    void Remove(session::SessionId id);
    void Reload();
    void OnSignals();
    void Ended(Ap& ap, session::SessionEnd why);
    void Record(Ap& ap, const session::Reading& reading);
    void Log(const std::string& line) const;
    static PollerOptions WithLog(PollerOptions options);
    void Failed(Ap& ap, const std::string& why, const std::string& line);
    void FlushFailures();
    void ArmFailureTimer(std::chrono::steady_clock::time_point at);
    std::chrono::milliseconds Period() const { return std::chrono::milliseconds(m_config.pollMs); }
    std::chrono::milliseconds MaxAge() const { return std::chrono::milliseconds(m_maxAgeMs.load()); }

    PollerOptions m_options;
    PollerConfig m_config; // its aps left empty: each access point's own settings are in its Ap
    // The user's device types as the sessions share them; a reload's sessions get the new ones.
    std::shared_ptr<const std::vector<session::DeviceType>> m_userTypes;
    session::SessionLoop m_loop;
    int m_signals = -1;
    std::unordered_map<session::SessionId, std::unique_ptr<Ap>> m_aps;
    std::map<std::string, session::SessionId> m_byName;

    // What /metrics reads: the loop updates it, the server's thread copies it a shard at a time.
    SeriesTable m_series;
    std::atomic<long long> m_maxAgeMs; // levels older than this are left out
    Recorder m_recorder;               // the recordings, written off the loop's thread
    FailureDigest m_failures;
    int m_digestTimer = -1;
};

} // namespace approbe::poller
