#include "presenter.h"

#include <utility>

#include "bars.h"
#include "control_ids.h"
#include "display.h"
#include "text.h"

namespace approbe::ui {
namespace {

using session::HostKeyAnswer;
using session::Reading;
using session::SessionAction;
using session::SessionEnd;
using session::SessionEvent;
using session::SessionState;

constexpr int kValueFields[] = {IDC_NOISE_CUR, IDC_NOISE_AVG, IDC_LOCAL_RSSI_CUR, IDC_REMOTE_RSSI_CUR,
                                IDC_NOISE_MIN, IDC_NOISE_MAX, IDC_LOCAL_RSSI_MAX, IDC_LOCAL_RSSI_MIN};

// The endings the user did not ask for and could not tell from the log's last lines.
bool NamedInCaption(SessionEnd end)
{
    return end == SessionEnd::LoginRejected || end == SessionEnd::Silent || end == SessionEnd::HostKeyRefused;
}

} // namespace

CProbePresenter::CProbePresenter(IProbeWindow& window, IProfile& profile, UiPoster post, PresenterOptions options)
    : m_window(window), m_profile(profile), m_options(options),
      m_handoff(std::make_shared<SessionHandoff>(std::move(post),
                                                 [this](std::vector<HandedOver>& entries) { Show(entries); })),
      m_worker(options.deadlines, m_handoff)
{
}

CProbePresenter::~CProbePresenter() { BeginClose(); }

void CProbePresenter::OnInitDialog()
{
    LoadSettings(m_window, m_profile, m_settings);
    Save();
    WindowBatch bars;
    InitBars(bars);
    m_window.Apply(bars);
}

void CProbePresenter::Save()
{
    SaveSettings(m_window, m_profile, m_settings, !m_keeper);
    if (m_keeper)
        m_keeper(m_settings);
}

session::SessionSetup CProbePresenter::Setup() const
{
    session::SessionSetup setup;
    setup.host = m_settings.m_strHost;
    setup.port = Port(m_settings);
    setup.user = m_settings.m_strUser;
    setup.password = m_settings.m_strPassword;
    setup.pollPeriod = m_options.pollPeriod;
    setup.hostKeys = session::HostKeyPolicy::Ask;
    setup.retry = session::RetryPolicy::Dialog();
    setup.retry.enabled = m_autoReconnect;
    setup.device = m_device;
    return setup;
}

void CProbePresenter::OnOK()
{
    if (m_closing || m_sessionActive)
        return;
    m_window.ClearLog();
    UpdateData(m_window, m_settings, true);
    m_window.EnableConnect(false);
    m_sessionActive = true;
    Save();
    m_host = m_settings.m_strHost;
    m_port = Port(m_settings);
    m_captionAfterEnd.reset();
    m_retryPending = false;
    m_pausedThisAttempt = false;
    WindowBatch blank;
    for (int id : kValueFields)
        blank.SetField(id, kNoValue);
    SetStale(blank, false);
    m_window.Apply(blank);
    m_worker.Start(Setup());
}

void CProbePresenter::OnPause()
{
    m_paused = !m_paused;
    m_pausedThisAttempt = m_paused;
    m_window.SetPauseCaption(m_paused ? "Work" : "Pause");
    m_worker.SetPolling(!m_paused);
}

void CProbePresenter::OnDisconnect()
{
    if (m_retryPending) { // between attempts: the next one is called off
        m_retryPending = false;
        WindowBatch batch;
        SetStale(batch, false);
        m_window.Apply(batch);
    }
    m_worker.Disconnect();
}

void CProbePresenter::AnswerHostKey(HostKeyAnswer answer)
{
    if (!m_asking)
        return;
    m_asking = false;
    m_worker.AnswerHostKey(answer);
}

void CProbePresenter::SetAutoReconnect(bool on)
{
    m_autoReconnect = on;
    if (!on)
        m_retryPending = false;
    m_worker.SetRetry(on);
    if (!on && !m_sessionActive && m_stale) {
        WindowBatch batch;
        SetStale(batch, false);
        m_window.Apply(batch);
    }
}

void CProbePresenter::PollNow() { m_worker.PollNow(); }

void CProbePresenter::BeginClose()
{
    m_closing = true;
    m_handoff->Close();
    m_worker.Stop(); // every session ends with its farewell, bounded by the loop's deadlines
}

void CProbePresenter::Show(std::vector<HandedOver>& entries)
{
    WindowBatch batch;
    for (const HandedOver& entry : entries) {
        if (entry.event)
            Show(batch, *entry.event);
        else
            ShowValues(batch, entry);
    }
    if (!batch.empty())
        m_window.Apply(batch);
}

void CProbePresenter::ShowValues(WindowBatch& batch, const HandedOver& values)
{
    if (values.rxTotal)
        ShowRxTotal(batch, *values.rxTotal);
    if (values.readings.empty())
        return;
    SetStale(batch, false);
    m_values.Show(batch, values.readings);
    if (m_listener)
        for (const Reading& reading : values.readings.readings)
            m_listener->OnReading(m_host, reading);
}

void CProbePresenter::ReportStatus(WindowBatch& batch, const std::string& text)
{
    const std::string line = StatusPrefix + text;
    batch.SetCaption(line);
    batch.AppendLog(line);
}

void CProbePresenter::SetStale(WindowBatch& batch, bool stale)
{
    if (stale == m_stale)
        return;
    m_stale = stale;
    batch.SetStale(stale);
}

void CProbePresenter::Show(WindowBatch& batch, const SessionEvent& event)
{
    using Kind = SessionEvent::Kind;
    switch (event.kind) {
    case Kind::Attempt: {
        m_retryPending = false;
        if (event.count > 0) { // started again by the program: the log and the values stay
            m_pausedThisAttempt = false;
            batch.EnableConnect(false);
            m_sessionActive = true;
            m_captionAfterEnd.reset();
        }
        batch.AppendLog("WinSock Initialized ");
        batch.AppendLog("SOCKET created");
        batch.AppendLog(Format("Port = %d", m_port));
        const std::string probing = " " + m_host + " probe ...";
        batch.AppendLog(probing);
        batch.SetCaption(StatusPrefix + probing);
        break;
    }
    case Kind::ResolveFailed: ReportStatus(batch, "Cannot resolve host name:" + m_host); break;
    case Kind::ConnectFailed: {
        const std::string failed = "Couldn't connect to " + m_host + " ";
        batch.AppendLog(failed);
        m_captionAfterEnd = StatusPrefix + failed; // named in the caption once Connect is back
        break;
    }
    case Kind::HostKeyQuestion:
        m_asking = true;
        m_window.AskHostKey(event.question);
        break;
    case Kind::HostKeyChanged: m_window.WarnHostKeyChanged(event.warning); break;
    case Kind::Note: batch.AppendLog(event.text); break;
    case Kind::Stale:
        SetStale(batch, event.flag);
        batch.AppendLog(event.flag ? Format("No answer from %s for %d s", m_host.c_str(),
                                            static_cast<int>(m_options.deadlines.stalePolls *
                                                             std::max<long long>(m_options.pollPeriod.count(), 1000) / 1000))
                                   : m_host + " answers again");
        break;
    case Kind::Retrying:
        m_retryPending = true;
        SetStale(batch, true); // the values on screen are the last attempt's
        batch.AppendLog(Format("Reconnecting to %s in %d s", m_host.c_str(),
                               static_cast<int>(std::chrono::ceil<std::chrono::seconds>(event.delay).count())));
        break;
    case Kind::Polled:
    case Kind::HostKeyRefused: break; // the engine's status line says it
    case Kind::Engine: {
        const SessionAction& a = event.action;
        switch (a.kind) {
        case SessionAction::Kind::Status: ReportStatus(batch, a.text); break;
        case SessionAction::Kind::Log: batch.AppendLog(a.text); break;
        case SessionAction::Kind::PollingOn: PollingOn(batch); break;
        case SessionAction::Kind::Device: {
            const int gives = static_cast<int>(a.count);
            ShowNotGiven(batch, gives);
            if (m_listener)
                m_listener->OnLevelsGiven(gives);
            break;
        }
        case SessionAction::Kind::State:
            m_state = a.state;
            if (a.state == SessionState::Starting)
                m_values.Restart(); // each attempt's statistics start afresh
            if (a.state == SessionState::Ended)
                Ended(batch, a.end);
            break;
        default: break;
        }
        break;
    }
    }
}

void CProbePresenter::PollingOn(WindowBatch& batch)
{
    // The login has turned polling on. A pause pressed in this attempt stands (the loop may have
    // taken it before the login or after); one from an earlier attempt gives way, and the button
    // offers Pause again.
    if (m_pausedThisAttempt) {
        m_worker.SetPolling(false);
        return;
    }
    m_paused = false;
    batch.SetPauseCaption("Pause");
}

void CProbePresenter::Ended(WindowBatch& batch, SessionEnd why)
{
    if (m_asking) {
        m_asking = false;
        m_window.WithdrawHostKeyQuestion();
    }
    m_sessionActive = false;
    if (why == SessionEnd::StartFailed) {
        batch.EnableConnect(true);
        if (m_captionAfterEnd)
            batch.SetCaption(*std::exchange(m_captionAfterEnd, std::nullopt));
        return;
    }
    SetStale(batch, false);
    GreyAllBars(batch);
    ReportStatus(batch, "SOCKET closed");
    batch.AppendLog("De-Initialized WinSock");
    batch.EnableConnect(true);
    std::string caption = std::string(StatusPrefix) + "DISCONNECT";
    if (NamedInCaption(why))
        caption += std::string(" (") + ToString(why) + ")";
    batch.SetCaption(caption);
}

} // namespace approbe::ui
