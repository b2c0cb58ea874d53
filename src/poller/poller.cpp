#include "poller.h"

#include <signal.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "csv_record.h"
#include "linked_module.h"

namespace approbe::poller {
namespace {

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
    ApSeries* series = nullptr; // in m_series, under m_mutex
    LatestLevels levels;        // the loop's own copy, for the recording's SNR
    CsvFile csv;
    std::string csvDay;
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

Poller::Poller(PollerOptions options, const PollerConfig& config)
    : m_options(std::move(options)), m_config(config), m_loop(*this, PollerDeadlines(), ssh::LinkedModule),
      m_maxAge(FreshFor(std::chrono::milliseconds(config.pollMs)))
{
    if (!m_options.log)
        m_options.log = [](const std::string& line) { std::fprintf(stderr, "%s\n", line.c_str()); };
    const sigset_t set = PollerSignals();
    m_signals = ::signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
    if (m_signals < 0)
        throw std::runtime_error(std::string("cannot set up the event loop: ") + std::strerror(errno));
    m_loop.Watch(m_signals, [this] { OnSignals(); });
    const auto aps = SelectShard(config.aps, m_options.shard);
    for (std::size_t i = 0; i < aps.size(); ++i)
        Add(aps[i], Period() * static_cast<long>(i) / static_cast<long>(aps.size()));
}

Poller::~Poller()
{
    if (m_signals >= 0)
        ::close(m_signals);
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
    setup.retry = session::RetryPolicy::Poller();
    auto ap = std::make_unique<Ap>();
    ap->cfg = cfg;
    {
        std::lock_guard lock(m_mutex);
        ap->series = &m_series[cfg.name];
        *ap->series = ApSeries{};
        ap->series->name = cfg.name;
    }
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
    {
        std::lock_guard lock(m_mutex);
        m_series.erase(name);
    }
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
        case SessionAction::Kind::RxTotal: {
            std::lock_guard lock(m_mutex);
            ap.series->receivedBytes += static_cast<std::uint64_t>(a.added);
            break;
        }
        case SessionAction::Kind::Reading: Record(ap, a.reading); break;
        case SessionAction::Kind::State: {
            std::lock_guard lock(m_mutex);
            if (a.state == SessionState::LoggingIn)
                ++ap.series->connects;
            if (a.state == SessionState::LoggedIn)
                ap.series->loggedIn = true;
            if (a.state == SessionState::Ended)
                ap.series->loggedIn = false;
            break;
        }
        default: break;
        }
        if (a.kind == SessionAction::Kind::State && a.state == SessionState::Ended)
            Ended(ap, a.end);
        break;
    }
    case Kind::Polled: {
        std::lock_guard lock(m_mutex);
        ap.series->pollCommands += static_cast<std::uint64_t>(event.count);
        break;
    }
    case Kind::HostKeyRefused: ap.refusal = event.text; break;
    case Kind::ResolveFailed: Log(ap.cfg.name + ": cannot look up " + ap.cfg.host + ": " + event.text); break;
    case Kind::ConnectFailed:
        if (m_options.verbose)
            Log(ap.cfg.name + ": connect to " + where() + ": " + event.text);
        break;
    case Kind::Note: Log(ap.cfg.name + ": " + event.text); break;
    case Kind::Stale:
        if (m_options.verbose)
            Log(ap.cfg.name + (event.flag ? ": polls unanswered" : ": answers again"));
        break;
    case Kind::Retrying:
        Log(ap.cfg.name + ": " + where() + ": " + ToString(ap.lastEnd) + "; retrying in " +
            std::to_string(event.delay.count()) + " ms");
        break;
    case Kind::Attempt:
    case Kind::HostKeyQuestion:
    case Kind::HostKeyChanged: break; // the refusal is logged when the session ends
    }
}

void Poller::Ended(Ap& ap, SessionEnd why)
{
    ap.lastEnd = why;
    if (why == SessionEnd::HostKeyRefused) {
        {
            std::lock_guard lock(m_mutex);
            ++ap.series->hostKeyRejections;
        }
        ap.rejected = true;
        Log(ap.cfg.name + ": " + ap.refusal);
        Log(ap.cfg.name + ": not retried until SIGHUP re-reads the config");
    } else if (why == SessionEnd::LoginRejected) {
        {
            std::lock_guard lock(m_mutex);
            ++ap.series->loginRejections;
        }
        ap.rejected = true;
        Log(ap.cfg.name + ": " + ap.cfg.host + ":" + std::to_string(ap.cfg.port) + " rejected the login as " +
            ap.cfg.user + "; not retried until SIGHUP re-reads the config");
    }
}

void Poller::Record(Ap& ap, const Reading& reading)
{
    const Reading followed = FollowedStation(reading, ap.cfg.station);
    ap.levels.Update(followed);
    {
        std::lock_guard lock(m_mutex);
        ap.series->levels.Update(followed);
        ap.series->lastReading = reading.at;
        if (ap.cfg.allStations)
            UpdateStations(*ap.series, reading, m_maxAge);
    }
    if (m_config.recordDir.empty() || !followed.any())
        return;
    const std::string time = IsoTime(reading.at);
    const std::string day = time.substr(0, 10);
    if (day != ap.csvDay) {
        ap.csvDay = day;
        ::mkdir(m_config.recordDir.c_str(), 0755);
        std::string error;
        if (!ap.csv.Open(m_config.recordDir + "/" + FileSafeName(ap.cfg.name) + "-" + day + ".csv", error))
            Log(ap.cfg.name + ": not recording today: " + error);
    }
    RecordRow row;
    row.at = reading.at;
    row.host = ap.cfg.host;
    row.noise = followed.noise;
    row.local = followed.local;
    row.remote = followed.remote;
    row.snr = ap.levels.Snr(reading.at, m_maxAge);
    ap.csv.Append(row);
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
    const PollerConfig& next = *r.config;
    if (!next.listen.empty() && next.listen != m_config.listen)
        Log("SIGHUP: a new Listen takes effect at the next start");
    const bool periodChanged = next.pollMs != m_config.pollMs;
    if (next.recordDir != m_config.recordDir) {
        for (auto& [id, ap] : m_aps) {
            ap->csv.Close();
            ap->csvDay.clear();
        }
    }
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
    m_config = next;
    m_config.aps = wanted;
    {
        std::lock_guard lock(m_mutex);
        m_maxAge = FreshFor(Period());
    }
    for (std::size_t i = 0; i < wanted.size(); ++i) {
        if (m_byName.count(wanted[i].name))
            continue;
        Add(wanted[i], Period() * static_cast<long>(i) / static_cast<long>(wanted.size()));
        ++started;
    }
    Log("SIGHUP: config reloaded: " + std::to_string(m_aps.size()) + " access points; " + std::to_string(stopped) +
        " stopped, " + std::to_string(started) + " started");
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
    m_loop.Run(); // ends every session with its farewell before it returns
    m_aps.clear();
    m_byName.clear();
}

std::string Poller::Metrics()
{
    std::vector<ApSeries> copy;
    std::chrono::milliseconds maxAge;
    {
        std::lock_guard lock(m_mutex);
        copy.reserve(m_series.size());
        for (const auto& [name, series] : m_series)
            copy.push_back(series);
        maxAge = m_maxAge;
    }
    return FormatExposition(copy, std::chrono::system_clock::now(), maxAge);
}

} // namespace approbe::poller
