#include "poller.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "csv_record.h"
#include "known_hosts.h"
#include "settings.h"
#include "ssh_link.h"

namespace approbe::poller {
namespace {

constexpr std::uint64_t kSignalId = 1, kLookupId = 2;
constexpr auto kConnectTimeout = std::chrono::seconds(10);
constexpr auto kLoginSilence = std::chrono::seconds(10);
// The dialog receives into a 512-byte buffer and keeps one byte for the terminating zero.
constexpr std::size_t kBlock = 511;
// Blocks taken from one connection per wake-up, so that a flood cannot starve the others.
constexpr int kBlocksPerWake = 8;
// Unsent bytes beyond this mean the access point stopped reading: the session has failed.
constexpr std::size_t kMaxUnsent = 64 * 1024;

// A file name from an access point's name: anything but letters, digits, '.', '-' and '_' becomes '_'.
std::string FileSafe(const std::string& name)
{
    std::string out = name;
    for (char& c : out) {
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '-' && c != '_')
            c = '_';
    }
    return out.empty() || out[0] == '.' ? "_" + out : out;
}

void NotifyLookup(sigval value)
{
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(value.sival_int, &one, sizeof one);
}

} // namespace

// A name lookup in flight (getaddrinfo_a): its request must live until the lookup is done.
struct Poller::Lookup {
    std::string host, port;
    addrinfo hints{};
    gaicb request{};
    gaicb* list[1] = {&request};

    bool Done() const { return ::gai_error(const_cast<gaicb*>(&request)) != EAI_INPROGRESS; }
    ~Lookup()
    {
        if (request.ar_result)
            ::freeaddrinfo(request.ar_result);
    }
};

struct Poller::Ap {
    enum class Phase { Waiting, Resolving, Connecting, Live, Rejected };
    ApConfig cfg;
    std::uint64_t id = 0, seq = 0;
    SessionEngine engine;
    Phase phase = Phase::Waiting;
    int fd = -1;
    bool writeWait = false; // EPOLLOUT is on for the unsent bytes
    bool overflow = false;
    std::string unsent;
    Clock::duration offset{}; // its place in the poll period
    Clock::time_point lastRx;
    int failures = 0;         // in a row, for the back-off
    std::int64_t rxCounted = 0;
    bool stopping = false;
    std::unique_ptr<Lookup> lookup;
    std::unique_ptr<ssh::SshLink> ssh; // ssh:// hosts, from the connection on
    bool sshOpen = false;
    ApSeries* series = nullptr; // in m_series, under m_mutex
    LatestLevels levels;        // the loop's own copy, for the recording's SNR
    CsvFile csv;
    std::string csvDay;
};

std::vector<ApConfig> SelectShard(const std::vector<ApConfig>& aps, const Shard& shard)
{
    std::vector<ApConfig> out;
    std::copy_if(aps.begin(), aps.end(), std::back_inserter(out),
                 [&](const ApConfig& ap) { return InShard(ap.name, shard); });
    return out;
}

Poller::Poller(PollerOptions options, const PollerConfig& config)
    : m_options(std::move(options)), m_config(config), m_maxAge(3 * config.pollMs)
{
    if (!m_options.log)
        m_options.log = [](const std::string& line) { std::fprintf(stderr, "%s\n", line.c_str()); };
    m_epoll = ::epoll_create1(EPOLL_CLOEXEC);
    sigset_t set;
    sigemptyset(&set);
    for (int s : {SIGTERM, SIGINT, SIGHUP})
        sigaddset(&set, s);
    m_signals = ::signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
    m_lookupEvent = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (m_epoll < 0 || m_signals < 0 || m_lookupEvent < 0)
        throw std::runtime_error(std::string("cannot set up the event loop: ") + std::strerror(errno));
    for (auto [fd, id] : {std::pair{m_signals, kSignalId}, std::pair{m_lookupEvent, kLookupId}}) {
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.u64 = id;
        ::epoll_ctl(m_epoll, EPOLL_CTL_ADD, fd, &ev);
    }
    const auto aps = SelectShard(config.aps, m_options.shard);
    for (std::size_t i = 0; i < aps.size(); ++i)
        Add(aps[i], Period() * static_cast<long>(i) / static_cast<long>(aps.size()));
}

Poller::~Poller()
{
    for (auto& [id, ap] : m_aps)
        CloseSocket(*ap);
    for (int fd : {m_epoll, m_signals, m_lookupEvent})
        if (fd >= 0)
            ::close(fd);
}

void Poller::Log(const std::string& line) const { m_options.log(line); }

void Poller::Add(const ApConfig& cfg, Clock::duration offset)
{
    auto ap = std::make_unique<Ap>();
    ap->cfg = cfg;
    ap->id = m_nextId++;
    ap->offset = offset;
    {
        std::lock_guard lock(m_mutex);
        ap->series = &m_series[cfg.name];
        *ap->series = ApSeries{};
        ap->series->name = cfg.name;
    }
    m_byName[cfg.name] = ap->id;
    Ap& ref = *ap;
    m_aps.emplace(ap->id, std::move(ap));
    StartAttempt(ref);
}

void Poller::Remove(std::uint64_t id)
{
    auto it = m_aps.find(id);
    if (it == m_aps.end())
        return;
    Ap& ap = *it->second;
    ap.stopping = true;
    if (ap.engine.live())
        Apply(ap, ap.engine.ReceiveFailed()); // the farewell, then the close
    CloseSocket(ap);
    if (ap.lookup && ::gai_cancel(&ap.lookup->request) == EAI_NOTCANCELED)
        m_abandoned.push_back(std::move(ap.lookup));
    {
        std::lock_guard lock(m_mutex);
        m_series.erase(ap.cfg.name);
    }
    m_byName.erase(ap.cfg.name);
    m_aps.erase(it);
}

void Poller::Schedule(Ap& ap, Clock::time_point at)
{
    m_due.push_back({at, ap.id, ++ap.seq});
    std::push_heap(m_due.begin(), m_due.end(), std::greater<>{});
}

Poller::Clock::time_point Poller::NextSlot(const Ap& ap, Clock::time_point after) const
{
    const auto period = Period();
    const auto since = after - m_base - ap.offset;
    const auto periods = since < Clock::duration::zero() ? 0 : since / period + 1;
    return m_base + ap.offset + period * periods;
}

void Poller::StartAttempt(Ap& ap)
{
    Apply(ap, ap.engine.Begin(IsSshHost(ap.cfg.host)
                                  ? SessionParams::OverTerminal(ap.cfg.host, ap.cfg.user, ap.cfg.password)
                                  : SessionParams{ap.cfg.host, ap.cfg.user, ap.cfg.password}));
    const std::string name = HostName(ap.cfg.host);
    in_addr numeric{};
    if (::inet_pton(AF_INET, name.c_str(), &numeric) == 1)
        return Connect(ap, numeric.s_addr);
    // A name: looked up off the loop, which the eventfd wakes when the answer is in.
    ap.phase = Ap::Phase::Resolving;
    ap.lookup = std::make_unique<Lookup>();
    Lookup& l = *ap.lookup;
    l.host = name;
    l.port = std::to_string(ap.cfg.port);
    l.hints.ai_family = AF_INET;
    l.hints.ai_socktype = SOCK_STREAM;
    l.request.ar_name = l.host.c_str();
    l.request.ar_service = l.port.c_str();
    l.request.ar_request = &l.hints;
    sigevent ev{};
    ev.sigev_notify = SIGEV_THREAD;
    ev.sigev_notify_function = NotifyLookup;
    ev.sigev_value.sival_int = m_lookupEvent;
    if (::getaddrinfo_a(GAI_NOWAIT, l.list, 1, &ev) != 0) {
        ap.lookup.reset();
        Log(ap.cfg.name + ": cannot look up " + ap.cfg.host);
        Apply(ap, ap.engine.StartFailed());
    }
}

void Poller::OnLookups()
{
    std::uint64_t count = 0;
    [[maybe_unused]] const ssize_t n = ::read(m_lookupEvent, &count, sizeof count);
    std::erase_if(m_abandoned, [](const std::unique_ptr<Lookup>& l) { return l->Done(); });
    std::vector<Ap*> done;
    for (auto& [id, ap] : m_aps)
        if (ap->phase == Ap::Phase::Resolving && ap->lookup && ap->lookup->Done())
            done.push_back(ap.get());
    for (Ap* ap : done) {
        const auto lookup = std::move(ap->lookup);
        const addrinfo* result = ::gai_error(&lookup->request) == 0 ? lookup->request.ar_result : nullptr;
        if (!result) {
            Log(ap->cfg.name + ": cannot look up " + ap->cfg.host + ": " + ::gai_strerror(::gai_error(&lookup->request)));
            Apply(*ap, ap->engine.StartFailed());
            continue;
        }
        Connect(*ap, reinterpret_cast<const sockaddr_in*>(result->ai_addr)->sin_addr.s_addr);
    }
}

void Poller::Connect(Ap& ap, std::uint32_t addr)
{
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<std::uint16_t>(ap.cfg.port));
    to.sin_addr.s_addr = addr;
    ap.fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (ap.fd < 0 || (::connect(ap.fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0 && errno != EINPROGRESS)) {
        return ConnectFailed(ap, errno);
    }
    Watch(ap, EPOLL_CTL_ADD, EPOLLOUT);
    ap.phase = Ap::Phase::Connecting;
    Schedule(ap, Clock::now() + kConnectTimeout);
}

void Poller::ConnectDone(Ap& ap)
{
    int error = 0;
    socklen_t len = sizeof error;
    if (::getsockopt(ap.fd, SOL_SOCKET, SO_ERROR, &error, &len) != 0 || error != 0) {
        return ConnectFailed(ap, error);
    }
    Watch(ap, EPOLL_CTL_MOD, EPOLLIN);
    ap.phase = Ap::Phase::Live;
    ap.rxCounted = 0;
    const auto now = Clock::now();
    ap.lastRx = now;
    {
        std::lock_guard lock(m_mutex);
        ++ap.series->connects;
    }
    Apply(ap, ap.engine.Connected());
    Schedule(ap, NextSlot(ap, now));
    if (IsSshHost(ap.cfg.host)) {
        ap.ssh = std::make_unique<ssh::SshLink>(ap.fd, ssh::LinkOptions{HostName(ap.cfg.host), ap.cfg.port, ap.cfg.user,
                                                                       ap.cfg.password});
        ap.sshOpen = false;
        SshAdvance(ap);
    }
}

void Poller::SshAdvance(Ap& ap)
{
    for (;;) {
        switch (ap.ssh->Advance()) {
        case ssh::SshLink::Step::Working: return SshWatch(ap);
        case ssh::SshLink::Step::HostKeyCheck:
            if (!SshHostKey(ap))
                return;
            ap.ssh->TrustHostKey();
            continue;
        case ssh::SshLink::Step::Open:
            ap.sshOpen = true;
            Apply(ap, ap.engine.LoggedInByTransport());
            return SshRead(ap);
        case ssh::SshLink::Step::Rejected: return Apply(ap, ap.engine.LoginRejected());
        case ssh::SshLink::Step::Failed:
            if (m_options.verbose)
                Log(ap.cfg.name + ": SSH: " + ap.ssh->error());
            return Apply(ap, ap.engine.ReceiveFailed());
        }
    }
}

bool Poller::SshHostKey(Ap& ap)
{
    const std::string name = ssh::KnownHostsName(HostName(ap.cfg.host), ap.cfg.port);
    const std::string& type = ap.ssh->keyType();
    const std::string& blob = ap.ssh->keyBlob();
    const ssh::HostKeyVerdict verdict = ssh::CheckHostKey(ssh::ReadKnownHosts(), name, type, blob);
    std::string refusal;
    if (verdict.status == ssh::HostKeyStatus::Known)
        return true;
    if (verdict.status == ssh::HostKeyStatus::Unknown && ap.cfg.acceptNewHostKey) {
        std::string error;
        if (ssh::SaveHostKey(name, type, blob, error)) {
            Log(ap.cfg.name + ": new host key " + type + " " + ssh::Sha256Fingerprint(blob) + " saved in " +
                ssh::AppKnownHostsPath());
            return true;
        }
        refusal = "Host key of " + ap.cfg.host + " not saved, so not trusted: " + error;
    } else if (verdict.status == ssh::HostKeyStatus::Unknown) {
        refusal = "Host key of " + ap.cfg.host + " (" + type + " " + ssh::Sha256Fingerprint(blob) +
                  ") is unknown: refused; add it to " + ssh::AppKnownHostsPath() + " or set HostKey=accept-new";
    } else {
        refusal = ssh::RefusalText(ap.cfg.host, verdict);
    }
    Log(ap.cfg.name + ": " + refusal);
    {
        std::lock_guard lock(m_mutex);
        ++ap.series->hostKeyRejections;
    }
    Apply(ap, ap.engine.HostKeyRefused(refusal));
    return false;
}

void Poller::SshRead(Ap& ap)
{
    std::string data;
    const ssh::SshLink::ReadResult read = ap.ssh->Read(data);
    if (!data.empty())
        Apply(ap, ap.engine.Received(data, std::chrono::system_clock::now()));
    if (read == ssh::SshLink::ReadResult::Ended)
        Apply(ap, ap.engine.PeerClosed());
    else if (read == ssh::SshLink::ReadResult::Failed)
        Apply(ap, ap.engine.ReceiveFailed());
    if (ap.ssh)
        SshWatch(ap);
}

void Poller::SshWatch(Ap& ap)
{
    // Writability only while libssh holds output: asked for always, it would wake the loop non-stop.
    const bool wantWrite = ap.ssh->WantsWrite();
    if (ap.fd >= 0 && wantWrite != ap.writeWait)
        Watch(ap, EPOLL_CTL_MOD, EPOLLIN | (wantWrite ? EPOLLOUT : 0u));
}

void Poller::CloseSocket(Ap& ap)
{
    if (ap.ssh) {
        ap.ssh->Close();
        ap.ssh.reset();
        ap.sshOpen = false;
    }
    if (ap.fd >= 0) {
        // Out of the epoll set first: closing takes it out only when no duplicate is left open.
        ::epoll_ctl(m_epoll, EPOLL_CTL_DEL, ap.fd, nullptr);
        ::close(ap.fd);
    }
    ap.fd = -1;
    ap.unsent.clear();
    ap.writeWait = false;
    ap.overflow = false;
}

void Poller::Write(Ap& ap, const std::string& bytes)
{
    if (ap.fd < 0)
        return;
    if (ap.ssh) {
        if (ap.sshOpen && !ap.ssh->Write(bytes))
            ap.overflow = true; // the link failed: the session ends as after a failed send
        return SshWatch(ap);
    }
    ap.unsent += bytes;
    Flush(ap);
}

void Poller::Flush(Ap& ap)
{
    while (!ap.unsent.empty()) {
        const ssize_t n = ::send(ap.fd, ap.unsent.data(), ap.unsent.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            ap.unsent.erase(0, static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
            ap.unsent.clear(); // the receive side learns of the failure
        break;
    }
    ap.overflow = ap.unsent.size() > kMaxUnsent;
    if (ap.unsent.empty() != !ap.writeWait || ap.fd < 0)
        return;
    Watch(ap, EPOLL_CTL_MOD, EPOLLIN | (ap.unsent.empty() ? 0u : EPOLLOUT));
}

void Poller::Watch(Ap& ap, int op, std::uint32_t events)
{
    epoll_event ev{};
    ev.events = events;
    ev.data.u64 = ap.id;
    ::epoll_ctl(m_epoll, op, ap.fd, &ev);
    ap.writeWait = (events & EPOLLOUT) != 0;
}

void Poller::ConnectFailed(Ap& ap, int error)
{
    if (m_options.verbose)
        Log(ap.cfg.name + ": connect to " + ap.cfg.host + ":" + std::to_string(ap.cfg.port) + ": " + std::strerror(error));
    CloseSocket(ap);
    Apply(ap, ap.engine.StartFailed());
}

void Poller::Apply(Ap& ap, const SessionActions& actions)
{
    for (const SessionAction& a : actions) {
        switch (a.kind) {
        case SessionAction::Kind::Send: Write(ap, a.text); break;
        case SessionAction::Kind::Close: CloseSocket(ap); break;
        case SessionAction::Kind::Status:
        case SessionAction::Kind::Log:
            if (m_options.verbose)
                Log(ap.cfg.name + ": " + a.text);
            break;
        case SessionAction::Kind::RxTotal: {
            std::lock_guard lock(m_mutex);
            ap.series->receivedBytes += static_cast<std::uint64_t>(a.count - ap.rxCounted);
            ap.rxCounted = a.count;
            break;
        }
        case SessionAction::Kind::Reading: Record(ap, a.reading); break;
        case SessionAction::Kind::State:
            if (a.state == SessionState::LoggedIn) {
                std::lock_guard lock(m_mutex);
                ap.series->loggedIn = true;
            } else if (a.state == SessionState::Ended) {
                Ended(ap, a.end);
            }
            break;
        default: break; // the dialog's window, timer and layer: nothing to do here
        }
    }
}

void Poller::Ended(Ap& ap, SessionEnd why)
{
    CloseSocket(ap);
    {
        std::lock_guard lock(m_mutex);
        ap.series->loggedIn = false;
        if (why == SessionEnd::LoginRejected)
            ++ap.series->loginRejections;
    }
    if (ap.stopping)
        return;
    const std::string where = ap.cfg.host + ":" + std::to_string(ap.cfg.port);
    if (why == SessionEnd::HostKeyRefused) {
        ap.phase = Ap::Phase::Rejected;
        Log(ap.cfg.name + ": not retried until SIGHUP re-reads the config");
        return;
    }
    if (why == SessionEnd::LoginRejected) {
        ap.phase = Ap::Phase::Rejected;
        Log(ap.cfg.name + ": " + where + " rejected the login as " + ap.cfg.user +
            "; not retried until SIGHUP re-reads the config");
        return;
    }
    ++ap.failures;
    const auto delay = BackoffDelay(ap.failures, std::uniform_real_distribution<double>(0, 1)(m_random));
    ap.phase = Ap::Phase::Waiting;
    Schedule(ap, Clock::now() + delay);
    Log(ap.cfg.name + ": " + where + ": " + ToString(why) + "; retrying in " +
        std::to_string(delay.count()) + " ms");
}

void Poller::Record(Ap& ap, const Reading& reading)
{
    ap.failures = 0; // a reading: the session works, the next failure starts the back-off afresh
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
        if (!ap.csv.Open(m_config.recordDir + "/" + FileSafe(ap.cfg.name) + "-" + day + ".csv", error))
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

void Poller::OnDue(Ap& ap, Clock::time_point now)
{
    switch (ap.phase) {
    case Ap::Phase::Waiting: return StartAttempt(ap);
    case Ap::Phase::Connecting:
        if (m_options.verbose)
            Log(ap.cfg.name + ": connect timed out");
        CloseSocket(ap);
        return Apply(ap, ap.engine.StartFailed());
    case Ap::Phase::Live: {
        // A login program takes seconds over a wrong password: until the session polls, only
        // a longer silence counts.
        const Clock::duration silence =
            ap.engine.polling() ? 3 * Period() : std::max<Clock::duration>(3 * Period(), kLoginSilence);
        if (now - ap.lastRx >= silence)
            return Apply(ap, ap.engine.TimedOut());
        const SessionActions poll = ap.engine.Tick();
        if (!poll.empty()) {
            std::lock_guard lock(m_mutex);
            ap.series->pollCommands += 2; // get station, get nf
        }
        Apply(ap, poll);
        if (ap.overflow)
            Apply(ap, ap.engine.ReceiveFailed());
        if (ap.phase == Ap::Phase::Live && ap.engine.live())
            Schedule(ap, NextSlot(ap, now));
        return;
    }
    default: return;
    }
}

void Poller::OnEvent(Ap& ap, std::uint32_t events)
{
    if (ap.phase == Ap::Phase::Connecting)
        return ConnectDone(ap);
    if (ap.phase != Ap::Phase::Live || ap.fd < 0)
        return;
    if (ap.ssh) {
        if (events & (EPOLLIN | EPOLLHUP | EPOLLERR))
            ap.lastRx = Clock::now();
        if (events & EPOLLOUT)
            ap.ssh->FlushOutput();
        if (!ap.sshOpen)
            return SshAdvance(ap);
        return SshRead(ap);
    }
    if (events & EPOLLOUT)
        Flush(ap);
    if (!(events & (EPOLLIN | EPOLLHUP | EPOLLERR)))
        return;
    char buf[kBlock];
    for (int i = 0; i < kBlocksPerWake && ap.fd >= 0; ++i) {
        const ssize_t n = ::recv(ap.fd, buf, sizeof buf, 0);
        if (n > 0) {
            ap.lastRx = Clock::now();
            Apply(ap, ap.engine.Received(std::string_view(buf, static_cast<std::size_t>(n)), std::chrono::system_clock::now()));
            if (ap.overflow)
                Apply(ap, ap.engine.ReceiveFailed());
            continue;
        }
        if (n == 0)
            Apply(ap, ap.engine.PeerClosed());
        else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
            Apply(ap, ap.engine.ReceiveFailed());
        break;
    }
}

void Poller::Reload()
{
    ConfigResult r = LoadConfig(m_options.configPath);
    if (!r.config) {
        Log("SIGHUP: config not reloaded: " + r.error);
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
        if (found == byName.end() || periodChanged || !found->second->SameSession(ap.cfg) || ap.phase == Ap::Phase::Rejected) {
            Remove(id);
            ++stopped;
        }
    }
    m_config = next;
    m_config.aps = wanted;
    {
        std::lock_guard lock(m_mutex);
        m_maxAge = std::chrono::milliseconds(3 * m_config.pollMs);
    }
    for (std::size_t i = 0; i < wanted.size(); ++i) {
        if (m_byName.count(wanted[i].name))
            continue;
        Add(wanted[i], Period() * static_cast<long>(i) / static_cast<long>(wanted.size()));
        ++started;
    }
    Log("SIGHUP: config reloaded: " + std::to_string(m_aps.size()) + " access points; " + std::to_string(stopped) +
        " stopped, " + std::to_string(started) + " started");
}

void Poller::Run()
{
    epoll_event events[256];
    while (!m_stop) {
        int timeout = -1;
        if (!m_due.empty()) {
            const auto left = m_due.front().at - Clock::now();
            // Rounded up: waking a little early would only spin until the due time.
            timeout = static_cast<int>(std::clamp<long long>(
                std::chrono::ceil<std::chrono::milliseconds>(left).count(), 0, 60000));
        }
        const int n = ::epoll_wait(m_epoll, events, 256, timeout);
        if (n < 0 && errno != EINTR)
            throw std::runtime_error(std::string("epoll_wait: ") + std::strerror(errno));
        for (int i = 0; i < n; ++i) {
            const std::uint64_t id = events[i].data.u64;
            if (id == kSignalId) {
                signalfd_siginfo info{};
                while (::read(m_signals, &info, sizeof info) == sizeof info) {
                    if (info.ssi_signo == SIGHUP)
                        Reload();
                    else
                        m_stop = true;
                }
            } else if (id == kLookupId) {
                OnLookups();
            } else if (auto it = m_aps.find(id); it != m_aps.end()) {
                OnEvent(*it->second, events[i].events);
            }
        }
        const auto now = Clock::now();
        while (!m_stop && !m_due.empty() && m_due.front().at <= now) {
            std::pop_heap(m_due.begin(), m_due.end(), std::greater<>{});
            const Due due = m_due.back();
            m_due.pop_back();
            const auto it = m_aps.find(due.id);
            if (it != m_aps.end() && it->second->seq == due.seq)
                OnDue(*it->second, now);
        }
    }
    // Every session ends with its farewell.
    while (!m_byName.empty())
        Remove(m_byName.begin()->second);
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
