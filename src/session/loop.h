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

#include "host_key.h"
#include "session_engine.h"
#include "ssh_module.h"

// The session loop: one thread, one epoll set, any number of access point sessions over TCP
// (telnet) or SSH, every wait with a named deadline. The dialog runs it on its worker thread with
// one session; the poller runs it on its main thread with a thousand. Front ends hear what
// happens through ISessionEvents on the loop's thread and reach the loop from other threads
// only through Post, which wakes it.
namespace approbe::session {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using SessionId = std::uint64_t;

// When an attempt that ended without anyone asking is made again.
struct RetryPolicy {
    bool enabled = false;
    milliseconds first{1000}, max{30000}; // refused or failed: first, doubling up to max
    bool jitter = false;                  // into [half, whole], so that many do not retry together
    // After a silence or a connect time-out the link itself was gone; it may be back any moment.
    milliseconds afterSilence{1000};

    // Attempts that end this way are made again; the user's Disconnect, a rejected login and a
    // refused host key are not.
    static bool Retries(SessionEnd why)
    {
        return why == SessionEnd::StartFailed || why == SessionEnd::PeerClosed || why == SessionEnd::ReceiveFailed ||
               why == SessionEnd::Silent;
    }
    // Before attempt failures + 1; unit in [0, 1] for the jitter.
    milliseconds Delay(int failures, bool linkLost, double unit) const;

    static RetryPolicy Dialog() { return {true, milliseconds(1000), milliseconds(30000), false, milliseconds(1000)}; }
    static RetryPolicy Poller() { return {true, milliseconds(1000), milliseconds(60000), true, milliseconds(6000)}; }
};

enum class HostKeyPolicy {
    Strict,    // only keys already known
    AcceptNew, // the first key of a host is saved, then held to
    Ask,       // the front end is asked about an unknown key (AnswerHostKey)
};

struct Deadlines {
    milliseconds connect{10000};      // resolving and connecting, every address in turn
    milliseconds retryConnect{1500};  // the same for an attempt after the link was lost
    milliseconds login{20000};        // from the connection until the shell is polled
    int stalePolls = 3;               // polls unanswered before the values are stale
    milliseconds silent{10000};       // polls unanswered this long: the session ends
    milliseconds disconnectGrace{3000}; // after Disconnect shut our side, for the access point to close
    milliseconds farewell{1000};      // after the farewell, for the access point to close first
};

struct SessionSetup {
    std::string host; // as typed: "ap1", "ssh://10.1.0.2", "[::1]", "fe80::1%eth0"
    int port = 0;     // 0: the transport's own
    std::string user, password;
    milliseconds pollPeriod{1000}; // zero: polls only on PollNow
    Clock::duration pollOffset{};  // where in the period this session polls
    HostKeyPolicy hostKeys = HostKeyPolicy::Strict;
    RetryPolicy retry;
};

struct SessionEvent {
    enum class Kind {
        Engine,        // action: what the engine said (never Send or Close: the loop does those)
        Attempt,       // count: an attempt begins, 0 for the first
        Polled,        // a tick sent the poll commands
        ResolveFailed, // text: the resolver's reason
        ConnectFailed, // text: why; flag: it timed out
        HostKeyQuestion,
        HostKeyChanged, // warning: a known host showed another key; the session is refused
        Note,          // text: a line of the loop's own (a host key saved, why SSH failed)
        Stale,         // flag: polls have gone unanswered (true) or are answered again (false)
        Retrying,      // delay: the next attempt comes in
    };
    Kind kind = Kind::Engine;
    SessionAction action{SessionAction::Kind::Log};
    std::string text;
    bool flag = false;
    std::int64_t count = 0;
    milliseconds delay{0};
    HostKeyQuestion question;
    HostKeyWarning warning;
};

class ISessionEvents {
public:
    virtual ~ISessionEvents() = default;
    // On the loop's thread. It may call the loop's methods, but must not block.
    virtual void OnSessionEvent(SessionId id, const SessionEvent& event) = 0;
};

class SessionLoop {
public:
    // ssh: where the first SSH session finds SSH; by default the module, so that a program that
    // never goes over SSH never loads it.
    explicit SessionLoop(ISessionEvents& events, Deadlines deadlines = {}, SshModuleSource ssh = LoadSshModule);
    ~SessionLoop();
    SessionLoop(const SessionLoop&) = delete;
    SessionLoop& operator=(const SessionLoop&) = delete;

    // The loop's thread (or before Run). Add starts the session's first attempt at once.
    SessionId Add(SessionSetup setup);
    // Ends the session (with its farewell when logged in); it says nothing more.
    void Remove(SessionId id);
    // A new attempt of a session whose last one has ended (the user's Connect).
    void Restart(SessionId id);
    void SetPolling(SessionId id, bool on);
    void Disconnect(SessionId id);
    void PollNow(SessionId id);
    void AnswerHostKey(SessionId id, HostKeyAnswer answer);
    void SetRetry(SessionId id, const RetryPolicy& retry);
    bool Has(SessionId id) const { return m_sessions.count(id) != 0; }
    const Deadlines& deadlines() const { return m_deadlines; }

    // Any thread: f runs on the loop's thread soon.
    void Post(std::function<void()> f);
    // The loop's thread: onReadable runs whenever fd is readable (a signalfd, say).
    void Watch(int fd, std::function<void()> onReadable);

    // Runs until Stop, then ends every session with its farewell and returns once each access
    // point has closed or its farewell deadline has passed.
    void Run();
    // Any thread.
    void Stop();

private:
    struct Session;
    struct Lookup;
    struct Drain;
    struct Wakeup;
    struct Due {
        Clock::time_point at;
        SessionId id;
        std::uint64_t seq;
        bool operator>(const Due& o) const { return at > o.at; }
    };

    void Emit(Session& s, SessionEvent event);
    void EmitAction(Session& s, SessionAction&& action);
    void Apply(Session& s, SessionActions actions);
    void StartAttempt(Session& s);
    void OnLookup(Session& s);
    void ConnectNext(Session& s);
    void ConnectDone(Session& s);
    void ConnectFailed(Session& s, const std::string& why, bool timedOut);
    void SshStart(Session& s);
    void SshAdvance(Session& s);
    bool SshHostKey(Session& s);
    void SshHostKeyAnswered(Session& s, HostKeyAnswer answer);
    void SshRead(Session& s);
    void ReadTelnet(Session& s);
    void OnEvent(Session& s, std::uint32_t events);
    void OnDue(Session& s, Clock::time_point now);
    void Received(Session& s, std::string_view bytes);
    void Write(Session& s, const std::string& bytes);
    void Flush(Session& s);
    void Watch(Session& s, std::uint32_t events);
    // The engine said Close: the farewell goes out, then our side is shut and the access point
    // given a moment to close first, so that the connection ends without a reset.
    void Close(Session& s);
    void Release(Session& s);
    void Ended(Session& s, SessionEnd why);
    void Schedule(Session& s);
    milliseconds SilentAfter(const Session& s) const;
    Clock::time_point NextPoll(const Session& s, Clock::time_point after) const;
    void OnWakeup();
    void OnDrainEvent(std::uint64_t key);
    void EndAll();

    ISessionEvents& m_events;
    const Deadlines m_deadlines;
    const SshModuleSource m_sshSource;
    const ISshModule* m_ssh = nullptr; // once an SSH session has needed it
    int m_epoll = -1;
    std::shared_ptr<Wakeup> m_wakeup;
    const Clock::time_point m_base = Clock::now();
    SessionId m_nextId = 1;
    std::unordered_map<SessionId, std::unique_ptr<Session>> m_sessions;
    std::map<std::uint64_t, std::unique_ptr<Drain>> m_drains;
    std::uint64_t m_nextDrain = 1;
    std::map<int, std::function<void()>> m_watched;
    std::vector<Due> m_due; // a min-heap; entries whose seq is old are skipped
    std::mt19937 m_random{std::random_device{}()};
    std::mutex m_postMutex;
    std::vector<std::function<void()>> m_posted;
    bool m_stop = false;
};

} // namespace approbe::session
