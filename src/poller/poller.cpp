#include "poller.h"

#include <signal.h>
#include <sys/signalfd.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <utility>

#include "csv_record.h"
#include "linked_module.h"
#include "process_metrics.h"
#include "thread_priority.h"

namespace approbe::poller {
namespace {

using session::DeviceType;
using session::FollowedStation;
using session::FreshFor;
using session::Reading;
using session::SessionAction;
using session::SessionEnd;
using session::SessionState;

// A login program takes seconds over a wrong password; longer than this, it is not answering.
session::Deadlines PollerDeadlines()
{
    session::Deadlines d;
    d.login = std::chrono::milliseconds(10000);
    return d;
}

} // namespace

struct Poller::Ap {
    ApConfig cfg;
    session::SessionId id = 0;
    bool rejected = false;      // not retried until SIGHUP
    std::string refusal;        // why the host key was refused, for the log when the session ends
    SessionEnd lastEnd = SessionEnd::None;
    std::string startFailure;   // why the last attempt could not start ("connection refused", ...)
    SeriesTable::Handle series;
    LatestLevels levels;        // the loop's own copy, for the recording's SNR
};

sigset_t PollerSignals()
{
    sigset_t set;
    sigemptyset(&set);
    for (int s : {SIGTERM, SIGINT, SIGHUP})
        sigaddset(&set, s);
    return set;
}

std::vector<ApConfig> SelectShard(const std::vector<ApConfig>& aps, const Shard& shard)
{
    std::vector<ApConfig> out;
    std::copy_if(aps.begin(), aps.end(), std::back_inserter(out),
                 [&](const ApConfig& ap) { return InShard(ap.name, shard); });
    return out;
}

Poller::Poller(PollerOptions options, PollerConfig config)
    : m_options(WithLog(std::move(options))), m_config(std::move(config)),
      m_userTypes(std::make_shared<const std::vector<DeviceType>>(m_config.deviceTypes)),
      m_loop(*this, PollerDeadlines(), ssh::LinkedModule), m_maxAgeMs(FreshFor(m_config.pollMs)), m_recorder(m_options.log),
      m_failures(m_options.log)
{
    const sigset_t set = PollerSignals();
    m_signals = ::signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
    if (m_signals < 0)
        throw std::runtime_error(std::string("cannot set up the event loop: ") + std::strerror(errno));
    m_loop.Watch(m_signals, [this] { OnSignals(); });
    m_digestTimer = ::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    if (m_digestTimer < 0)
        throw std::runtime_error(std::string("cannot set up the event loop: ") + std::strerror(errno));
    m_loop.Watch(m_digestTimer, [this] { FlushFailures(); });
    const auto aps = SelectShard(std::exchange(m_config.aps, {}), m_options.shard);
    for (std::size_t i = 0; i < aps.size(); ++i)
        Add(aps[i], Period() * static_cast<long>(i) / static_cast<long>(aps.size()));
    m_recorder.SetOpenFilesAtMost(RecordingFilesOpenAtMost(m_aps.size(), m_options.httpConnections));
}

Poller::~Poller()
{
    if (m_signals >= 0)
        ::close(m_signals);
    if (m_digestTimer >= 0)
        ::close(m_digestTimer);
}

PollerOptions Poller::WithLog(PollerOptions options)
{
    if (!options.log)
        options.log = [](const std::string& line) { std::fprintf(stderr, "%s\n", line.c_str()); };
    return options;
}

// The same failure at many access points is counted and said once a minute; the timer wakes the
// loop when the next count is due.
void Poller::Failed(Ap& ap, const std::string& why, const std::string& line)
{
    m_failures.Failed(ap.cfg.name, why, line, std::chrono::steady_clock::now());
    ArmFailureTimer(m_failures.Flush(std::chrono::steady_clock::now()));
}

void Poller::FlushFailures()
{
    std::uint64_t expirations = 0;
    [[maybe_unused]] const ssize_t n = ::read(m_digestTimer, &expirations, sizeof expirations);
    ArmFailureTimer(m_failures.Flush(std::chrono::steady_clock::now()));
}

void Poller::ArmFailureTimer(std::chrono::steady_clock::time_point at)
{
    itimerspec when{};
    if (at != std::chrono::steady_clock::time_point::max()) {
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(at.time_since_epoch()).count();
        when.it_value.tv_sec = static_cast<time_t>(ns / 1000000000);
        when.it_value.tv_nsec = static_cast<long>(ns % 1000000000);
        if (when.it_value.tv_sec == 0 && when.it_value.tv_nsec == 0)
            when.it_value.tv_nsec = 1; // zero would disarm it
    }
    ::timerfd_settime(m_digestTimer, TFD_TIMER_ABSTIME, &when, nullptr);
}

void Poller::Log(const std::string& line) const { m_options.log(line); }

void Poller::Add(const ApConfig& cfg, std::chrono::steady_clock::duration offset)
{
    session::SessionSetup setup;
    setup.host = cfg.host;
    setup.port = cfg.port;
    setup.user = cfg.user;
    setup.password = cfg.password;
    setup.pollPeriod = Period();
    setup.pollOffset = offset;
    setup.hostKeys = cfg.acceptNewHostKey ? session::HostKeyPolicy::AcceptNew : session::HostKeyPolicy::Strict;
    setup.retry = session::RetryPolicy::Poller(m_config.startsPerSecond);
    setup.device = {cfg.deviceType, m_userTypes};
    auto ap = std::make_unique<Ap>();
    ap->cfg = cfg;
    ap->series = m_series.Add(cfg.name);
    ap->id = m_loop.Add(std::move(setup));
    m_byName[cfg.name] = ap->id;
    m_aps.emplace(ap->id, std::move(ap));
}

void Poller::Remove(session::SessionId id)
{
    auto it = m_aps.find(id);
    if (it == m_aps.end())
        return;
    m_loop.Remove(id); // the farewell, then the close
    const std::string name = it->second->cfg.name;
    m_series.Remove(name);
    m_recorder.Close(name);
    m_byName.erase(name);
    m_aps.erase(it);
}

void Poller::OnSessionEvent(session::SessionId id, const session::SessionEvent& event)
{
    using Kind = session::SessionEvent::Kind;
    const auto it = m_aps.find(id);
    if (it == m_aps.end())
        return;
    Ap& ap = *it->second;
    const auto where = [&ap] { return ap.cfg.host + ":" + std::to_string(ap.cfg.port); };
    switch (event.kind) {
    case Kind::Engine: {
        const SessionAction& a = event.action;
        switch (a.kind) {
        case SessionAction::Kind::Status:
        case SessionAction::Kind::Log:
            if (m_options.verbose)
                Log(ap.cfg.name + ": " + a.text);
            break;
        case SessionAction::Kind::RxTotal:
            m_series.Update(ap.series, [&](ApSeries& s) { s.receivedBytes += static_cast<std::uint64_t>(a.added); });
            break;
        case SessionAction::Kind::Reading: Record(ap, a.reading); break;
        case SessionAction::Kind::State:
            m_series.Update(ap.series, [&](ApSeries& s) {
                if (a.state == SessionState::LoggingIn)
                    ++s.connects;
                if (a.state == SessionState::LoggedIn)
                    s.loggedIn = true;
                if (a.state == SessionState::Ended)
                    s.loggedIn = false;
            });
            break;
        default: break;
        }
        if (a.kind == SessionAction::Kind::State && a.state == SessionState::Ended)
            Ended(ap, a.end);
        break;
    }
    case Kind::Polled:
        m_series.Update(ap.series, [&](ApSeries& s) { s.pollCommands += static_cast<std::uint64_t>(event.count); });
        break;
    case Kind::HostKeyRefused: ap.refusal = event.text; break;
    case Kind::ResolveFailed:
        ap.startFailure = StartFailureReason(event.text);
        if (m_options.verbose)
            Log(ap.cfg.name + ": cannot look up " + ap.cfg.host + ": " + event.text);
        break;
    case Kind::ConnectFailed:
        ap.startFailure = StartFailureReason(event.text);
        if (m_options.verbose)
            Log(ap.cfg.name + ": connect to " + where() + ": " + event.text);
        break;
    case Kind::Note: Log(ap.cfg.name + ": " + event.text); break;
    case Kind::Stale:
        if (m_options.verbose)
            Log(ap.cfg.name + (event.flag ? ": polls unanswered" : ": answers again"));
        break;
    case Kind::Retrying:
    {
        const std::string why = ap.lastEnd == SessionEnd::StartFailed && !ap.startFailure.empty()
                                    ? "cannot start: " + ap.startFailure
                                    : ToString(ap.lastEnd);
        const std::string line = ap.cfg.name + ": " + where() + ": " + why + "; retrying in " +
                                 std::to_string(event.delay.count()) + " ms";
        if (m_options.verbose)
            Log(line);
        else
            Failed(ap, why, line);
        break;
    }
    case Kind::Attempt:
        ap.startFailure.clear();
        break;
    case Kind::HostKeyQuestion:
    case Kind::HostKeyChanged: break; // the refusal is logged when the session ends
    }
}

void Poller::Ended(Ap& ap, SessionEnd why)
{
    ap.lastEnd = why;
    if (why == SessionEnd::HostKeyRefused) {
        m_series.Update(ap.series, [](ApSeries& s) { ++s.hostKeyRejections; });
        ap.rejected = true;
        Log(ap.cfg.name + ": " + ap.refusal);
        Log(ap.cfg.name + ": not retried until SIGHUP re-reads the config");
    } else if (why == SessionEnd::LoginRejected) {
        m_series.Update(ap.series, [](ApSeries& s) { ++s.loginRejections; });
        ap.rejected = true;
        Log(ap.cfg.name + ": " + ap.cfg.host + ":" + std::to_string(ap.cfg.port) + " rejected the login as " +
            ap.cfg.user + "; not retried until SIGHUP re-reads the config");
    }
}

void Poller::Record(Ap& ap, const Reading& reading)
{
    // Without a station to follow the reading is the followed one: no copy of its rows.
    std::optional<Reading> own;
    const Reading& followed = ap.cfg.station ? own.emplace(FollowedStation(reading, ap.cfg.station)) : reading;
    ap.levels.Update(followed);
    const auto maxAge = MaxAge();
    m_series.Update(ap.series, [&](ApSeries& s) {
        s.levels.Update(followed);
        s.lastReading = reading.at;
        if (ap.cfg.allStations)
            UpdateStations(s, reading, maxAge);
    });
    if (m_config.recordDir.empty() || !followed.any())
        return;
    RecordRow row;
    row.at = reading.at;
    row.host = ap.cfg.host;
    row.noise = followed.noise;
    row.local = followed.local;
    row.remote = followed.remote;
    row.snr = ap.levels.Snr(reading.at, maxAge);
    m_recorder.Append(ap.cfg.name, m_config.recordDir, FileSafeName(ap.cfg.name), std::move(row));
}

void Poller::Reload()
{
    ConfigResult r = LoadConfig(m_options.configPath);
    if (!r.config) {
        Log("SIGHUP: config not reloaded: " + r.error);
        if (m_options.reloaded)
            m_options.reloaded(false);
        return;
    }
    PollerConfig& next = *r.config;
    if (!next.listen.empty() && next.listen != m_config.listen)
        Log("SIGHUP: a new Listen takes effect at the next start");
    const bool periodChanged = next.pollMs != m_config.pollMs;
    const auto wanted = SelectShard(next.aps, m_options.shard);
    std::map<std::string, const ApConfig*> byName;
    for (const ApConfig& a : wanted)
        byName[a.name] = &a;
    int stopped = 0, started = 0;
    // Removed, changed and rejected ones stop; a rejected one starts again with what the file says now.
    for (auto it = m_byName.begin(); it != m_byName.end();) {
        const auto id = (it++)->second;
        Ap& ap = *m_aps.at(id);
        const auto found = byName.find(ap.cfg.name);
        if (found == byName.end() || periodChanged || !found->second->SameSession(ap.cfg) || ap.rejected) {
            Remove(id);
            ++stopped;
        }
    }
    if (next.startsPerSecond != m_config.startsPerSecond) {
        for (const auto& [id, ap] : m_aps)
            m_loop.SetRetry(id, session::RetryPolicy::Poller(next.startsPerSecond));
    }
    m_config = std::move(next);
    m_config.aps.clear();
    m_userTypes = std::make_shared<const std::vector<DeviceType>>(m_config.deviceTypes);
    m_maxAgeMs = FreshFor(m_config.pollMs);
    for (std::size_t i = 0; i < wanted.size(); ++i) {
        if (m_byName.count(wanted[i].name))
            continue;
        Add(wanted[i], Period() * static_cast<long>(i) / static_cast<long>(wanted.size()));
        ++started;
    }
    // The recordings get what the sessions leave of the limit, which may have been raised since.
    m_recorder.SetOpenFilesAtMost(RecordingFilesOpenAtMost(m_aps.size(), m_options.httpConnections));
    Log("SIGHUP: config reloaded: " + std::to_string(m_aps.size()) + " access points; " + std::to_string(stopped) +
        " stopped, " + std::to_string(started) + " started");
    if (const std::string shortfall =
            DescriptorShortfall(m_aps.size(), !m_config.recordDir.empty(), m_options.httpConnections);
        !shortfall.empty())
        Log("SIGHUP: " + shortfall);
    if (m_options.reloaded)
        m_options.reloaded(true);
}

void Poller::OnSignals()
{
    signalfd_siginfo info{};
    while (::read(m_signals, &info, sizeof info) == sizeof info) {
        if (info.ssi_signo == SIGHUP)
            Reload();
        else
            m_loop.Stop();
    }
}

void Poller::Run()
{
    RunAsTheLoop();
    m_loop.Run(); // ends every session with its farewell before it returns
    m_aps.clear();
    m_byName.clear();
}

ExpositionWriter Poller::Metrics()
{
    return ExpositionWriter(m_series.Snapshot(), std::chrono::system_clock::now(), MaxAge());
}

} // namespace approbe::poller
