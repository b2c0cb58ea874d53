#include "probe_core.h"

#include <cstdio>
#include <cstring>
#include <optional>

#include "bars.h"
#include "control_ids.h"
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

void CProbeCore::OnInitDialog()
{
    LoadSettings(m_window, m_profile, m_settings);
    SaveSettings(m_window, m_profile, m_settings);
    InitBars(m_window);
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
    if (!m_bPolling || m_closing)
        return;
    SendCommand("get station");
    SendCommand("\r\n");
    SendCommand("get nf");
    SendCommand("\r\n");
}

void CProbeCore::OnPause()
{
    if (m_window.PauseCaption().find("Pause") != std::string::npos) {
        m_window.SetPauseCaption("Work");
        m_bPolling = false;
    } else {
        m_window.SetPauseCaption("Pause");
        m_bPolling = true;
    }
}

void CProbeCore::OnDisconnect()
{
    m_bPolling = false;
    if (m_sockets.Shutdown(m_socket, ShutdownHow::Send) == 0)
        m_sendShut = true;
    m_bRunning = false;
    // The worker may be blocked in its receive; it then waits a little for the access point
    // to close, and no longer.
    m_sockets.WakeReceiver();
}

void CProbeCore::BeginClose()
{
    m_closing = true;
    m_bPolling = false;
    m_bRunning = false;
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

void CProbeCore::SendCommand(const char* text)
{
    std::snprintf(m_sendBuf, sizeof m_sendBuf, "%s", text);
    m_sockets.Send(m_socket, m_sendBuf, std::strlen(m_sendBuf));
}

void CProbeCore::LogLine(const std::string& text)
{
    m_window.AppendLog(text);
}

void CProbeCore::ReportStatus(const std::string& text)
{
    const std::string line = StatusPrefix + text;
    m_window.SetCaption(line);
    m_window.AppendLog(line);
}

void CProbeCore::AbandonStart(bool socketOpen)
{
    if (socketOpen) {
        m_sockets.Close(m_socket);
        m_socket = kInvalidSocket;
    }
    m_sockets.Cleanup();
    m_sessionActive = false;
    m_window.EnableConnect(true);
}

void CProbeCore::RunSession()
{
    SaveSettings(m_window, m_profile, m_settings);
    SockAddrIn address{};
    m_sendShut = false; // before this session has a socket to shut

    for (int id : {IDC_NOISE_CUR, IDC_NOISE_AVG, IDC_LOCAL_RSSI_CUR, IDC_REMOTE_RSSI_CUR, IDC_NOISE_MIN,
                   IDC_NOISE_MAX, IDC_LOCAL_RSSI_MAX, IDC_LOCAL_RSSI_MIN})
        m_window.SetField(id, " ");

    std::uint16_t version = 0;
    if (m_sockets.Startup(kSocketsVersion, version) != 0) {
        ReportStatus("\nWINSOCK.DLL does not responding\n");
        m_sessionActive = false;
        m_window.EnableConnect(true);
        return;
    }
    const int major = version & 0xFF;
    const int minor = version >> 8;
    if (major < 1 || (major == 1 && minor < 1)) {
        ReportStatus(Format("\nWindows Sockets version %d.%d is not supported by WINSOCK.DLL", major, minor));
        AbandonStart(false);
        return;
    }
    LogLine("WinSock Initialized ");

    m_socket = m_sockets.CreateTcpSocket();
    if (m_socket == kInvalidSocket) {
        ReportStatus(Format("\nWindows Socket error %d: Couldn't create socket.\n", m_sockets.LastError()));
        AbandonStart(false);
        return;
    }
    LogLine("SOCKET created");

    m_nPort = ParseInt(m_settings.m_strPort);
    LogLine(Format("Port = %d", m_nPort));

    const std::string host = m_settings.m_strHost;
    const std::string probing = " " + host + " probe ...";
    LogLine(probing);
    m_window.SetCaption(StatusPrefix + probing);

    address.family = kAfInet;
    address.port = HostToNet16(m_nPort);
    address.addr = m_sockets.InetAddr(host);
    if (address.addr == kInaddrNone && !m_sockets.LookupHost(host, address.family, address.addr)) {
        ReportStatus("Cannot resolve host name:" + host);
        AbandonStart(true);
        return;
    }

    if (m_sockets.Connect(m_socket, address) != 0) {
        const std::string failed = "Couldn't connect to " + host + " ";
        LogLine(failed);
        m_sockets.Close(m_socket);
        m_socket = kInvalidSocket;
        m_sockets.Cleanup();
        m_sessionActive = false;
        m_window.EnableConnect(true);
        m_window.SetCaption(StatusPrefix + failed);
        return;
    }
    ReportStatus("Login to " + host);

    m_bPolling = false;
    m_nTimer = m_window.StartTimer();

    std::memset(m_recvBuf, 0, sizeof m_recvBuf);
    m_measure.Reset();
    m_bRunning = !m_closing;

    ReceiveLoop(host);
    Teardown();
}

void CProbeCore::ReceiveLoop(const std::string& host)
{
    using Clock = std::chrono::steady_clock;
    // One byte short of the buffer, so that its last zero always terminates the block.
    const std::size_t kRecvMax = sizeof m_recvBuf - 1;
    std::optional<Clock::time_point> graceEnds;
    for (;;) {
        int timeoutMs = kNoTimeout;
        if (!Running()) {
            // Our sending side is shut: give the access point a moment to close in turn, no longer.
            if (!graceEnds)
                graceEnds = Clock::now() + std::chrono::milliseconds(kDisconnectGraceMs);
            timeoutMs = static_cast<int>(
                std::chrono::ceil<std::chrono::milliseconds>(*graceEnds - Clock::now()).count());
            if (timeoutMs <= 0)
                break;
        }
        const long n = m_sockets.Recv(m_socket, m_recvBuf, kRecvMax, timeoutMs);
        if (n == kRecvWoken)
            continue; // a Disconnect click, looked at above; one from before the loop started wakes for nothing
        if (n == kRecvTimedOut || n == 0 || !Running() || n < 0)
            break;

        m_measure.m_nRxTotal += n;
        m_window.SetField(IDC_RX_BYTES, std::to_string(m_measure.m_nRxTotal));

        if (std::strstr(m_recvBuf, "login:"))
            AnswerPrompt(m_settings.m_strUser, "User name");
        if (std::strstr(m_recvBuf, "Password:")) {
            ReportStatus("to " + host + " connected");
            AnswerPrompt(m_settings.m_strPassword, "Password");
            m_bPolling = true;
        }
        ScanReply(m_recvBuf, m_measure, m_window);
        std::memset(m_recvBuf, 0, sizeof m_recvBuf);
    }
}

bool CProbeCore::AnswerPrompt(const std::string& text, const char* what)
{
    // The answer replaces the received block, as the checks after it expect.
    if (text.size() + 2 > sizeof m_recvBuf) {
        std::memset(m_recvBuf, 0, sizeof m_recvBuf);
        LogLine(Format("%s too long to send (at most %zu characters)", what, sizeof m_recvBuf - 2));
        return false;
    }
    std::snprintf(m_recvBuf, sizeof m_recvBuf, "%s\r", text.c_str());
    m_sockets.Send(m_socket, m_recvBuf, std::strlen(m_recvBuf));
    return true;
}

void CProbeCore::Teardown()
{
    GreyAllBars(m_window);
    m_window.StopTimer(m_nTimer);
    m_nTimer = 0;
    SendCommand("q");
    SendCommand("\r");
    m_sockets.Close(m_socket);
    m_socket = kInvalidSocket;
    ReportStatus("SOCKET closed");
    m_sockets.Cleanup();
    LogLine("De-Initialized WinSock");
    m_sessionActive = false;
    m_window.EnableConnect(true);
    m_window.SetCaption("Test Korvane AP DISCONNECT");
}

} // namespace approbe
