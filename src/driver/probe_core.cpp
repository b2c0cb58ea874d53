#include "probe_core.h"

#include <cstring>
#include <optional>

#include "bars.h"
#include "control_ids.h"
#include "display.h"
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

void CProbeCore::OnInitDialog()
{
    LoadSettings(m_window, m_profile, m_settings);
    SaveSettings(m_window, m_profile, m_settings);
    WindowBatch bars;
    InitBars(bars);
    m_window.Apply(bars);
}

void CProbeCore::OnOK()
{
    if (m_closing || m_sessionActive)
        return;
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
    m_worker = std::thread([this, previous = std::move(m_worker)]() mutable {
        if (previous.joinable())
            previous.join();
        SessionThreadProc();
    });
}

void CProbeCore::SessionThreadProc()
{
    RunSession();
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
        return engine.Disconnect(m_sockets.Shutdown(m_socket, ShutdownHow::Send) == 0);
    });
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
    m_sockets.Abort();
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
    {
        // The I/O is done here, under the lock and in the engine's order, so that a tick on the
        // UI thread can never slip its polls in before a password answer the engine already made.
        // Sends never block; the window waits until the lock is released.
        std::lock_guard lock(m_engineMutex);
        const SessionActions actions = feed(m_engine);
        for (const SessionAction& a : actions) {
            switch (a.kind) {
            case Kind::Send: m_sockets.Send(m_socket, a.text.data(), a.text.size()); break;
            case Kind::Status: ReportStatus(batch, a.text); break;
            case Kind::Log: batch.AppendLog(a.text); break;
            case Kind::Caption: batch.SetCaption(a.text); break;
            case Kind::StartTimer: batch.StartTimer(); break;
            case Kind::StopTimer: batch.StopTimer(); break;
            case Kind::RxTotal: ShowRxTotal(batch, a.count); break;
            case Kind::PollingOn: batch.SetPauseCaption("Pause"); break;
            case Kind::GreyBars: GreyAllBars(batch); break;
            case Kind::Reading: {
                ShowReading(batch, a.reading, a.stats);
                SessionUpdate& update = updates.emplace_back();
                update.host = m_engine.params().host;
                update.reading = a.reading;
                break;
            }
            case Kind::Close:
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
    }
    // One hand-off to the window for the whole step, after the I/O it follows.
    Flush(batch);
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

void CProbeCore::RunSession()
{
    SaveSettings(m_window, m_profile, m_settings);
    SockAddrIn address{};
    const std::string host = m_settings.m_strHost;
    Feed([&](SessionEngine& engine) { return engine.Begin({host, m_settings.m_strUser, m_settings.m_strPassword}); });

    WindowBatch batch;
    for (int id : {IDC_NOISE_CUR, IDC_NOISE_AVG, IDC_LOCAL_RSSI_CUR, IDC_REMOTE_RSSI_CUR, IDC_NOISE_MIN,
                   IDC_NOISE_MAX, IDC_LOCAL_RSSI_MAX, IDC_LOCAL_RSSI_MIN})
        batch.SetField(id, " ");
    Flush(batch);

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
    address.addr = m_sockets.InetAddr(host);
    if (address.addr == kInaddrNone && !m_sockets.LookupHost(host, address.family, address.addr)) {
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
                timeoutMs = static_cast<int>(
                    std::chrono::ceil<std::chrono::milliseconds>(*graceEnds - Clock::now()).count());
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

} // namespace approbe
