#include "probe_core.h"

#include <cstring>
#include <optional>
#include <utility>

#include "bars.h"
#include "control_ids.h"
#include "display.h"
#include "known_hosts.h"
#include "ssh_link.h"
#include "text.h"

namespace approbe {
namespace {

constexpr std::uint16_t kSocketsVersion = 0x0101;

// The low 16 bits of port in network byte order, whatever the host's order.
std::uint16_t HostToNet16(int port)
{
    const unsigned char bytes[2] = {static_cast<unsigned char>(port >> 8), static_cast<unsigned char>(port)};
    std::uint16_t net;
    std::memcpy(&net, bytes, sizeof net);
    return net;
}

// Milliseconds left until deadline, rounded up: a wait that ends early would only go round again.
int MsUntil(std::chrono::steady_clock::time_point deadline)
{
    return static_cast<int>(
        std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count());
}

} // namespace

CProbeCore::CProbeCore(IProbeWindow& window, ISockets& sockets, IProfile& profile)
    : m_window(window), m_sockets(sockets), m_profile(profile)
{
}

CProbeCore::~CProbeCore()
{
    BeginClose();
    if (m_worker.joinable())
        m_worker.join();
}

bool CProbeCore::polling()
{
    std::lock_guard lock(m_engineMutex);
    return m_engine.polling();
}

SessionState CProbeCore::state()
{
    std::lock_guard lock(m_engineMutex);
    return m_engine.state();
}

Statistics CProbeCore::stats()
{
    std::lock_guard lock(m_engineMutex);
    return m_engine.stats();
}

bool CProbeCore::PausedMeanwhile()
{
    std::lock_guard lock(m_engineMutex);
    const SessionState state = m_engine.state();
    return !m_engine.polling() && (state == SessionState::LoggingIn || state == SessionState::LoggedIn);
}

void CProbeCore::OnInitDialog()
{
    LoadSettings(m_window, m_profile, m_settings);
    SaveSettings(m_window, m_profile, m_settings);
    WindowBatch bars;
    InitBars(bars);
    m_window.Apply(bars);
}

void CProbeCore::OnOK() { StartSession(true); }

void CProbeCore::Reconnect() { StartSession(false); }

void CProbeCore::StartSession(bool byUser)
{
    if (m_closing || m_sessionActive)
        return;
    if (byUser)
        m_window.ClearLog();
    UpdateData(m_window, m_settings, true);
    m_window.EnableConnect(false);
    m_sessionActive = true;
    {
        std::lock_guard lock(m_workerMutex);
        ++m_activeWorkers;
    }
    // The previous worker may still be finishing its last window call, which needs this (the UI)
    // thread: so the new worker, not this thread, waits for it.
    m_worker = std::thread([this, byUser, previous = std::move(m_worker)]() mutable {
        if (previous.joinable())
            previous.join();
        SessionThreadProc(byUser);
    });
}

void CProbeCore::SessionThreadProc(bool byUser)
{
    RunSession(byUser);
    std::lock_guard lock(m_workerMutex);
    --m_activeWorkers;
    m_workerDoneCv.notify_all();
}

void CProbeCore::OnTimer()
{
    if (m_closing)
        return;
    Feed([](SessionEngine& engine) { return engine.Tick(); });
}

void CProbeCore::OnPause()
{
    const bool pause = m_window.PauseCaption().find("Pause") != std::string::npos;
    m_window.SetPauseCaption(pause ? "Work" : "Pause");
    std::lock_guard lock(m_engineMutex);
    m_engine.SetPolling(!pause);
}

void CProbeCore::OnDisconnect()
{
    // Under the engine's lock, so the shutdown and the state it leads to cannot straddle the
    // moment the worker reports the connection.
    Feed([this](SessionEngine& engine) {
        if (m_ssh) // the worker ends it: libssh is called on its thread only
            return engine.Disconnect(m_socket != kInvalidSocket);
        return engine.Disconnect(m_sockets.Shutdown(m_socket, ShutdownHow::Send) == 0);
    });
    CancelQuestion();
    // The worker may be blocked in its receive; it then waits a little for the access point
    // to close, and no longer.
    m_sockets.WakeReceiver();
}

void CProbeCore::BeginClose()
{
    m_closing = true;
    {
        std::lock_guard lock(m_engineMutex);
        m_engine.SetPolling(false);
    }
    CancelQuestion();
    m_sockets.Abort();
}

void CProbeCore::CancelQuestion()
{
    std::lock_guard lock(m_askMutex);
    if (m_asking && !m_answer)
        m_answer = HostKeyAnswer::Cancel;
    m_askCv.notify_all();
}

void CProbeCore::AnswerHostKey(HostKeyAnswer answer)
{
    std::lock_guard lock(m_askMutex);
    if (m_asking && !m_answer)
        m_answer = answer;
    m_askCv.notify_all();
}

bool CProbeCore::WaitSessionEnd(std::chrono::milliseconds timeout)
{
    std::unique_lock lock(m_workerMutex);
    if (!m_workerDoneCv.wait_for(lock, timeout, [this] { return m_activeWorkers == 0; }))
        return false;
    lock.unlock();
    if (m_worker.joinable())
        m_worker.join();
    return true;
}

void CProbeCore::ReportStatus(WindowBatch& batch, const std::string& text)
{
    const std::string line = StatusPrefix + text;
    batch.SetCaption(line);
    batch.AppendLog(line);
}

void CProbeCore::Flush(WindowBatch& batch)
{
    if (batch.empty())
        return;
    m_window.Apply(batch);
    batch.clear();
}

template <typename F> void CProbeCore::Feed(F&& feed)
{
    using Kind = SessionAction::Kind;
    WindowBatch batch;
    std::vector<SessionUpdate> updates;
    bool pollingOn = false;
    bool wakeWorker = false;
    {
        // The I/O is done here, under the lock and in the engine's order, so that a tick on the
        // UI thread can never slip its polls in before a password answer the engine already made.
        // Sends never block; the window waits until the lock is released.
        std::lock_guard lock(m_engineMutex);
        const SessionActions actions = feed(m_engine);
        ReadingsToShow readings;
        for (const SessionAction& a : actions) {
            if (a.kind != Kind::Reading)
                readings.Show(batch); // in their place among the window's other changes
            switch (a.kind) {
            case Kind::Send:
                if (m_ssh) {
                    m_sshOut += a.text;
                    wakeWorker = true;
                } else {
                    m_sockets.Send(m_socket, a.text.data(), a.text.size());
                }
                break;
            case Kind::Status: ReportStatus(batch, a.text); break;
            case Kind::Log: batch.AppendLog(a.text); break;
            case Kind::Caption: batch.SetCaption(a.text); break;
            case Kind::StartTimer: batch.StartTimer(); break;
            case Kind::StopTimer: batch.StopTimer(); break;
            case Kind::RxTotal: ShowRxTotal(batch, a.count); break;
            case Kind::PollingOn:
                batch.SetPauseCaption("Pause");
                pollingOn = true;
                break;
            case Kind::GreyBars: GreyAllBars(batch); break;
            case Kind::Reading: {
                readings.Add(a.reading, a.stats);
                SessionUpdate& update = updates.emplace_back();
                update.host = m_engine.params().host;
                update.reading = a.reading;
                break;
            }
            case Kind::Close:
                m_sshClose = m_ssh;
                m_sockets.Close(m_socket);
                m_socket = kInvalidSocket;
                break;
            case Kind::ReleaseLayer: m_sockets.Cleanup(); break;
            case Kind::EnableConnect:
                m_sessionActive = false;
                batch.EnableConnect(true);
                break;
            case Kind::State: {
                SessionUpdate& update = updates.emplace_back();
                update.kind = SessionUpdate::Kind::State;
                update.host = m_engine.params().host;
                update.state = a.state;
                update.end = a.end;
                break;
            }
            }
        }
        readings.Show(batch);
    }
    if (wakeWorker)
        m_sockets.WakeReceiver(); // a send from the UI thread; from the worker it costs one extra turn
    // One hand-off to the window for the whole step, after the I/O it follows.
    Flush(batch);
    if (pollingOn && PausedMeanwhile()) {
        // Pause was pressed while the batch was on its way: the button must offer Work again.
        batch.SetPauseCaption("Work");
        Flush(batch);
    }
    for (const SessionUpdate& update : updates)
        m_consumers.Publish(update);
}

void CProbeCore::FailStart(Held held)
{
    if (held == Held::LayerAndSocket) {
        m_sockets.Close(m_socket);
        m_socket = kInvalidSocket;
    }
    if (held != Held::Nothing)
        m_sockets.Cleanup();
    Feed([](SessionEngine& engine) {
        SessionActions failed = engine.StartFailed();
        failed.emplace_back(SessionAction::Kind::EnableConnect);
        return failed;
    });
}

void CProbeCore::RunSession(bool byUser)
{
    SaveSettings(m_window, m_profile, m_settings);
    SockAddrIn address{};
    const std::string host = m_settings.m_strHost;
    const bool ssh = IsSshHost(host);
    Feed([&](SessionEngine& engine) {
        m_ssh = ssh;
        m_sshOut.clear();
        m_sshClose = false;
        return engine.Begin(ssh ? SessionParams::OverTerminal(host, m_settings.m_strUser, m_settings.m_strPassword)
                                : SessionParams{host, m_settings.m_strUser, m_settings.m_strPassword});
    });

    WindowBatch batch;
    if (byUser) {
        for (int id : {IDC_NOISE_CUR, IDC_NOISE_AVG, IDC_LOCAL_RSSI_CUR, IDC_REMOTE_RSSI_CUR, IDC_NOISE_MIN,
                       IDC_NOISE_MAX, IDC_LOCAL_RSSI_MAX, IDC_LOCAL_RSSI_MIN})
            batch.SetField(id, " ");
        Flush(batch);
    }

    std::uint16_t version = 0;
    if (m_sockets.Startup(kSocketsVersion, version) != 0) {
        ReportStatus(batch, "\nWINSOCK.DLL does not responding\n");
        Flush(batch);
        FailStart(Held::Nothing);
        return;
    }
    const int major = version & 0xFF;
    const int minor = version >> 8;
    if (major < 1 || (major == 1 && minor < 1)) {
        ReportStatus(batch, Format("\nWindows Sockets version %d.%d is not supported by WINSOCK.DLL", major, minor));
        Flush(batch);
        FailStart(Held::Layer);
        return;
    }
    batch.AppendLog("WinSock Initialized ");
    Flush(batch);

    m_socket = m_sockets.CreateTcpSocket();
    if (m_socket == kInvalidSocket) {
        ReportStatus(batch, Format("\nWindows Socket error %d: Couldn't create socket.\n", m_sockets.LastError()));
        Flush(batch);
        FailStart(Held::Layer);
        return;
    }
    batch.AppendLog("SOCKET created");
    const int port = ParseInt(m_settings.m_strPort);
    batch.AppendLog(Format("Port = %d", port));
    const std::string probing = " " + host + " probe ...";
    batch.AppendLog(probing);
    batch.SetCaption(StatusPrefix + probing);
    Flush(batch);

    address.family = kAfInet;
    address.port = HostToNet16(port);
    const std::string name = HostName(host);
    address.addr = m_sockets.InetAddr(name);
    if (address.addr == kInaddrNone && !m_sockets.LookupHost(name, address.family, address.addr)) {
        ReportStatus(batch, "Cannot resolve host name:" + host);
        Flush(batch);
        FailStart(Held::LayerAndSocket);
        return;
    }

    if (m_sockets.Connect(m_socket, address) != 0) {
        const std::string failed = "Couldn't connect to " + host + " ";
        batch.AppendLog(failed);
        Flush(batch);
        FailStart(Held::LayerAndSocket);
        // This one failure names itself in the caption after Connect is back.
        batch.SetCaption(StatusPrefix + failed);
        Flush(batch);
        return;
    }

    if (ssh)
        return SshSession(host, port);
    Feed([](SessionEngine& engine) { return engine.Connected(); });
    ReceiveLoop();
}

void CProbeCore::ReceiveLoop()
{
    using Clock = std::chrono::steady_clock;
    char buffer[kRecvMax + 1];
    std::optional<Clock::time_point> graceEnds;
    for (;;) {
        int timeoutMs = kNoTimeout;
        bool graceOver = false;
        {
            std::lock_guard lock(m_engineMutex);
            if (!m_engine.live())
                return;
            if (m_engine.state() == SessionState::Closing) {
                // Our sending side is shut: give the access point a moment to close in turn, no longer.
                if (!graceEnds)
                    graceEnds = Clock::now() + std::chrono::milliseconds(kDisconnectGraceMs);
                timeoutMs = MsUntil(*graceEnds);
                graceOver = timeoutMs <= 0;
            }
        }
        const long n = graceOver ? kRecvTimedOut : m_sockets.Recv(m_socket, buffer, kRecvMax, timeoutMs);
        if (n == kRecvWoken)
            continue; // a Disconnect click, looked at above; one from before the loop started wakes for nothing
        Feed([&](SessionEngine& engine) {
            if (n == kRecvTimedOut)
                return engine.TimedOut();
            if (n == 0)
                return engine.PeerClosed();
            if (n < 0)
                return engine.ReceiveFailed();
            return engine.Received({buffer, static_cast<std::size_t>(n)}, std::chrono::system_clock::now());
        });
    }
}

void CProbeCore::SshSession(const std::string& hostText, int port)
{
    using Clock = std::chrono::steady_clock;
    Feed([](SessionEngine& engine) { return engine.Connected(); });
    ssh::SshLink link(m_sockets.NativeHandle(m_socket),
                      {HostName(hostText), port, m_settings.m_strUser, m_settings.m_strPassword});
    const auto loginEnds = Clock::now() + std::chrono::milliseconds(kSshLoginTimeoutMs);
    bool open = false;
    for (;;) {
        if (!open) {
            switch (link.Advance()) {
            case ssh::SshLink::Step::Working: break;
            case ssh::SshLink::Step::HostKeyCheck:
                if (!CheckHostKey(link, hostText, port)) {
                    PumpSsh(link);
                    return link.Close();
                }
                link.TrustHostKey();
                continue;
            case ssh::SshLink::Step::Open:
                open = true;
                Feed([](SessionEngine& engine) { return engine.LoggedInByTransport(); });
                break;
            case ssh::SshLink::Step::Rejected: Feed([](SessionEngine& engine) { return engine.LoginRejected(); }); break;
            case ssh::SshLink::Step::Failed: {
                WindowBatch batch;
                batch.AppendLog("SSH: " + link.error());
                Flush(batch);
                Feed([](SessionEngine& engine) { return engine.ReceiveFailed(); });
                break;
            }
            }
        }
        if (open) {
            std::string data;
            const ssh::SshLink::ReadResult read = link.Read(data);
            if (!data.empty())
                Feed([&](SessionEngine& engine) { return engine.Received(data, std::chrono::system_clock::now()); });
            if (read == ssh::SshLink::ReadResult::Ended)
                Feed([](SessionEngine& engine) { return engine.PeerClosed(); });
            else if (read == ssh::SshLink::ReadResult::Failed)
                Feed([](SessionEngine& engine) { return engine.ReceiveFailed(); });
        }
        PumpSsh(link);

        int timeoutMs = kNoTimeout;
        bool endNow = false;
        {
            std::lock_guard lock(m_engineMutex);
            if (!m_engine.live())
                break;
            if (m_engine.state() == SessionState::Closing) {
                // Disconnect: a shell on a terminal takes no end-of-file as its end, so nothing is
                // waited for: the farewell, then EOF, the channel closed, disconnected.
                endNow = true;
            } else if (!open) {
                timeoutMs = std::max(MsUntil(loginEnds), 0);
            }
        }
        const long ready = endNow ? kRecvTimedOut : m_sockets.WaitReady(m_socket, link.WantsWrite(), timeoutMs);
        if (ready == kRecvTimedOut)
            Feed([](SessionEngine& engine) { return engine.TimedOut(); });
        else if (ready < 0 && ready != kRecvWoken)
            Feed([](SessionEngine& engine) { return engine.ReceiveFailed(); });
        else if (ready == 1 && link.WantsWrite())
            link.FlushOutput();
        PumpSsh(link);
    }
    PumpSsh(link);
    link.Close();
}

void CProbeCore::PumpSsh(ssh::SshLink& link)
{
    std::string out;
    bool close = false;
    {
        std::lock_guard lock(m_engineMutex);
        out.swap(m_sshOut);
        close = std::exchange(m_sshClose, false);
    }
    if (!out.empty())
        link.Write(out);
    if (close)
        link.Close();
}

bool CProbeCore::CheckHostKey(ssh::SshLink& link, const std::string& hostText, int port)
{
    const std::string name = ssh::KnownHostsName(HostName(hostText), port);
    const ssh::HostKeyVerdict verdict = ssh::CheckHostKey(ssh::ReadKnownHosts(), name, link.keyType(), link.keyBlob());
    std::string refusal;
    if (verdict.status == ssh::HostKeyStatus::Known)
        return true;
    if (verdict.status != ssh::HostKeyStatus::Unknown) {
        refusal = ssh::RefusalText(hostText, verdict);
    } else {
        const HostKeyAnswer answer =
            AskHostKey({HostName(hostText), port, link.keyType(), ssh::Sha256Fingerprint(link.keyBlob())});
        if (answer == HostKeyAnswer::ConnectOnce)
            return true;
        if (answer == HostKeyAnswer::TrustAndSave) {
            WindowBatch batch;
            std::string error;
            batch.AppendLog(ssh::SaveHostKey(name, link.keyType(), link.keyBlob(), error)
                                ? "Host key of " + hostText + " saved in " + ssh::AppKnownHostsPath()
                                : "Host key not saved: " + error);
            Flush(batch);
            return true;
        }
        refusal = "Host key of " + hostText + " not trusted";
    }
    Feed([&](SessionEngine& engine) { return engine.HostKeyRefused(refusal); });
    return false;
}

HostKeyAnswer CProbeCore::AskHostKey(const HostKeyQuestion& question)
{
    {
        std::lock_guard lock(m_askMutex);
        m_asking = true;
        m_answer.reset();
    }
    // A Disconnect or close that came before the question was open cancels it too.
    if (m_closing || state() == SessionState::Closing)
        CancelQuestion();
    m_window.AskHostKey(question);
    std::unique_lock lock(m_askMutex);
    // No time limit: the user may take as long as they like; closing and Disconnect cancel.
    m_askCv.wait(lock, [this] { return m_answer.has_value(); });
    const HostKeyAnswer answer = *m_answer;
    m_asking = false;
    lock.unlock();
    if (answer == HostKeyAnswer::Cancel)
        m_window.WithdrawHostKeyQuestion();
    return answer;
}

} // namespace approbe
