#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "fake_window.h"
#include "loopback.h"
#include "presenter.h"
#include "profile.h"
#include "temp_dir.h"

namespace approbe::test {

using Events = std::vector<std::string>;
inline const std::string kPrefix = "Test Korvane AP ";
// The log line of a session that has answered the password prompt of 127.0.0.1.
inline const std::string kConnectedLine = "log " + kPrefix + "to 127.0.0.1 connected";

// The window's thread of a rig: what the presenter posts runs here, in order, one at a time with
// the test's own clicks (the window's UI lock).
class UiThread {
public:
    explicit UiThread(FakeWindow& window);
    ~UiThread();
    void Post(std::function<void()> f);

private:
    FakeWindow& m_window;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<std::function<void()>> m_queue;
    bool m_stop = false;
    std::thread m_thread;
};

// The presenter against the recording window, the session loop over loopback and a profile in a
// temporary folder, set up as the dialog opens with the given stored settings. Polls go out on
// Tick only (no poll period), so that each test steps them.
struct SessionRig {
    // The profile file's whole text, as found on disk when the dialog opens.
    struct ProfileText {
        std::string text;
    };

    SessionRig(const std::string& host, const std::string& port, const std::string& user = "admin",
               const std::string& password = "admin", ui::PresenterOptions options = Stepped());
    // Opens on that file as it is; the events of opening are kept.
    explicit SessionRig(const ProfileText& file, ui::PresenterOptions options = Stepped());
    ~SessionRig();

    static ui::PresenterOptions Stepped()
    {
        ui::PresenterOptions options;
        options.pollPeriod = std::chrono::milliseconds(0);
        return options;
    }

    // The buttons, and a poll now, on the test thread acting as the window's thread.
    void Connect() { window.onUiThread([this] { presenter->OnOK(); }); }
    void Tick() { window.onUiThread([this] { presenter->PollNow(); }); }
    void Pause() { window.onUiThread([this] { presenter->OnPause(); }); }
    void Disconnect() { window.onUiThread([this] { presenter->OnDisconnect(); }); }
    // Connect, then waits until the session says it is connected to 127.0.0.1 and polls.
    bool LogIn(std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // Waits until the session has ended and given Connect back.
    bool WaitEnd(std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // The events that narrate the session: log lines, captions and the Connect button.
    Events Narration();

    TempDir dir;
    IniProfile profile;
    FakeWindow window;
    UiThread ui{window};
    std::unique_ptr<ui::CProbePresenter> presenter;
};

// The narration's last lines when a session ends, whoever ended it; why, for the endings the
// caption names ("login rejected", "silent", "host key refused").
Events TeardownLines(const std::string& why = {});
// The session has ended with its normal teardown.
void ExpectTornDown(SessionRig& rig, const std::string& why = {});
// A normal session in the same rig, against a fresh simulator that takes any user and password:
// log in, one poll read back, Disconnect, with the farewell at the simulator. Proves that whatever
// came before left the program ready for the next Connect. Only host and port are typed: a
// five-digit port stops the pull of the edits there, so user and password stay what the rig held.
void ExpectNormalSessionAfterwards(SessionRig& rig);

} // namespace approbe::test
