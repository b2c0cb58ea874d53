#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "consumers.h"
#include "display.h"
#include "loop.h"
#include "probe_window.h"
#include "profile.h"
#include "settings.h"

// The dialog's presenter, free of any toolkit: it forwards the buttons to the session loop,
// which runs on a worker thread of its own, and turns what the loop tells of the session into
// the window's effects, in the order the user knows them. The worker never waits for the window:
// it hands its events over and goes on; the window catches up with the latest of them.
namespace approbe {

// What the caption and the status lines of the log begin with.
inline constexpr const char* StatusPrefix = "Test Korvane AP ";

struct PresenterOptions {
    // Zero: the access point is polled only on PollNow (tests that step the polls).
    std::chrono::milliseconds pollPeriod{1000};
    session::Deadlines deadlines;
};

class CProbePresenter : private session::ISessionEvents {
public:
    // Runs f on the window's thread later; it must not wait for it.
    using UiPoster = std::function<void(std::function<void()> f)>;

    CProbePresenter(IProbeWindow& window, IProfile& profile, UiPoster post, PresenterOptions options = {});
    // Ends any session and waits for the worker.
    ~CProbePresenter() override;
    CProbePresenter(const CProbePresenter&) = delete;
    CProbePresenter& operator=(const CProbePresenter&) = delete;

    // The window's thread.
    void OnInitDialog();
    void OnOK();
    void OnPause();
    void OnDisconnect();
    void AnswerHostKey(HostKeyAnswer answer);
    // Sessions that end without the user asking are started again (the field tools' switch).
    void SetAutoReconnect(bool on);
    // Where the password goes when the settings are saved (at the start and on Connect): the
    // profile, unless a keeper is set (the keyring); the keeper is then given it, and the profile
    // gets none.
    using PasswordKeeper = std::function<void(const SettingsTexts&)>;
    void SetPasswordKeeper(PasswordKeeper keeper) { m_keeper = std::move(keeper); }
    // Polls now, whatever the poll period (tests; a period of zero polls only so).
    void PollNow();

    // Closing the program: ends the session with its farewell and starts no other. Window calls
    // from the worker are dropped from now on.
    void BeginClose();
    // Waits up to timeout for the worker to finish; true when it has.
    bool WaitSessionEnd(std::chrono::milliseconds timeout);

    // Readings and state changes, for consumers beside the window (posted from the worker).
    ConsumerHub& consumers() { return m_consumers; }
    // As the window knows it (the window's thread).
    SessionState state() const { return m_state; }
    bool sessionActive() const { return m_sessionActive; }
    bool stale() const { return m_stale; }
    // An attempt is to follow (auto-reconnect), and none has begun yet.
    bool retryPending() const { return m_retryPending; }

private:
    struct Pending;
    void OnSessionEvent(session::SessionId id, const session::SessionEvent& event) override;
    // The window's thread: the events handed over since the last call, as one step.
    void ShowPending();
    void Show(WindowBatch& batch, const session::SessionEvent& event, std::uint64_t pauseClicks);
    void ShowValues(WindowBatch& batch, Pending& values);
    void Ended(WindowBatch& batch, SessionEnd why);
    void SetStale(WindowBatch& batch, bool stale);
    void ReportStatus(WindowBatch& batch, const std::string& text);
    void Save();
    // Runs f on the loop's thread, starting the loop first if need be.
    void OnLoop(std::function<void(session::SessionLoop&)> f);
    session::SessionSetup Setup() const;

    IProbeWindow& m_window;
    IProfile& m_profile;
    const UiPoster m_post;
    const PresenterOptions m_options;
    SettingsTexts m_settings;
    PasswordKeeper m_keeper;
    ConsumerHub m_consumers;

    // The loop and its thread; m_id is the dialog's one session once Connect made it.
    std::unique_ptr<session::SessionLoop> m_loop;
    std::thread m_worker;
    std::mutex m_doneMutex;
    std::condition_variable m_doneCv;
    bool m_workerDone = false;
    std::optional<session::SessionId> m_id; // the loop's thread only
    std::string m_loopHost;                 // the loop's thread: its host as typed
    std::uint64_t m_loopPauseClicks = 0;    // the loop's thread: the Pause clicks it has taken

    // Handed from the worker to the window's thread. The values between two other events are
    // merged into one entry (the latest byte count, the latest of each level), so that a flood
    // leaves the latest values to show, not a queue.
    struct Pending {
        std::optional<session::SessionEvent> event; // or, if none, values
        std::optional<std::int64_t> rxTotal;
        ReadingsToShow readings;
        std::uint64_t pauseClicks = 0; // taken by the loop when the event came
    };
    std::mutex m_pendingMutex;
    std::vector<Pending> m_pending;
    bool m_closing = false; // under m_pendingMutex: nothing more reaches the window

    // The window's thread.
    std::string m_host;            // of the running session, as typed
    int m_port = 0;
    SessionState m_state = SessionState::Idle;
    bool m_sessionActive = false;  // from Connect until Connect is back
    bool m_autoReconnect = false;
    bool m_stale = false;
    bool m_retryPending = false;
    bool m_asking = false;
    std::uint64_t m_pauseClicks = 0;
    std::optional<std::string> m_captionAfterEnd; // a failed connect names itself once Connect is back
};

} // namespace approbe
