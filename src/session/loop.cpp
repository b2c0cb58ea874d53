#include "loop.h"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <thread>
#include <utility>

#include "host.h"

namespace approbe::session {
namespace {

// epoll keys: sessions by id; the rest tagged in the top bits.
constexpr std::uint64_t kWakeupKey = 0;
constexpr std::uint64_t kWatchedTag = std::uint64_t{1} << 62;
constexpr std::uint64_t kDrainTag = std::uint64_t{1} << 61;
// Blocks taken from one connection per wake-up, so that a flood cannot starve the others.
constexpr int kBlocksPerWake = 8;
// Unsent bytes beyond this mean the access point stopped reading: the session has failed.
constexpr std::size_t kMaxUnsent = 64 * 1024;
// With a due time this close, the loop sleeps until it and then takes whatever I/O is ready, in
// one wake-up: many sessions polled a millisecond apart would otherwise wake it twice a poll (the
// timer, then the reply), and the reply would often be read while its second half is still being
// written. A reply waits at most this long.
constexpr auto kGatherBefore = std::chrono::milliseconds(1);

std::string ErrorText(int error) { return std::strerror(error); }

} // namespace

milliseconds RetryPolicy::Delay(int failures, bool linkLost, double unit) const
{
    if (linkLost)
        return afterSilence;
    const int doublings = std::clamp(failures - 1, 0, 20);
    milliseconds whole = first;
    for (int i = 0; i < doublings && whole < max; ++i)
        whole *= 2;
    whole = std::min(whole, max);
    if (!jitter)
        return whole;
    unit = std::clamp(unit, 0.0, 1.0);
    return milliseconds(whole.count() / 2 + static_cast<long long>(static_cast<double>(whole.count()) / 2 * unit));
}

// The loop's eventfd: posted commands and finished name lookups wake it. A lookup's thread holds
// it too, so the descriptor stays open until the last lookup has told it, even after the loop.
struct SessionLoop::Wakeup {
    int fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    ~Wakeup()
    {
        if (fd >= 0)
            ::close(fd);
    }
    static void Notify(int fd)
    {
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = ::write(fd, &one, sizeof one);
    }
};

// A name lookup on a thread of its own (the resolver blocks, for seconds when a name server
// does not answer). The session lets go of it when it no longer waits; the thread finishes alone.
struct SessionLoop::Lookup {
    std::mutex mutex;
    bool done = false; // under mutex, like the results
    int error = 0;
    std::vector<sockaddr_storage> addresses;
    std::vector<socklen_t> lengths;

    bool Done()
    {
        std::lock_guard lock(mutex);
        return done;
    }
    static void Run(std::shared_ptr<Lookup> lookup, std::shared_ptr<Wakeup> wakeup, std::string name,
                    std::string port)
    {
        addrinfo hints{};
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_STREAM;
        // No AI_ADDRCONFIG: it hides ::1 where only loopback has IPv6, and an address that cannot
        // be reached fails at once and the next is tried.
        hints.ai_flags = AI_NUMERICSERV;
        addrinfo* result = nullptr;
        const int error = ::getaddrinfo(name.c_str(), port.c_str(), &hints, &result);
        {
            std::lock_guard lock(lookup->mutex);
            lookup->error = error;
            for (const addrinfo* a = error == 0 ? result : nullptr; a; a = a->ai_next) {
                sockaddr_storage address{};
                std::memcpy(&address, a->ai_addr, a->ai_addrlen);
                lookup->addresses.push_back(address);
                lookup->lengths.push_back(a->ai_addrlen);
            }
            lookup->done = true;
        }
        if (result)
            ::freeaddrinfo(result);
        Wakeup::Notify(wakeup->fd);
    }
};

struct SessionLoop::Drain {
    int fd = -1;
    std::string unsent;
    bool shut = false;
    Clock::time_point shutAt, deadline;
};

struct SessionLoop::Session {
    enum class Phase { Ended, Waiting, Resolving, Connecting, Asking, Live };
    SessionId id = 0;
    SessionSetup setup;
    HostText host;
    int port = 0;
    SessionEngine engine;
    Phase phase = Phase::Ended;
    int fd = -1;
    bool writeWait = false, overflow = false, writeShut = false, peerClosed = false;
    std::string unsent;
    std::shared_ptr<Lookup> lookup;
    std::vector<sockaddr_storage> addresses;
    std::vector<socklen_t> addressLengths;
    std::size_t nextAddress = 0;
    int lastConnectError = 0;
    std::unique_ptr<ISshLink> ssh;
    bool sshOpen = false;
    Clock::time_point deadline{};      // of the phase: connect, login, Disconnect's grace, the retry
    Clock::time_point nextPoll{};
    std::optional<Clock::time_point> unansweredSince; // the first poll since the last byte came
    bool stale = false;
    bool linkLost = false; // the last attempt ended because the link went quiet
    int failures = 0;
    std::int64_t attempts = 0;
    std::uint64_t seq = 0;
    Clock::time_point dueAt = Clock::time_point::min(); // of its entry in the due heap; min: none
    bool removing = false;

    bool ssh_() const { return host.transport == Transport::Ssh; }
};

SessionLoop::SessionLoop(ISessionEvents& events, Deadlines deadlines, SshModuleSource ssh)
    : m_events(events), m_deadlines(deadlines), m_sshSource(ssh), m_wakeup(std::make_shared<Wakeup>())
{
    m_epoll = ::epoll_create1(EPOLL_CLOEXEC);
    if (m_epoll < 0 || m_wakeup->fd < 0)
        throw std::runtime_error("cannot set up the session loop: " + ErrorText(errno));
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = kWakeupKey;
    ::epoll_ctl(m_epoll, EPOLL_CTL_ADD, m_wakeup->fd, &ev);
}

SessionLoop::~SessionLoop()
{
    for (auto& [id, s] : m_sessions)
        Release(*s);
    for (auto& [key, d] : m_drains)
        ::close(d->fd);
    ::close(m_epoll);
}

void SessionLoop::Emit(Session& s, SessionEvent event) { m_events.OnSessionEvent(s.id, event); }

void SessionLoop::EmitAction(Session& s, SessionAction&& action)
{
    SessionEvent event;
    event.action = std::move(action);
    Emit(s, std::move(event));
}

SessionId SessionLoop::Add(SessionSetup setup)
{
    auto s = std::make_unique<Session>();
    s->id = m_nextId++;
    s->setup = std::move(setup);
    s->host = ParseHostText(s->setup.host);
    s->port = s->setup.port > 0 ? s->setup.port : DefaultPort(s->host.transport);
    Session& ref = *s;
    m_sessions.emplace(ref.id, std::move(s));
    // The first attempt starts on the loop's next turn: the caller knows the id before any event.
    ref.phase = Session::Phase::Waiting;
    ref.deadline = Clock::now();
    Schedule(ref);
    return ref.id;
}

void SessionLoop::Remove(SessionId id)
{
    const auto it = m_sessions.find(id);
    if (it == m_sessions.end())
        return;
    Session& s = *it->second;
    s.removing = true;
    if (s.engine.live())
        Apply(s, s.engine.ReceiveFailed()); // the farewell, then the close
    else if (s.engine.state() == SessionState::Starting)
        Apply(s, s.engine.StartFailed());
    Release(s);
    m_sessions.erase(it); // a lookup still running finishes alone
}

void SessionLoop::Restart(SessionId id)
{
    const auto it = m_sessions.find(id);
    if (it == m_sessions.end())
        return;
    Session& s = *it->second;
    if (s.phase != Session::Phase::Ended && s.phase != Session::Phase::Waiting)
        return;
    s.failures = 0;
    s.linkLost = false;
    s.attempts = 0;
    StartAttempt(s);
}

void SessionLoop::SetPolling(SessionId id, bool on)
{
    const auto it = m_sessions.find(id);
    if (it == m_sessions.end())
        return;
    it->second->engine.SetPolling(on);
    if (!on)
        it->second->unansweredSince.reset(); // a paused session is quiet, not silent
}

void SessionLoop::PollNow(SessionId id)
{
    const auto it = m_sessions.find(id);
    if (it == m_sessions.end() || it->second->phase != Session::Phase::Live)
        return;
    Session& s = *it->second;
    SessionActions actions = s.engine.Tick();
    const bool polled = std::any_of(actions.begin(), actions.end(),
                                    [](const SessionAction& a) { return a.kind == SessionAction::Kind::Send; });
    if (polled && !s.unansweredSince)
        s.unansweredSince = Clock::now();
    Apply(s, std::move(actions));
    if (polled && s.phase == Session::Phase::Live) {
        SessionEvent event;
        event.kind = SessionEvent::Kind::Polled;
        Emit(s, std::move(event));
    }
    if (s.overflow && s.engine.live())
        Apply(s, s.engine.ReceiveFailed());
}

void SessionLoop::Disconnect(SessionId id)
{
    const auto it = m_sessions.find(id);
    if (it == m_sessions.end())
        return;
    Session& s = *it->second;
    if (s.phase == Session::Phase::Waiting) {
        // Between attempts no session runs: the next one is called off. The first has only not
        // begun yet, and goes on as a Disconnect while connecting would.
        if (s.attempts > 0)
            s.phase = Session::Phase::Ended;
        return;
    }
    if (s.phase == Session::Phase::Asking) {
        Apply(s, s.engine.Disconnect(true));
        Apply(s, s.engine.HostKeyRefused("Host key of " + s.setup.host + " not trusted"));
        return;
    }
    if (s.phase != Session::Phase::Live) {
        Apply(s, s.engine.Disconnect(false)); // not connected yet: nothing to shut
        return;
    }
    if (s.ssh) {
        // A shell on a terminal takes no end of input as its end: nothing is waited for.
        Apply(s, s.engine.Disconnect(true));
        Apply(s, s.engine.TimedOut());
        return;
    }
    Flush(s);
    s.writeShut = ::shutdown(s.fd, SHUT_WR) == 0;
    Apply(s, s.engine.Disconnect(s.writeShut));
    if (s.engine.state() == SessionState::Closing) {
        s.deadline = Clock::now() + m_deadlines.disconnectGrace;
        Schedule(s);
    }
}

void SessionLoop::AnswerHostKey(SessionId id, HostKeyAnswer answer)
{
    const auto it = m_sessions.find(id);
    if (it != m_sessions.end() && it->second->phase == Session::Phase::Asking)
        SshHostKeyAnswered(*it->second, answer);
}

void SessionLoop::SetRetry(SessionId id, const RetryPolicy& retry)
{
    const auto it = m_sessions.find(id);
    if (it == m_sessions.end())
        return;
    Session& s = *it->second;
    s.setup.retry = retry;
    if (!retry.enabled && s.phase == Session::Phase::Waiting)
        s.phase = Session::Phase::Ended;
}

void SessionLoop::Post(std::function<void()> f)
{
    {
        std::lock_guard lock(m_postMutex);
        m_posted.push_back(std::move(f));
    }
    Wakeup::Notify(m_wakeup->fd);
}

void SessionLoop::Stop()
{
    Post([this] { m_stop = true; });
}

void SessionLoop::Watch(int fd, std::function<void()> onReadable)
{
    m_watched[fd] = std::move(onReadable);
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = kWatchedTag | static_cast<std::uint32_t>(fd);
    ::epoll_ctl(m_epoll, EPOLL_CTL_ADD, fd, &ev);
}

void SessionLoop::Schedule(Session& s)
{
    Clock::time_point at = Clock::time_point::max();
    switch (s.phase) {
    case Session::Phase::Waiting:
    case Session::Phase::Resolving:
    case Session::Phase::Connecting: at = s.deadline; break;
    case Session::Phase::Live:
        if (s.engine.state() != SessionState::LoggedIn)
            at = s.deadline; // the login's deadline, or Disconnect's grace
        if (s.setup.pollPeriod.count() > 0)
            at = std::min(at, s.nextPoll);
        if (s.unansweredSince)
            at = std::min(at, *s.unansweredSince + SilentAfter(s));
        break;
    default: return;
    }
    if (at == Clock::time_point::max() || at == s.dueAt)
        return; // nothing due, or already due then: most events leave the next poll where it was
    s.dueAt = at;
    m_due.push_back({at, s.id, ++s.seq});
    std::push_heap(m_due.begin(), m_due.end(), std::greater<>{});
}

Clock::time_point SessionLoop::NextPoll(const Session& s, Clock::time_point after) const
{
    const Clock::duration period = s.setup.pollPeriod;
    const auto since = after - m_base - s.setup.pollOffset;
    const auto periods = since < Clock::duration::zero() ? 0 : since / period + 1;
    return m_base + s.setup.pollOffset + period * periods;
}

void SessionLoop::StartAttempt(Session& s)
{
    Release(s);
    SessionEvent attempt;
    attempt.kind = SessionEvent::Kind::Attempt;
    attempt.count = s.attempts++;
    Emit(s, std::move(attempt));
    Apply(s, s.engine.Begin(s.ssh_() ? SessionParams::OverTerminal(s.setup.host, s.setup.user, s.setup.password)
                                     : SessionParams{s.setup.host, s.setup.user, s.setup.password}));
    s.stale = false;
    s.unansweredSince.reset();
    s.addresses.clear();
    s.addressLengths.clear();
    s.nextAddress = 0;
    s.lastConnectError = 0;
    s.deadline = Clock::now() + (s.linkLost ? m_deadlines.retryConnect : m_deadlines.connect);
    s.phase = Session::Phase::Resolving;

    const std::string port = std::to_string(s.port);
    // A numeric address needs no resolver: taken at once, scope and all.
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
    addrinfo* numeric = nullptr;
    if (!s.host.name.empty() && ::getaddrinfo(s.host.name.c_str(), port.c_str(), &hints, &numeric) == 0) {
        for (const addrinfo* a = numeric; a; a = a->ai_next) {
            sockaddr_storage address{};
            std::memcpy(&address, a->ai_addr, a->ai_addrlen);
            s.addresses.push_back(address);
            s.addressLengths.push_back(a->ai_addrlen);
        }
        ::freeaddrinfo(numeric);
        return ConnectNext(s);
    }
    // A name: looked up off the loop, which the wake-up tells when the answer is in.
    if (s.host.name.empty()) {
        SessionEvent failed;
        failed.kind = SessionEvent::Kind::ResolveFailed;
        failed.text = "no host given";
        Emit(s, std::move(failed));
        Apply(s, s.engine.StartFailed());
        return;
    }
    s.lookup = std::make_shared<Lookup>();
    std::thread(Lookup::Run, s.lookup, m_wakeup, s.host.name, port).detach();
    Schedule(s);
}

void SessionLoop::OnLookup(Session& s)
{
    const auto lookup = std::move(s.lookup);
    int error = 0;
    {
        std::lock_guard lock(lookup->mutex);
        error = lookup->addresses.empty() ? (lookup->error ? lookup->error : EAI_NONAME) : 0;
        s.addresses = lookup->addresses;
        s.addressLengths = lookup->lengths;
    }
    if (error) {
        SessionEvent failed;
        failed.kind = SessionEvent::Kind::ResolveFailed;
        failed.text = ::gai_strerror(error);
        Emit(s, std::move(failed));
        Apply(s, s.engine.StartFailed());
        return;
    }
    ConnectNext(s);
}

void SessionLoop::ConnectNext(Session& s)
{
    while (s.nextAddress < s.addresses.size()) {
        const std::size_t i = s.nextAddress++;
        const auto* to = reinterpret_cast<const sockaddr*>(&s.addresses[i]);
        s.fd = ::socket(to->sa_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        // A step's few bytes must leave at once, not wait for the last segment's acknowledgement.
        const int one = 1;
        if (s.fd >= 0)
            ::setsockopt(s.fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        if (s.fd >= 0 && (::connect(s.fd, to, s.addressLengths[i]) == 0 || errno == EINPROGRESS)) {
            s.phase = Session::Phase::Connecting;
            Watch(s, EPOLLOUT);
            Schedule(s);
            return;
        }
        s.lastConnectError = errno;
        if (s.fd >= 0)
            ::close(s.fd);
        s.fd = -1;
    }
    ConnectFailed(s, s.lastConnectError ? ErrorText(s.lastConnectError) : "no address", false);
}

void SessionLoop::ConnectDone(Session& s)
{
    int error = 0;
    socklen_t len = sizeof error;
    if (::getsockopt(s.fd, SOL_SOCKET, SO_ERROR, &error, &len) != 0 || error != 0) {
        s.lastConnectError = error ? error : errno;
        Release(s);
        return ConnectNext(s); // the next address, within the same deadline
    }
    const auto now = Clock::now();
    s.phase = Session::Phase::Live;
    s.linkLost = false;
    s.writeShut = s.peerClosed = false;
    Watch(s, EPOLLIN);
    s.deadline = now + m_deadlines.login;
    if (s.setup.pollPeriod.count() > 0)
        s.nextPoll = NextPoll(s, now);
    Apply(s, s.engine.Connected());
    if (s.ssh_() && s.phase == Session::Phase::Live)
        SshStart(s);
    if (s.phase == Session::Phase::Live)
        Schedule(s);
}

void SessionLoop::ConnectFailed(Session& s, const std::string& why, bool timedOut)
{
    Release(s);
    if (timedOut)
        s.linkLost = true;
    SessionEvent failed;
    failed.kind = SessionEvent::Kind::ConnectFailed;
    failed.text = why;
    failed.flag = timedOut;
    Emit(s, std::move(failed));
    Apply(s, s.engine.StartFailed());
}

// The first SSH session loads SSH. Without it the session ends as one whose link failed.
void SessionLoop::SshStart(Session& s)
{
    std::string error;
    if (!m_ssh && !(m_ssh = m_sshSource(error))) {
        SessionEvent note;
        note.kind = SessionEvent::Kind::Note;
        note.text = "SSH: " + error;
        Emit(s, std::move(note));
        Release(s); // the telnet farewell is no SSH server's business
        return Apply(s, s.engine.ReceiveFailed());
    }
    s.ssh = m_ssh->NewLink(s.fd, {s.host.name, s.port, s.setup.user, s.setup.password});
    s.sshOpen = false;
    SshAdvance(s);
}

void SessionLoop::SshAdvance(Session& s)
{
    for (;;) {
        switch (s.ssh->Advance()) {
        case ISshLink::Step::Working:
            Watch(s, EPOLLIN | (s.ssh->WantsWrite() ? EPOLLOUT : 0u));
            return;
        case ISshLink::Step::HostKeyCheck:
            if (!SshHostKey(s))
                return;
            s.ssh->TrustHostKey();
            continue;
        case ISshLink::Step::Open:
            s.sshOpen = true;
            Apply(s, s.engine.LoggedInByTransport());
            return SshRead(s);
        case ISshLink::Step::Rejected: return Apply(s, s.engine.LoginRejected());
        case ISshLink::Step::Failed: {
            SessionEvent note;
            note.kind = SessionEvent::Kind::Note;
            note.text = "SSH: " + s.ssh->error();
            Emit(s, std::move(note));
            return Apply(s, s.engine.ReceiveFailed());
        }
        }
    }
}

bool SessionLoop::SshHostKey(Session& s)
{
    const std::string name = m_ssh->KnownHostsName(s.host.name, s.port);
    const std::string& type = s.ssh->keyType();
    const std::string& blob = s.ssh->keyBlob();
    const HostKeyVerdict verdict = m_ssh->CheckHostKey(name, type, blob);
    if (verdict.status == HostKeyStatus::Known)
        return true;
    std::string refusal;
    if (verdict.status != HostKeyStatus::Unknown) {
        refusal = m_ssh->RefusalText(s.setup.host, verdict);
        if (verdict.status != HostKeyStatus::Revoked) {
            SessionEvent changed;
            changed.kind = SessionEvent::Kind::HostKeyChanged;
            changed.warning = {s.setup.host, s.port, type, m_ssh->Sha256Fingerprint(blob), verdict.knownFingerprint,
                               verdict.path, verdict.line, verdict.status == HostKeyStatus::OtherType};
            Emit(s, std::move(changed));
        }
    } else if (s.setup.hostKeys == HostKeyPolicy::Ask) {
        // The user may take as long as they like; Disconnect and closing call the question off.
        s.phase = Session::Phase::Asking;
        Watch(s, 0);
        SessionEvent ask;
        ask.kind = SessionEvent::Kind::HostKeyQuestion;
        ask.question = {s.host.name, s.port, type, m_ssh->Sha256Fingerprint(blob)};
        Emit(s, std::move(ask));
        return false;
    } else if (s.setup.hostKeys == HostKeyPolicy::AcceptNew) {
        std::string error;
        if (m_ssh->SaveHostKey(name, type, blob, error)) {
            SessionEvent note;
            note.kind = SessionEvent::Kind::Note;
            note.text = "new host key " + type + " " + m_ssh->Sha256Fingerprint(blob) + " saved in " +
                        m_ssh->AppKnownHostsPath();
            Emit(s, std::move(note));
            return true;
        }
        refusal = "Host key of " + s.setup.host + " not saved, so not trusted: " + error;
    } else {
        refusal = "Host key of " + s.setup.host + " (" + type + " " + m_ssh->Sha256Fingerprint(blob) +
                  ") is unknown: refused; add it to " + m_ssh->AppKnownHostsPath() + " or set HostKey=accept-new";
    }
    Apply(s, s.engine.HostKeyRefused(refusal));
    return false;
}

void SessionLoop::SshHostKeyAnswered(Session& s, HostKeyAnswer answer)
{
    s.phase = Session::Phase::Live;
    if (answer == HostKeyAnswer::Cancel) {
        Apply(s, s.engine.HostKeyRefused("Host key of " + s.setup.host + " not trusted"));
        return;
    }
    if (answer == HostKeyAnswer::TrustAndSave) {
        std::string error;
        SessionEvent note;
        note.kind = SessionEvent::Kind::Note;
        const std::string name = m_ssh->KnownHostsName(s.host.name, s.port);
        note.text = m_ssh->SaveHostKey(name, s.ssh->keyType(), s.ssh->keyBlob(), error)
                        ? "Host key of " + s.setup.host + " saved in " + m_ssh->AppKnownHostsPath()
                        : "Host key not saved: " + error;
        Emit(s, std::move(note));
    }
    s.ssh->TrustHostKey();
    SshAdvance(s);
    if (s.phase == Session::Phase::Live)
        Schedule(s);
}

void SessionLoop::SshRead(Session& s)
{
    std::string data;
    const ISshLink::ReadResult read = s.ssh->Read(data);
    if (!data.empty())
        Received(s, data);
    if (!s.ssh)
        return;
    if (read == ISshLink::ReadResult::Ended)
        Apply(s, s.engine.PeerClosed());
    else if (read == ISshLink::ReadResult::Failed)
        Apply(s, s.engine.ReceiveFailed());
    if (s.ssh && s.fd >= 0)
        Watch(s, EPOLLIN | (s.ssh->WantsWrite() ? EPOLLOUT : 0u));
}

void SessionLoop::Received(Session& s, std::string_view bytes)
{
    s.unansweredSince.reset();
    if (s.stale) {
        s.stale = false;
        SessionEvent live;
        live.kind = SessionEvent::Kind::Stale;
        live.flag = false;
        Emit(s, std::move(live));
    }
    Apply(s, s.engine.Received(bytes, std::chrono::system_clock::now()));
    if (s.overflow && s.engine.live())
        Apply(s, s.engine.ReceiveFailed());
}

void SessionLoop::ReadTelnet(Session& s)
{
    char buf[SessionEngine::kMaxBlock]; // as the dialog always received: one block at a time
    for (int i = 0; i < kBlocksPerWake && s.fd >= 0 && s.phase == Session::Phase::Live; ++i) {
        const ssize_t n = ::recv(s.fd, buf, sizeof buf, MSG_DONTWAIT);
        if (n > 0) {
            Received(s, std::string_view(buf, static_cast<std::size_t>(n)));
            // A short read emptied the socket: epoll tells of more, and a read to hear EAGAIN
            // would cost a system call per reply.
            if (static_cast<std::size_t>(n) < sizeof buf)
                break;
            continue;
        }
        if (n == 0) {
            s.peerClosed = true;
            Apply(s, s.engine.PeerClosed());
        } else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            Apply(s, s.engine.ReceiveFailed());
        }
        break;
    }
}

void SessionLoop::OnEvent(Session& s, std::uint32_t events)
{
    switch (s.phase) {
    case Session::Phase::Connecting: return ConnectDone(s);
    case Session::Phase::Asking:
        if (events & (EPOLLHUP | EPOLLERR))
            Apply(s, s.engine.ReceiveFailed()); // gone while the user was deciding
        return;
    case Session::Phase::Live: break;
    default: return;
    }
    if (s.fd < 0)
        return;
    if (s.ssh) {
        if (events & EPOLLOUT)
            s.ssh->FlushOutput();
        if (!s.sshOpen)
            SshAdvance(s);
        else
            SshRead(s);
    } else {
        if (events & EPOLLOUT)
            Flush(s);
        if (events & (EPOLLIN | EPOLLHUP | EPOLLERR))
            ReadTelnet(s);
    }
    if (s.phase == Session::Phase::Live && s.engine.live())
        Schedule(s);
}

void SessionLoop::OnDue(Session& s, Clock::time_point now)
{
    switch (s.phase) {
    case Session::Phase::Waiting:
        if (now >= s.deadline)
            StartAttempt(s);
        return;
    case Session::Phase::Resolving:
    case Session::Phase::Connecting:
        if (now >= s.deadline) {
            s.lookup.reset(); // still running: it finishes alone
            ConnectFailed(s, "timed out", true);
        }
        return;
    case Session::Phase::Live: break;
    default: return;
    }
    if (s.engine.state() != SessionState::LoggedIn && now >= s.deadline) {
        // Disconnect's grace is over, or the login never came to an end.
        if (s.engine.state() != SessionState::Closing)
            s.linkLost = true;
        return Apply(s, s.engine.TimedOut());
    }
    if (s.unansweredSince) {
        const auto quiet = now - *s.unansweredSince;
        if (quiet >= SilentAfter(s)) {
            s.linkLost = true;
            return Apply(s, s.engine.Silent(std::chrono::duration_cast<std::chrono::seconds>(SilentAfter(s))));
        }
    }
    if (s.setup.pollPeriod.count() > 0 && now >= s.nextPoll) {
        s.nextPoll = NextPoll(s, now);
        PollNow(s.id);
        if (s.phase != Session::Phase::Live)
            return;
    }
    // Stale is judged at the poll ticks: unanswered for this many of them.
    const Clock::duration period = s.setup.pollPeriod.count() > 0 ? Clock::duration(s.setup.pollPeriod)
                                                                  : Clock::duration(std::chrono::seconds(1));
    if (s.unansweredSince && !s.stale && now - *s.unansweredSince >= period * m_deadlines.stalePolls) {
        s.stale = true;
        SessionEvent stale;
        stale.kind = SessionEvent::Kind::Stale;
        stale.flag = true;
        Emit(s, std::move(stale));
    }
    Schedule(s);
}

milliseconds SessionLoop::SilentAfter(const Session& s) const
{
    // A slow poll period must not make every access point silent between two polls.
    return std::max(m_deadlines.silent, s.setup.pollPeriod * m_deadlines.stalePolls);
}

void SessionLoop::Apply(Session& s, SessionActions actions)
{
    for (SessionAction& a : actions) {
        switch (a.kind) {
        case SessionAction::Kind::Send: Write(s, a.text); break;
        case SessionAction::Kind::Close: Close(s); break;
        case SessionAction::Kind::State: {
            const SessionState state = a.state;
            const SessionEnd end = a.end;
            EmitAction(s, std::move(a));
            if (state == SessionState::Ended)
                Ended(s, end);
            break;
        }
        case SessionAction::Kind::Reading:
            s.failures = 0; // the session works: the next failure starts the back-off afresh
            if (!s.removing)
                EmitAction(s, std::move(a));
            break;
        default:
            if (!s.removing)
                EmitAction(s, std::move(a));
            break;
        }
    }
    // What one step sends goes out in one write: a poll's two commands in one segment.
    if (s.fd >= 0 && !s.unsent.empty())
        Flush(s);
}

void SessionLoop::Write(Session& s, const std::string& bytes)
{
    if (s.fd < 0 || s.writeShut)
        return;
    if (s.ssh) {
        if (s.sshOpen && !s.ssh->Write(bytes))
            s.overflow = true; // the link failed: the session ends as after a failed send
        if (s.fd >= 0)
            Watch(s, EPOLLIN | (s.ssh->WantsWrite() ? EPOLLOUT : 0u));
        return;
    }
    s.unsent += bytes; // sent at the end of the step (Apply)
}

void SessionLoop::Flush(Session& s)
{
    while (!s.unsent.empty()) {
        const ssize_t n = ::send(s.fd, s.unsent.data(), s.unsent.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            s.unsent.erase(0, static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
            s.unsent.clear(); // the receive side learns of the failure
        break;
    }
    s.overflow = s.unsent.size() > kMaxUnsent;
    const bool wantWrite = !s.unsent.empty();
    if (wantWrite != s.writeWait)
        Watch(s, EPOLLIN | (wantWrite ? EPOLLOUT : 0u));
}

void SessionLoop::Watch(Session& s, std::uint32_t events)
{
    epoll_event ev{};
    ev.events = events;
    ev.data.u64 = s.id;
    if (::epoll_ctl(m_epoll, EPOLL_CTL_MOD, s.fd, &ev) != 0)
        ::epoll_ctl(m_epoll, EPOLL_CTL_ADD, s.fd, &ev);
    s.writeWait = (events & EPOLLOUT) != 0;
}

void SessionLoop::Close(Session& s)
{
    if (s.ssh) {
        s.ssh->Close(); // end of input, the channel closed, goodbye
        s.ssh.reset();
        s.sshOpen = false;
    }
    if (s.fd < 0)
        return;
    if (s.peerClosed || s.overflow) {
        Flush(s); // the farewell still goes out to an access point that has only ended its side
        Release(s);
        return;
    }
    // The farewell and anything before it go out first. A shell leaves on its q, and its access
    // point then closes; our side is shut only if it has not done so soon, because a telnet
    // daemon that sees our end of input first may end the shell before it has read the q. We
    // close once the access point has: closing with its reply unread would reset the connection.
    auto drain = std::make_unique<Drain>();
    drain->fd = std::exchange(s.fd, -1);
    drain->unsent = std::move(s.unsent);
    const auto now = Clock::now();
    drain->shutAt = now + m_deadlines.farewell / 2;
    drain->deadline = now + m_deadlines.farewell;
    if (s.writeShut) { // Disconnect shut it already
        drain->shut = true;
        drain->unsent.clear();
    }
    const std::uint64_t key = m_nextDrain++;
    epoll_event ev{};
    ev.events = EPOLLIN | (drain->unsent.empty() ? 0u : EPOLLOUT);
    ev.data.u64 = kDrainTag | key;
    ::epoll_ctl(m_epoll, EPOLL_CTL_MOD, drain->fd, &ev);
    m_drains.emplace(key, std::move(drain));
    s.unsent.clear();
    s.writeWait = s.overflow = false;
}

void SessionLoop::OnDrainEvent(std::uint64_t key)
{
    const auto it = m_drains.find(key);
    if (it == m_drains.end())
        return;
    Drain& d = *it->second;
    if (!d.unsent.empty()) {
        const ssize_t n = ::send(d.fd, d.unsent.data(), d.unsent.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0)
            d.unsent.erase(0, static_cast<std::size_t>(n));
        else if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
            d.unsent.clear();
        if (d.unsent.empty()) {
            epoll_event ev{};
            ev.events = EPOLLIN;
            ev.data.u64 = kDrainTag | key;
            ::epoll_ctl(m_epoll, EPOLL_CTL_MOD, d.fd, &ev);
        }
    }
    char scratch[4096];
    for (;;) {
        const ssize_t n = ::recv(d.fd, scratch, sizeof scratch, MSG_DONTWAIT); // libssh may have made it blocking
        if (n > 0)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return;
        if (n < 0 && errno == EINTR)
            continue;
        break; // closed by the access point, or failed
    }
    ::epoll_ctl(m_epoll, EPOLL_CTL_DEL, d.fd, nullptr);
    ::close(d.fd);
    m_drains.erase(it);
}

void SessionLoop::Release(Session& s)
{
    if (s.ssh) {
        s.ssh->Close();
        s.ssh.reset();
        s.sshOpen = false;
    }
    if (s.fd >= 0) {
        // Out of the epoll set first: closing takes it out only when no duplicate is left open.
        ::epoll_ctl(m_epoll, EPOLL_CTL_DEL, s.fd, nullptr);
        ::close(s.fd);
    }
    s.fd = -1;
    s.unsent.clear();
    s.writeWait = s.overflow = s.writeShut = false;
}

void SessionLoop::Ended(Session& s, SessionEnd why)
{
    Release(s);
    s.phase = Session::Phase::Ended;
    s.unansweredSince.reset();
    s.stale = false;
    if (why == SessionEnd::Silent)
        s.linkLost = true;
    if (s.removing || m_stop || !s.setup.retry.enabled || !RetryPolicy::Retries(why))
        return;
    ++s.failures;
    const milliseconds delay =
        s.setup.retry.Delay(s.failures, s.linkLost, std::uniform_real_distribution<double>(0, 1)(m_random));
    s.phase = Session::Phase::Waiting;
    s.deadline = Clock::now() + delay;
    SessionEvent retrying;
    retrying.kind = SessionEvent::Kind::Retrying;
    retrying.delay = delay;
    Emit(s, std::move(retrying));
    if (s.phase == Session::Phase::Waiting)
        Schedule(s);
}

void SessionLoop::OnWakeup()
{
    std::uint64_t count = 0;
    [[maybe_unused]] const ssize_t n = ::read(m_wakeup->fd, &count, sizeof count);
    std::vector<std::function<void()>> posted;
    {
        std::lock_guard lock(m_postMutex);
        posted.swap(m_posted);
    }
    for (auto& f : posted)
        f();
    std::vector<SessionId> done;
    for (auto& [id, s] : m_sessions)
        if (s->phase == Session::Phase::Resolving && s->lookup && s->lookup->Done())
            done.push_back(id);
    for (SessionId id : done)
        if (auto it = m_sessions.find(id); it != m_sessions.end() && it->second->lookup)
            OnLookup(*it->second);
}

void SessionLoop::EndAll()
{
    while (!m_sessions.empty())
        Remove(m_sessions.begin()->first);
}

void SessionLoop::Run()
{
    epoll_event events[256];
    bool ending = false;
    for (;;) {
        if (m_stop && !ending) {
            ending = true;
            EndAll();
        }
        const auto now = Clock::now();
        // Farewells whose access point did not close in time are closed by us.
        for (auto it = m_drains.begin(); it != m_drains.end();) {
            Drain& d = *it->second;
            if (!d.shut && d.unsent.empty() && d.shutAt <= now) {
                ::shutdown(d.fd, SHUT_WR);
                d.shut = true;
            }
            if (d.deadline <= now) {
                ::epoll_ctl(m_epoll, EPOLL_CTL_DEL, it->second->fd, nullptr);
                ::close(it->second->fd);
                it = m_drains.erase(it);
            } else {
                ++it;
            }
        }
        if (ending && m_drains.empty())
            return;
        Clock::time_point wake = Clock::time_point::max();
        if (!m_due.empty())
            wake = m_due.front().at;
        for (const auto& [key, d] : m_drains)
            wake = std::min(wake, d->shut || !d->unsent.empty() ? d->deadline : std::min(d->shutAt, d->deadline));
        int timeout = -1;
        if (wake != Clock::time_point::max()) {
            const auto left = wake - Clock::now();
            if (left > Clock::duration::zero() && left <= kGatherBefore) {
                std::this_thread::sleep_until(wake);
                timeout = 0;
            } else {
                // Rounded up: waking a little early would only spin until the due time.
                timeout = static_cast<int>(
                    std::clamp<long long>(std::chrono::ceil<std::chrono::milliseconds>(left).count(), 0, 60000));
            }
        }
        const int n = ::epoll_wait(m_epoll, events, 256, timeout);
        if (n < 0 && errno != EINTR)
            throw std::runtime_error("epoll_wait: " + ErrorText(errno));
        for (int i = 0; i < n; ++i) {
            const std::uint64_t key = events[i].data.u64;
            if (key == kWakeupKey) {
                OnWakeup();
            } else if (key & kWatchedTag) {
                const int fd = static_cast<int>(key & 0xffffffffu);
                if (auto it = m_watched.find(fd); it != m_watched.end())
                    it->second();
            } else if (key & kDrainTag) {
                OnDrainEvent(key & ~kDrainTag);
            } else if (auto it = m_sessions.find(key); it != m_sessions.end()) {
                OnEvent(*it->second, events[i].events);
            }
        }
        const auto after = Clock::now();
        while (!m_due.empty() && m_due.front().at <= after) {
            std::pop_heap(m_due.begin(), m_due.end(), std::greater<>{});
            const Due due = m_due.back();
            m_due.pop_back();
            const auto it = m_sessions.find(due.id);
            if (it != m_sessions.end() && it->second->seq == due.seq) {
                it->second->dueAt = Clock::time_point::min();
                OnDue(*it->second, after);
            }
        }
    }
}

} // namespace approbe::session
