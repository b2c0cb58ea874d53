#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include "probe_window.h"
#include "profile.h"
#include "scanner.h"
#include "settings.h"
#include "sockets.h"

namespace approbe {

inline constexpr const char* StatusPrefix = "Test Korvane AP ";

// All state of the main dialog and its handlers, free of any toolkit: the front end forwards its
// button clicks and timer ticks here and implements the window operations. The handlers run on
// the UI thread; a session runs on a worker thread of its own.
class CProbeCore {
public:
    // After Disconnect, how long the access point may take to close the connection before the
    // session ends without it.
    static constexpr int kDisconnectGraceMs = 3000;

    CProbeCore(IProbeWindow& window, ISockets& sockets, IProfile& profile);
    // Ends any session and waits for its worker. The window must not make the worker wait for
    // the calling thread by then: a front end closes with BeginClose and WaitSessionEnd first.
    ~CProbeCore();
    CProbeCore(const CProbeCore&) = delete;
    CProbeCore& operator=(const CProbeCore&) = delete;

    void OnInitDialog();
    void OnOK();
    void OnTimer();
    void OnPause();
    void OnDisconnect();

    // Closing the program: ends the session at once, from whatever state it is in, and starts no
    // other. Window calls the worker makes from now on may be refused by the window.
    void BeginClose();
    // Waits up to timeout for every worker to finish; true when none is left.
    bool WaitSessionEnd(std::chrono::milliseconds timeout);

    const Measurements& measurements() const { return m_measure; }
    const SettingsTexts& settings() const { return m_settings; }
    bool polling() const { return m_bPolling; }

private:
    void SessionThreadProc();
    void RunSession();
    void ReceiveLoop(const std::string& host);
    bool Running() const { return m_bRunning && !m_sendShut; }
    void Teardown();
    // A start-up failure: release what was acquired and give Connect back.
    void AbandonStart(bool socketOpen);
    // Builds "%s\r" from text in the receive buffer and sends it; false if it does not fit.
    bool AnswerPrompt(const std::string& text, const char* what);
    void SendCommand(const char* text);
    void ReportStatus(const std::string& text);
    void LogLine(const std::string& text);

    IProbeWindow& m_window;
    ISockets& m_sockets;
    IProfile& m_profile;

    char m_recvBuf[512] = {};
    char m_sendBuf[80] = {};
    std::atomic<Socket> m_socket{kInvalidSocket};
    std::atomic<bool> m_bRunning{false};
    std::atomic<bool> m_bPolling{false};
    // Set by a Disconnect whose shutdown took effect on this session's socket. The worker
    // re-arms m_bRunning when its loop starts; this keeps such a click from being lost.
    std::atomic<bool> m_sendShut{false};
    unsigned m_nTimer = 0;
    int m_nPort = 0;
    Measurements m_measure;
    SettingsTexts m_settings;

    // The latest worker; each worker first joins the one before it, so joining this one joins all.
    std::thread m_worker;
    std::mutex m_workerMutex;
    std::condition_variable m_workerDoneCv;
    // Counted rather than flagged: a finishing worker must not mark its successor done.
    int m_activeWorkers = 0;
    std::atomic<bool> m_closing{false};
    // From Connect until the session has enabled Connect again.
    std::atomic<bool> m_sessionActive{false};
};

} // namespace approbe
