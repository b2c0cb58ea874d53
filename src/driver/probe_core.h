#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "consumers.h"
#include "probe_window.h"
#include "profile.h"
#include "session_engine.h"
#include "settings.h"
#include "sockets.h"

namespace approbe {
namespace ssh {
class SshLink;
}

// The dialog's driver of the session engine, free of any toolkit: the front end forwards its
// button clicks and timer ticks here and implements the window operations. The handlers run on
// the UI thread; a session's socket work runs on a worker thread of its own, which hands each
// block's window effects to the window as one batch and waits until they are on screen.
class CProbeCore {
public:
    // After Disconnect, how long the access point may take to close the connection before the
    // session ends without it.
    static constexpr int kDisconnectGraceMs = 3000;
    // One byte short of the session's 512-byte buffer, so a block is always zero-terminated.
    static constexpr std::size_t kRecvMax = 511;
    // SSH: from the connection to the open shell, as long as a telnet connect may take.
    static constexpr int kSshLoginTimeoutMs = 20000;

    CProbeCore(IProbeWindow& window, ISockets& sockets, IProfile& profile);
    // Ends any session and waits for its worker. The window must not make the worker wait for
    // the calling thread by then: a front end closes with BeginClose and WaitSessionEnd first.
    ~CProbeCore();
    CProbeCore(const CProbeCore&) = delete;
    CProbeCore& operator=(const CProbeCore&) = delete;

    void OnInitDialog();
    void OnOK();
    // A session started again by the program, not by Connect: the log and the last values stay,
    // so the attempts read as one story and the values stay in view (shown stale) meanwhile.
    void Reconnect();
    void OnTimer();
    void OnPause();
    void OnDisconnect();
    // The user's answer to the SSH host-key question (UI thread); ignored when none is open.
    void AnswerHostKey(HostKeyAnswer answer);

    // Closing the program: ends the session at once, from whatever state it is in, and starts no
    // other. Window calls the worker makes from now on may be refused by the window.
    void BeginClose();
    // Waits up to timeout for every worker to finish; true when none is left.
    bool WaitSessionEnd(std::chrono::milliseconds timeout);

    // Readings and state changes of every session, for consumers beside the window.
    ConsumerHub& consumers() { return m_consumers; }
    bool polling();
    SessionState state();
    Statistics stats();

private:
    void StartSession(bool byUser);
    void SessionThreadProc(bool byUser);
    void RunSession(bool byUser);
    // A start that failed before the connection: releases what was acquired, gives Connect back.
    enum class Held { Nothing, Layer, LayerAndSocket };
    void FailStart(Held held);
    void ReceiveLoop();
    // SSH: the worker alone calls libssh; the UI thread's sends, EOF and close reach it queued.
    void SshSession(const std::string& hostText, int port);
    // Hands the queued output to the link, then a queued close.
    void PumpSsh(ssh::SshLink& link);
    // False when the key is not to be trusted; the session has then ended, saying why.
    bool CheckHostKey(ssh::SshLink& link, const std::string& hostText, int port);
    // Shows the question and waits for the answer; Cancel when closing or Disconnect comes first.
    HostKeyAnswer AskHostKey(const HostKeyQuestion& question);
    // Cancels an open question (any thread).
    void CancelQuestion();
    // Feeds the engine (feed gets it and returns its actions) and carries the actions out in
    // their order: the I/O at once, the window effects as one batch, then the consumers.
    template <typename F> void Feed(F&& feed);
    void Flush(WindowBatch& batch);
    // Polling was switched off by Pause, not by the session's end or Disconnect.
    bool PausedMeanwhile();
    void ReportStatus(WindowBatch& batch, const std::string& text);

    IProbeWindow& m_window;
    ISockets& m_sockets;
    IProfile& m_profile;

    // The engine is fed by the worker (blocks) and the UI thread (ticks, Pause, Disconnect); each
    // feed is short and does no I/O, so this lock is never held across a wait.
    std::mutex m_engineMutex;
    SessionEngine m_engine;
    ConsumerHub m_consumers;

    std::atomic<Socket> m_socket{kInvalidSocket};
    // SSH, under m_engineMutex: the session's transport, and what waits for the worker to do.
    bool m_ssh = false;
    std::string m_sshOut;
    bool m_sshClose = false;

    std::mutex m_askMutex;
    std::condition_variable m_askCv;
    bool m_asking = false;
    std::optional<HostKeyAnswer> m_answer;
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
