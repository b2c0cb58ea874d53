#pragma once

#include <memory>
#include <string>

#include "fake_sockets.h"
#include "fake_window.h"
#include "loopback.h"
#include "probe_core.h"
#include "profile.h"
#include "temp_dir.h"

namespace approbe::test {

using Events = std::vector<std::string>;
inline const std::string kPrefix = "Test Korvane AP ";
// The log line of a session that has answered the password prompt of 127.0.0.1.
inline const std::string kConnectedLine = "log " + kPrefix + "to 127.0.0.1 connected";

// The session logic against the recording window, the real sockets layer (with its knobs) and a
// profile in a temporary folder, set up as the dialog opens with the given stored settings.
struct SessionRig {
    // The profile file's whole text, as found on disk when the dialog opens.
    struct ProfileText {
        std::string text;
    };

    SessionRig(const std::string& host, const std::string& port, const std::string& user = "admin",
               const std::string& password = "admin", int connectTimeoutMs = PosixSockets::kConnectTimeoutMs);
    // Opens on that file as it is; the events of opening are kept.
    explicit SessionRig(const ProfileText& file, int connectTimeoutMs = PosixSockets::kConnectTimeoutMs);
    ~SessionRig() { core.reset(); }

    // The buttons and the timer tick, on the test thread acting as the UI thread.
    void Connect() { window.onUiThread([this] { core->OnOK(); }); }
    void Tick() { window.onUiThread([this] { core->OnTimer(); }); }
    void Pause() { window.onUiThread([this] { core->OnPause(); }); }
    void Disconnect() { window.onUiThread([this] { core->OnDisconnect(); }); }
    // Connect, then waits until the session says it is connected to 127.0.0.1 and polls.
    bool LogIn(std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // Waits for the session's worker to end.
    bool WaitEnd(std::chrono::milliseconds timeout = std::chrono::seconds(10)) { return core->WaitSessionEnd(timeout); }
    // The events that narrate the session: log lines, captions and the Connect button.
    Events Narration();

    TempDir dir;
    IniProfile profile;
    FakeWindow window;
    FakeSockets sockets;
    std::unique_ptr<CProbeCore> core;
};

// The narration's last lines when a session ends, whoever ended it.
Events TeardownLines();
// The session has ended with its normal teardown and holds nothing; it said q last if a shell
// had shown itself, and never otherwise (a login program would take it for a user name).
enum class Farewell { ToTheShell, None };
void ExpectTornDown(SessionRig& rig, Farewell farewell = Farewell::ToTheShell);
// A normal session in the same rig, against a fresh simulator that takes any user and password:
// log in, one poll read back, Disconnect. Proves that whatever came before left the program
// ready for the next Connect. Only host and port are typed: a five-digit port stops the pull of
// the edits there, so user and password stay what the rig held.
void ExpectNormalSessionAfterwards(SessionRig& rig);

} // namespace approbe::test
