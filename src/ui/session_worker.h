#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "loop.h"
#include "session_handoff.h"

// The dialog's session loop on a thread of its own. The window's thread asks through the calls
// below, which reach the loop by its Post and return at once; what the session tells goes to the
// handoff. The loop's thread owns the session (its id included); the window's thread owns nothing
// here but the calls.
namespace approbe::ui {

class SessionWorker : private session::ISessionEvents {
public:
    SessionWorker(session::Deadlines deadlines, std::shared_ptr<SessionHandoff> handoff);
    // Stops the loop (each session ends with its farewell, bounded by the loop's deadlines) and
    // joins its thread.
    ~SessionWorker() override;
    SessionWorker(const SessionWorker&) = delete;
    SessionWorker& operator=(const SessionWorker&) = delete;

    // The window's thread. Start begins the dialog's session anew (the loop and its thread
    // start with the first); the others act on that session, and do nothing before the first.
    void Start(session::SessionSetup setup);
    void SetPolling(bool on);
    void Disconnect();
    void PollNow();
    void AnswerHostKey(session::HostKeyAnswer answer);
    void SetRetry(bool on);
    // Closing: tells the loop to end the session with its farewell and wakes it.
    void Stop();
    // Waits up to timeout for the loop's thread to end, then joins it; true when it has.
    bool Join(std::chrono::milliseconds timeout);

private:
    void OnSessionEvent(session::SessionId id, const session::SessionEvent& event) override;
    // Runs f with the session on the loop's thread, if there is a loop and a session.
    void OnSession(std::function<void(session::SessionLoop&, session::SessionId)> f);

    const session::Deadlines m_deadlines;
    const std::shared_ptr<SessionHandoff> m_handoff;
    std::unique_ptr<session::SessionLoop> m_loop;
    std::thread m_thread;
    std::mutex m_doneMutex;
    std::condition_variable m_doneCv;
    bool m_done = false;                    // under m_doneMutex: the loop's Run has returned
    std::optional<session::SessionId> m_id; // the loop's thread only
};

} // namespace approbe::ui
