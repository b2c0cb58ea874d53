#pragma once

#include <memory>
#include <string>

#include "fake_sockets.h"
#include "fake_window.h"
#include "probe_core.h"
#include "profile.h"
#include "temp_dir.h"

namespace approbe::test {

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
    ~SessionRig();

    // The buttons and the timer tick, on the test thread acting as the UI thread.
    void Connect() { window.onUiThread([this] { core->OnOK(); }); }
    void Tick() { window.onUiThread([this] { core->OnTimer(); }); }
    void Pause() { window.onUiThread([this] { core->OnPause(); }); }
    void Disconnect() { window.onUiThread([this] { core->OnDisconnect(); }); }
    // Waits for the session's worker to end.
    bool WaitEnd(std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // The events that narrate the session: log lines, captions and the Connect button.
    std::vector<std::string> Narration();

    TempDir dir;
    IniProfile profile;
    FakeWindow window;
    FakeSockets sockets;
    std::unique_ptr<CProbeCore> core;
};

inline const std::string kPrefix = "Test Korvane AP ";

} // namespace approbe::test
