#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <unordered_map>
#include <vector>

#include "events.h"
#include "farewell.h"
#include "resolver.h"
#include "setup.h"
#include "transport.h"

// The session loop: one thread, one epoll set, any number of access point sessions, every wait
// with a named deadline. The dialog runs it on its worker thread with one session; the poller runs
// it on its main thread with a thousand. Front ends hear what happens through ISessionEvents on the
// loop's thread and reach the loop from other threads only through Post, which wakes it.
namespace approbe::session {

class SessionLoop {
public:
    // ssh: where the first SSH session finds SSH; by default the module, so that a program that
    // never goes over SSH never loads it.
    explicit SessionLoop(ISessionEvents& events, Deadlines deadlines = {}, SshModuleSource ssh = LoadSshModule);
    ~SessionLoop();
    SessionLoop(const SessionLoop&) = delete;
    SessionLoop& operator=(const SessionLoop&) = delete;

    // The loop's thread (or before Run). Add starts the session's first attempt on the loop's next
    // turn, so that the caller knows the id before any event.
    SessionId Add(SessionSetup setup);
    // Ends the session (with its farewell when logged in) as Removed; it says nothing more.
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
    struct Wakeup;
    struct Due {
        Clock::time_point at;
        SessionId id;
        std::uint64_t seq;
        bool operator>(const Due& o) const { return at > o.at; }
    };

    Session* Find(SessionId id);
    void Emit(Session& s, const SessionEvent& event);
    // What the engine said, in order; quiet: only what ends the session is told (Remove).
    void Apply(Session& s, SessionActions actions, bool quiet = false);
    void StartAttempt(Session& s);
    void OnLookup(Session& s);
    void ConnectNext(Session& s);
    void ConnectDone(Session& s);
    void ConnectFailed(Session& s, const std::string& why, bool timedOut);
    void OnEvent(Session& s, std::uint32_t events);
    void OnDue(Session& s, Clock::time_point now);
    void Received(Session& s, std::string_view bytes);
    void Polled(Session& s, std::int64_t commands);
    void WatchSocket(Session& s, std::uint32_t events);
    // The engine said Close: the connection is handed to the farewells, or closed.
    void Close(Session& s);
    // The one way a session's attempt ends: the engine said Ended.
    void Ended(Session& s, SessionEnd why);
    // Lets go of the attempt's transport, socket and lookup.
    void Release(Session& s);
    void CloseSocket(Session& s);
    void Schedule(Session& s);
    milliseconds SilentAfter(const Session& s) const;
    Clock::duration StaleAfter(const Session& s) const;
    Clock::time_point NextPoll(const Session& s, Clock::time_point after) const;
    void OnWakeup();
    void EndAll();

    ISessionEvents& m_events;
    const Deadlines m_deadlines;
    SshModuleCache m_ssh;
    int m_epoll = -1;
    std::shared_ptr<Wakeup> m_wakeup;
    Resolver m_resolver;
    Farewells m_farewells;
    const Clock::time_point m_base = Clock::now();
    SessionId m_nextId = 1;
    std::unordered_map<SessionId, std::unique_ptr<Session>> m_sessions;
    // Transports whose session is over, kept until the call that ended them has returned.
    std::vector<std::unique_ptr<ITransport>> m_retired;
    std::map<int, std::function<void()>> m_watched;
    std::vector<Due> m_due; // a min-heap; entries whose seq is old are skipped
    std::mt19937 m_random{std::random_device{}()};
    StartPacer m_starts; // every attempt, so that thousands of sessions do not start at once
    std::mutex m_postMutex;
    std::vector<std::function<void()>> m_posted;
    bool m_stop = false;
};

} // namespace approbe::session
