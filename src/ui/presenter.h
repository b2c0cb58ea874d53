#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "display.h"
#include "loop.h"
#include "probe_window.h"
#include "profile.h"
#include "session_handoff.h"
#include "session_worker.h"
#include "settings.h"

// The dialog's presenter, free of any toolkit, on the window's thread: it forwards the buttons to
// the session loop, which runs on a worker thread of its own, and turns what the loop tells of the
// session into the window's effects, in the order the user knows them, and the readings for the
// field tools beside it. The loop's events come by one route, the handoff: the worker never waits
// for the window, which catches up with the latest values and every other event.
namespace approbe::ui {

// What the caption and the status lines of the log begin with.
inline constexpr const char* StatusPrefix = "Test Korvane AP ";

struct PresenterOptions {
    // Zero: the access point is polled only on PollNow (tests that step the polls).
    std::chrono::milliseconds pollPeriod{1000};
    session::Deadlines deadlines;
};

// What follows the session's readings beside the window (the field tools), on the window's thread,
// in the same step as the window shows them.
class IReadingListener {
public:
    virtual void OnReading(const std::string& host, const session::Reading& reading) = 0;
    // The shell's type is known: the levels it does not give (session::kGives* bits clear) are
    // none from now on, whatever an earlier session left.
    virtual void OnLevelsGiven(int gives) = 0;

protected:
    ~IReadingListener() = default;
};

class CProbePresenter {
public:
    using UiPoster = SessionHandoff::UiPoster;

    CProbePresenter(IProbeWindow& window, IProfile& profile, UiPoster post, PresenterOptions options = {});
    // Ends any session and waits for the worker.
    ~CProbePresenter();
    CProbePresenter(const CProbePresenter&) = delete;
    CProbePresenter& operator=(const CProbePresenter&) = delete;

    // Everything below on the window's thread.
    void OnInitDialog();
    void OnOK();
    void OnPause();
    void OnDisconnect();
    void AnswerHostKey(session::HostKeyAnswer answer);
    // Sessions that end without the user asking are started again (the field tools' switch).
    void SetAutoReconnect(bool on);
    // Where the password goes when the settings are saved (at the start and on Connect): the
    // profile, unless a keeper is set (the keyring); the keeper is then given it, and the profile
    // gets none.
    using PasswordKeeper = std::function<void(const SettingsTexts&)>;
    void SetPasswordKeeper(PasswordKeeper keeper) { m_keeper = std::move(keeper); }
    // The shell's type the next connection takes (automatic by default).
    void SetDeviceChoice(session::DeviceChoice choice) { m_device = std::move(choice); }
    // Polls now, whatever the poll period (tests; a period of zero polls only so).
    void PollNow();
    // Null: none. It must outlive the presenter or be unset first.
    void SetReadingListener(IReadingListener* listener) { m_listener = listener; }

    // Closing the program: ends the session with its farewell and starts no other; nothing more
    // reaches the window from now on.
    void BeginClose();
    // Waits up to timeout for the worker to finish; true when it has.
    bool WaitSessionEnd(std::chrono::milliseconds timeout) { return m_worker.Join(timeout); }

    // As the window knows it.
    session::SessionState state() const { return m_state; }
    bool sessionActive() const { return m_sessionActive; }
    bool stale() const { return m_stale; }
    // An attempt is to follow (auto-reconnect), and none has begun yet.
    bool retryPending() const { return m_retryPending; }

private:
    // The entries handed over since the last call, as one step.
    void Show(std::vector<HandedOver>& entries);
    void Show(WindowBatch& batch, const session::SessionEvent& event);
    void ShowValues(WindowBatch& batch, const HandedOver& values);
    void PollingOn(WindowBatch& batch);
    void Ended(WindowBatch& batch, session::SessionEnd why);
    void SetStale(WindowBatch& batch, bool stale);
    void ReportStatus(WindowBatch& batch, const std::string& text);
    void Save();
    session::SessionSetup Setup() const;

    IProbeWindow& m_window;
    IProfile& m_profile;
    const PresenterOptions m_options;
    SettingsTexts m_settings;
    PasswordKeeper m_keeper;
    IReadingListener* m_listener = nullptr;
    session::DeviceChoice m_device;
    const std::shared_ptr<SessionHandoff> m_handoff;
    SessionWorker m_worker; // after the handoff: joined before it goes

    std::string m_host; // of the running session, as typed
    int m_port = 0;
    session::SessionState m_state = session::SessionState::Idle;
    SessionValues m_values;
    bool m_sessionActive = false; // from Connect until Connect is back
    bool m_closing = false;
    bool m_autoReconnect = false;
    bool m_stale = false;
    bool m_retryPending = false;
    bool m_asking = false;
    // Polling paused by the user: the Pause button offers Work. A pause pressed during an attempt
    // stands when the login turns polling on; one from an earlier attempt does not.
    bool m_paused = false;
    bool m_pausedThisAttempt = false;
    std::optional<std::string> m_captionAfterEnd; // a failed connect names itself once Connect is back
};

} // namespace approbe::ui
