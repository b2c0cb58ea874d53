#include "loop.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <thread>
#include <utility>

#include "connector.h"

namespace approbe::session {
namespace {

// epoll keys: sessions by id; the rest tagged in the top bits.
constexpr std::uint64_t kWakeupKey = 0;
constexpr std::uint64_t kWatchedTag = std::uint64_t{1} << 62;
constexpr std::uint64_t kFarewellTag = std::uint64_t{1} << 61;
// With a due time this close, the loop sleeps until it and then takes whatever I/O is ready, in
// one wake-up: many sessions polled a millisecond apart would otherwise wake it twice a poll (the
// timer, then the reply), and the reply would often be read while its second half is still being
// written. A reply waits at most this long.
constexpr auto kGatherBefore = std::chrono::milliseconds(1);

std::string ErrorText(int error) { return std::strerror(error); }

} // namespace

// The loop's eventfd: posted commands and finished name lookups wake it. The resolver's threads
// hold it too, so the descriptor stays open until the last lookup has told it, even after the loop.
struct SessionLoop::Wakeup {
    int fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    ~Wakeup()
    {
        if (fd >= 0)
            ::close(fd);
    }
    void Notify() const
    {
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = ::write(fd, &one, sizeof one);
    }
};

// A session's one state is its engine's (Idle, Starting, LoggingIn, LoggedIn, Closing, Ended);
// beside it the loop keeps what the state is waiting on: a lookup or a connect while Starting, the
// transport while connected, the next attempt's time once Ended.
struct SessionLoop::Session final : ITransportEvents {
    SessionLoop& loop;
    SessionId id = 0;
    SessionSetup setup;
    HostText host;
    int port = 0;
    SessionEngine engine;
    int fd = -1; // connecting or connected
    std::shared_ptr<Lookup> lookup;
    Connector connector;
    std::unique_ptr<ITransport> transport;
    std::optional<Clock::time_point> retryAt; // Idle or Ended: the next attempt is due then
    bool paced = false;                       // retryAt is a slot of m_starts already taken
    Clock::time_point deadline{};             // Starting: the connect's; connected: the login's or Disconnect's grace
    Clock::time_point nextPoll{};
    // Answers: when the last bytes came (or the polls began), and whether a poll has gone out since.
    std::optional<Clock::time_point> lastPoll;
    Clock::time_point quietSince{};
    bool unanswered = false;
    bool stale = false;
    bool linkLost = false; // the last attempt ended because the link went quiet
    int failures = 0;
    std::int64_t attempts = 0;
    std::uint64_t seq = 0;
    Clock::time_point dueAt = Clock::time_point::min(); // of its entry in the due heap; min: none

    explicit Session(SessionLoop& l) : loop(l) {}
    bool connected() const { return transport && engine.live(); }

    void WatchSocket(std::uint32_t events) override { loop.WatchSocket(*this, events); }
    void Received(std::string_view bytes) override { loop.Received(*this, bytes); }
    void LoggedIn() override { loop.Apply(*this, engine.LoggedInByTransport()); }
    void LoginRejected() override { loop.Apply(*this, engine.LoginRejected()); }
    void HostKeyRefused(const std::string& status) override
    {
        SessionEvent refused;
        refused.kind = SessionEvent::Kind::HostKeyRefused;
        refused.text = status;
        loop.Emit(*this, refused);
        loop.Apply(*this, engine.HostKeyRefused(status));
    }
    void Lost(SessionEnd why) override { loop.Apply(*this, engine.End(why)); }
    void Tell(SessionEvent event) override { loop.Emit(*this, event); }
};

SessionLoop::SessionLoop(ISessionEvents& events, Deadlines deadlines, SshModuleSource ssh)
    : m_events(events), m_deadlines(deadlines), m_ssh(ssh), m_epoll(::epoll_create1(EPOLL_CLOEXEC)),
      m_wakeup(std::make_shared<Wakeup>()), m_resolver([wakeup = m_wakeup] { wakeup->Notify(); }),
      m_farewells(m_epoll, kFarewellTag)
{
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
    m_retired.clear();
    ::close(m_epoll); // the farewells' sockets are closed after it: they are out of its set then
}

SessionLoop::Session* SessionLoop::Find(SessionId id)
{
    const auto it = m_sessions.find(id);
    return it == m_sessions.end() ? nullptr : it->second.get();
}

void SessionLoop::Emit(Session& s, const SessionEvent& event) { m_events.OnSessionEvent(s.id, event); }

SessionId SessionLoop::Add(SessionSetup setup)
{
    auto owned = std::make_unique<Session>(*this);
    Session& s = *owned;
    s.id = m_nextId++;
    s.setup = std::move(setup);
    s.host = ParseHostText(s.setup.host);
    s.port = s.setup.port > 0 ? s.setup.port : DefaultPort(s.host.transport);
    s.retryAt = Clock::now();
    m_sessions.emplace(s.id, std::move(owned));
    Schedule(s);
    return s.id;
}

void SessionLoop::Remove(SessionId id)
{
    Session* s = Find(id);
    if (!s)
        return;
    Apply(*s, s->engine.End(SessionEnd::Removed), true); // the farewell, then the close
    Release(*s);
    m_sessions.erase(id); // a lookup still running finishes alone
}

void SessionLoop::Restart(SessionId id)
{
    Session* s = Find(id);
    if (!s || s->engine.live() || s->engine.state() == SessionState::Starting)
        return;
    s->failures = 0;
    s->linkLost = false;
    s->attempts = 0;
    StartAttempt(*s);
}

void SessionLoop::SetPolling(SessionId id, bool on)
{
    Session* s = Find(id);
    if (!s)
        return;
    s->engine.SetPolling(on);
    // A paused session is quiet, not silent; polls after it count their answers afresh.
    s->unanswered = false;
    s->lastPoll.reset();
}

void SessionLoop::PollNow(SessionId id)
{
    Session* s = Find(id);
    if (!s || !s->connected() || s->transport->asking())
        return;
    Apply(*s, s->engine.Tick());
    if (s->connected() && s->transport->failed())
        Apply(*s, s->engine.End(SessionEnd::ReceiveFailed));
}

void SessionLoop::Polled(Session& s, std::int64_t commands)
{
    const auto now = Clock::now();
    if (!s.unanswered) {
        // The previous poll was answered, so its answer is the latest; with none before, this
        // poll is where the wait for an answer begins. Nor does the wait begin earlier than a
        // period before this poll: a loop held up longer than the silence limit (a stalled
        // machine) must not find every access point silent that answered all it was asked.
        if (!s.lastPoll)
            s.quietSince = now;
        else if (s.setup.pollPeriod.count() > 0)
            s.quietSince = std::max(s.quietSince, now - Clock::duration(s.setup.pollPeriod));
        s.unanswered = true;
    }
    s.lastPoll = now;
    SessionEvent event;
    event.kind = SessionEvent::Kind::Polled;
    event.count = commands;
    Emit(s, event);
}

void SessionLoop::Disconnect(SessionId id)
{
    Session* s = Find(id);
    if (!s)
        return;
    if (s->retryAt) {
        // Between attempts no session runs: the next one is called off. The first has only not
        // begun yet, and goes on as a Disconnect while connecting would.
        if (s->attempts > 0)
            s->retryAt.reset();
        return;
    }
    if (!s->connected()) {
        Apply(*s, s->engine.Disconnect(false)); // not connected yet: nothing to shut
        return;
    }
    if (s->transport->asking()) {
        Apply(*s, s->engine.Disconnect(true));
        s->transport->AnswerHostKey(HostKeyAnswer::Cancel);
        return;
    }
    switch (s->transport->ShutSending()) {
    case ITransport::Shut::EndNow: return Apply(*s, s->engine.End(SessionEnd::Disconnected));
    case ITransport::Shut::Failed: return Apply(*s, s->engine.Disconnect(false));
    case ITransport::Shut::Waiting: break;
    }
    Apply(*s, s->engine.Disconnect(true));
    if (s->engine.state() == SessionState::Closing) {
        s->deadline = Clock::now() + m_deadlines.disconnectGrace;
        Schedule(*s);
    }
}

void SessionLoop::AnswerHostKey(SessionId id, HostKeyAnswer answer)
{
    Session* s = Find(id);
    if (!s || !s->connected() || !s->transport->asking())
        return;
    s->transport->AnswerHostKey(answer);
    if (s->connected())
        Schedule(*s);
}

void SessionLoop::SetRetry(SessionId id, const RetryPolicy& retry)
{
    Session* s = Find(id);
    if (!s)
        return;
    s->setup.retry = retry;
    if (!retry.enabled && s->attempts > 0)
        s->retryAt.reset();
}

void SessionLoop::Post(std::function<void()> f)
{
    {
        std::lock_guard lock(m_postMutex);
        m_posted.push_back(std::move(f));
    }
    m_wakeup->Notify();
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
    if (s.retryAt) {
        at = *s.retryAt;
    } else if (s.engine.state() == SessionState::Starting) {
        at = s.deadline;
    } else if (s.connected() && !s.transport->asking()) {
        if (s.engine.state() != SessionState::LoggedIn)
            at = s.deadline; // the login's deadline, or Disconnect's grace
        if (s.setup.pollPeriod.count() > 0)
            at = std::min(at, s.nextPoll);
        if (s.unanswered) {
            at = std::min(at, s.quietSince + SilentAfter(s));
            if (!s.stale)
                at = std::min(at, s.quietSince + StaleAfter(s));
        }
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
    s.retryAt.reset();
    s.paced = false;
    SessionEvent attempt;
    attempt.kind = SessionEvent::Kind::Attempt;
    attempt.count = s.attempts++;
    Emit(s, attempt);
    s.transport = MakeTransport(s.host, s.port, s.setup, m_ssh);
    // The transport knows the shell's conventions; the device type and tracing are the setup's.
    SessionParams params = s.transport->Shell();
    params.device = s.setup.device;
    params.trace = s.setup.trace;
    Apply(s, s.engine.Begin(std::move(params)));
    s.stale = s.unanswered = false;
    s.lastPoll.reset();
    s.deadline = Clock::now() + (s.linkLost ? m_deadlines.retryConnect : m_deadlines.connect);
    if (auto numeric = NumericAddresses(s.host.name, s.port)) {
        s.connector.Reset(std::move(*numeric));
        return ConnectNext(s);
    }
    if (s.host.name.empty()) {
        SessionEvent failed;
        failed.kind = SessionEvent::Kind::ResolveFailed;
        failed.text = "no host given";
        Emit(s, failed);
        return Apply(s, s.engine.End(SessionEnd::StartFailed));
    }
    // A name: looked up off the loop, which the wake-up tells when the answer is in.
    s.lookup = m_resolver.Start(s.host.name, s.port);
    Schedule(s);
}

void SessionLoop::OnLookup(Session& s)
{
    const auto lookup = std::move(s.lookup);
    Addresses addresses = lookup->addresses();
    if (addresses.empty()) {
        SessionEvent failed;
        failed.kind = SessionEvent::Kind::ResolveFailed;
        failed.text = lookup->error();
        Emit(s, failed);
        return Apply(s, s.engine.End(SessionEnd::StartFailed));
    }
    s.connector.Reset(std::move(addresses));
    ConnectNext(s);
}

void SessionLoop::ConnectNext(Session& s)
{
    s.fd = s.connector.Next();
    if (s.fd < 0)
        return ConnectFailed(s, s.connector.failure(), false);
    WatchSocket(s, EPOLLOUT);
    Schedule(s);
}

void SessionLoop::ConnectDone(Session& s)
{
    if (!s.connector.Made(s.fd)) {
        CloseSocket(s);
        return ConnectNext(s); // the next address, within the same deadline
    }
    const auto now = Clock::now();
    s.linkLost = false;
    WatchSocket(s, EPOLLIN);
    s.deadline = now + m_deadlines.login;
    if (s.setup.pollPeriod.count() > 0)
        s.nextPoll = NextPoll(s, now);
    Apply(s, s.engine.Connected());
    if (s.connected())
        s.transport->Connected(s.fd, s);
    if (s.connected())
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
    Emit(s, failed);
    Apply(s, s.engine.End(SessionEnd::StartFailed));
}

void SessionLoop::Received(Session& s, std::string_view bytes)
{
    s.quietSince = Clock::now();
    s.unanswered = false;
    if (s.stale) {
        s.stale = false;
        SessionEvent live;
        live.kind = SessionEvent::Kind::Stale;
        live.flag = false;
        Emit(s, live);
    }
    Apply(s, s.engine.Received(bytes, std::chrono::system_clock::now()));
    if (s.connected() && s.transport->failed())
        Apply(s, s.engine.End(SessionEnd::ReceiveFailed));
}

void SessionLoop::OnEvent(Session& s, std::uint32_t events)
{
    if (s.engine.state() == SessionState::Starting) {
        if (s.fd >= 0)
            ConnectDone(s);
        return;
    }
    if (!s.connected())
        return;
    s.transport->OnReady(events);
    if (s.connected())
        Schedule(s);
}

void SessionLoop::OnDue(Session& s, Clock::time_point now)
{
    if (s.retryAt) {
        if (now < *s.retryAt)
            return Schedule(s);
        if (s.paced && StartPacer::Missed(*s.retryAt, now, s.setup.retry.startsPerSecond))
            s.paced = false;
        if (!s.paced) {
            const Clock::time_point slot = m_starts.Take(now, s.setup.retry.startsPerSecond);
            if (slot > now) {
                s.paced = true;
                s.retryAt = slot;
                return Schedule(s);
            }
        }
        StartAttempt(s);
        return;
    }
    if (s.engine.state() == SessionState::Starting) {
        if (now >= s.deadline)
            ConnectFailed(s, "timed out", true); // a lookup still running finishes alone
        else
            Schedule(s);
        return;
    }
    if (!s.connected() || s.transport->asking())
        return;
    if (s.engine.state() != SessionState::LoggedIn && now >= s.deadline) {
        // Disconnect's grace is over (the engine ends it as the Disconnect it is), or the login
        // never came to an end.
        if (s.engine.state() != SessionState::Closing)
            s.linkLost = true;
        return Apply(s, s.engine.End(SessionEnd::Silent));
    }
    if (s.unanswered && now - s.quietSince >= SilentAfter(s)) {
        s.linkLost = true;
        return Apply(s, s.engine.Silent(std::chrono::duration_cast<std::chrono::seconds>(SilentAfter(s))));
    }
    if (s.setup.pollPeriod.count() > 0 && now >= s.nextPoll) {
        s.nextPoll = NextPoll(s, now);
        PollNow(s.id);
        if (!s.connected())
            return;
    }
    // Values are stale this long after the answer that brought them, whenever that falls.
    if (s.unanswered && !s.stale && now - s.quietSince >= StaleAfter(s)) {
        s.stale = true;
        SessionEvent stale;
        stale.kind = SessionEvent::Kind::Stale;
        stale.flag = true;
        Emit(s, stale);
    }
    Schedule(s);
}

milliseconds SessionLoop::SilentAfter(const Session& s) const
{
    // A slow poll period must not make every access point silent between two polls.
    return std::max(m_deadlines.silent, s.setup.pollPeriod * m_deadlines.stalePolls);
}

Clock::duration SessionLoop::StaleAfter(const Session& s) const
{
    const Clock::duration period = s.setup.pollPeriod.count() > 0 ? Clock::duration(s.setup.pollPeriod)
                                                                  : Clock::duration(std::chrono::seconds(1));
    return period * m_deadlines.stalePolls;
}

void SessionLoop::Apply(Session& s, SessionActions actions, bool quiet)
{
    for (SessionAction& a : actions) {
        switch (a.kind) {
        case SessionAction::Kind::Send:
            if (s.transport) // the farewell is sent as the session ends
                s.transport->Write(a.text);
            break;
        case SessionAction::Kind::Close: Close(s); break;
        case SessionAction::Kind::Polled: Polled(s, a.count); break;
        case SessionAction::Kind::State: {
            const SessionState state = a.state;
            const SessionEnd end = a.end;
            SessionEvent event;
            event.action = std::move(a);
            Emit(s, event);
            if (state == SessionState::Ended)
                Ended(s, end);
            break;
        }
        default:
            if (a.kind == SessionAction::Kind::Reading)
                s.failures = 0; // the session works: the next failure starts the back-off afresh
            if (!quiet) {
                SessionEvent event;
                event.action = std::move(a);
                Emit(s, event);
            }
            break;
        }
    }
    // What one step sends goes out in one write: a poll's two commands in one segment.
    if (s.transport)
        s.transport->Flush();
}

void SessionLoop::WatchSocket(Session& s, std::uint32_t events)
{
    epoll_event ev{};
    ev.events = events;
    ev.data.u64 = s.id;
    if (::epoll_ctl(m_epoll, EPOLL_CTL_MOD, s.fd, &ev) != 0)
        ::epoll_ctl(m_epoll, EPOLL_CTL_ADD, s.fd, &ev);
}

void SessionLoop::Close(Session& s)
{
    if (!s.transport || s.fd < 0)
        return;
    Leftover left = s.transport->Close();
    m_retired.push_back(std::move(s.transport));
    if (!left.drain)
        return Release(s);
    m_farewells.Add(std::exchange(s.fd, -1), std::move(left.unsent), left.shut, m_deadlines.farewell);
}

void SessionLoop::Release(Session& s)
{
    if (s.transport) {
        s.transport->Close();
        m_retired.push_back(std::move(s.transport));
    }
    CloseSocket(s);
    s.lookup.reset(); // still running: it finishes alone
}

void SessionLoop::CloseSocket(Session& s)
{
    if (s.fd >= 0) {
        // Out of the epoll set first: closing takes it out only when no duplicate is left open.
        ::epoll_ctl(m_epoll, EPOLL_CTL_DEL, s.fd, nullptr);
        ::close(s.fd);
    }
    s.fd = -1;
}

void SessionLoop::Ended(Session& s, SessionEnd why)
{
    Release(s);
    s.unanswered = s.stale = false;
    if (why == SessionEnd::Silent)
        s.linkLost = true;
    if (m_stop || !s.setup.retry.enabled || !RetryPolicy::Retries(why))
        return;
    ++s.failures;
    const milliseconds delay =
        s.setup.retry.Delay(s.failures, s.linkLost, std::uniform_real_distribution<double>(0, 1)(m_random));
    s.retryAt = Clock::now() + delay;
    SessionEvent retrying;
    retrying.kind = SessionEvent::Kind::Retrying;
    retrying.delay = delay;
    Emit(s, retrying);
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
        if (s->lookup && s->lookup->Done())
            done.push_back(id);
    for (SessionId id : done)
        if (Session* s = Find(id); s && s->lookup)
            OnLookup(*s);
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
        m_retired.clear();
        if (m_stop && !ending) {
            ending = true;
            EndAll();
        }
        // Farewells whose access point did not close in time are closed by us.
        Clock::time_point wake = m_farewells.Tick(Clock::now());
        if (ending && m_farewells.empty())
            return;
        if (!m_due.empty())
            wake = std::min(wake, m_due.front().at);
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
            } else if (key & kFarewellTag) {
                m_farewells.OnReady(key & ~kFarewellTag);
            } else if (Session* s = Find(key)) {
                OnEvent(*s, events[i].events);
            }
        }
        const auto after = Clock::now();
        while (!m_due.empty() && m_due.front().at <= after) {
            std::pop_heap(m_due.begin(), m_due.end(), std::greater<>{});
            const Due due = m_due.back();
            m_due.pop_back();
            Session* s = Find(due.id);
            if (s && s->seq == due.seq) {
                s->dueAt = Clock::time_point::min();
                OnDue(*s, after);
            }
        }
    }
}

} // namespace approbe::session
