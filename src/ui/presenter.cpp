#include "presenter.h"

#include <utility>

#include "bars.h"
#include "control_ids.h"
#include "display.h"
#include "text.h"

namespace approbe {
namespace {

using session::SessionEvent;

constexpr int kValueFields[] = {IDC_NOISE_CUR, IDC_NOISE_AVG, IDC_LOCAL_RSSI_CUR, IDC_REMOTE_RSSI_CUR,
                                IDC_NOISE_MIN, IDC_NOISE_MAX, IDC_LOCAL_RSSI_MAX, IDC_LOCAL_RSSI_MIN};

// The endings the user did not ask for and could not tell from the log's last lines.
bool NamedInCaption(SessionEnd end)
{
    return end == SessionEnd::LoginRejected || end == SessionEnd::Silent || end == SessionEnd::HostKeyRefused;
}

bool IsReading(const SessionEvent& e)
{
    return e.kind == SessionEvent::Kind::Engine && e.action.kind == SessionAction::Kind::Reading;
}

} // namespace

CProbePresenter::CProbePresenter(IProbeWindow& window, IProfile& profile, UiPoster post, PresenterOptions options)
    : m_window(window), m_profile(profile), m_post(std::move(post)), m_options(options)
{
}

CProbePresenter::~CProbePresenter()
{
    BeginClose();
    if (m_worker.joinable())
        m_worker.join();
}

void CProbePresenter::OnLoop(std::function<void(session::SessionLoop&)> f)
{
    if (!m_loop) {
        m_loop = std::make_unique<session::SessionLoop>(static_cast<session::ISessionEvents&>(*this), m_options.deadlines);
        m_worker = std::thread([this] {
            m_loop->Run();
            std::lock_guard lock(m_doneMutex);
            m_workerDone = true;
            m_doneCv.notify_all();
        });
    }
    m_loop->Post([this, f = std::move(f)] { f(*m_loop); });
}

void CProbePresenter::OnInitDialog()
{
    LoadSettings(m_window, m_profile, m_settings);
    SaveSettings(m_window, m_profile, m_settings);
    WindowBatch bars;
    InitBars(bars);
    m_window.Apply(bars);
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
    SaveSettings(m_window, m_profile, m_settings);
    m_host = m_settings.m_strHost;
    m_port = Port(m_settings);
    m_captionAfterEnd.reset();
    m_retryPending = false;
    WindowBatch blank;
    for (int id : kValueFields)
        blank.SetField(id, " ");
    SetStale(blank, false);
    m_window.Apply(blank);
    OnLoop([this, setup = Setup(), clicks = m_pauseClicks](session::SessionLoop& loop) {
        if (m_id)
            loop.Remove(*m_id);
        m_loopHost = setup.host;
        m_loopPauseClicks = clicks;
        m_id = loop.Add(setup);
    });
}

void CProbePresenter::OnPause()
{
    const bool pause = m_window.PauseCaption().find("Pause") != std::string::npos;
    m_window.SetPauseCaption(pause ? "Work" : "Pause");
    const std::uint64_t click = ++m_pauseClicks;
    if (m_loop)
        OnLoop([this, on = !pause, click](session::SessionLoop& loop) {
            m_loopPauseClicks = click;
            if (m_id)
                loop.SetPolling(*m_id, on);
        });
}

void CProbePresenter::OnDisconnect()
{
    if (m_retryPending) { // between attempts: the next one is called off
        m_retryPending = false;
        WindowBatch batch;
        SetStale(batch, false);
        m_window.Apply(batch);
    }
    if (m_loop)
        OnLoop([this](session::SessionLoop& loop) {
            if (m_id)
                loop.Disconnect(*m_id);
        });
}

void CProbePresenter::AnswerHostKey(HostKeyAnswer answer)
{
    if (!m_asking)
        return;
    m_asking = false;
    OnLoop([this, answer](session::SessionLoop& loop) {
        if (m_id)
            loop.AnswerHostKey(*m_id, answer);
    });
}

void CProbePresenter::SetAutoReconnect(bool on)
{
    m_autoReconnect = on;
    if (!on)
        m_retryPending = false;
    if (m_loop)
        OnLoop([this, on](session::SessionLoop& loop) {
            if (!m_id)
                return;
            session::RetryPolicy retry = session::RetryPolicy::Dialog();
            retry.enabled = on;
            loop.SetRetry(*m_id, retry);
        });
    if (!on && !m_sessionActive && m_stale) {
        WindowBatch batch;
        SetStale(batch, false);
        m_window.Apply(batch);
    }
}

void CProbePresenter::PollNow()
{
    if (m_loop)
        OnLoop([this](session::SessionLoop& loop) {
            if (m_id)
                loop.PollNow(*m_id);
        });
}

void CProbePresenter::BeginClose()
{
    {
        std::lock_guard lock(m_pendingMutex);
        m_closing = true;
        m_pending.clear();
    }
    if (m_loop)
        m_loop->Stop(); // every session ends with its farewell, bounded by the loop's deadlines
}

bool CProbePresenter::WaitSessionEnd(std::chrono::milliseconds timeout)
{
    if (!m_loop)
        return true;
    std::unique_lock lock(m_doneMutex);
    if (!m_doneCv.wait_for(lock, timeout, [this] { return m_workerDone; }))
        return false;
    lock.unlock();
    if (m_worker.joinable())
        m_worker.join();
    return true;
}

void CProbePresenter::OnSessionEvent(session::SessionId, const SessionEvent& event)
{
    // The loop's thread.
    if (event.kind == SessionEvent::Kind::Engine &&
        (event.action.kind == SessionAction::Kind::Reading || event.action.kind == SessionAction::Kind::State)) {
        SessionUpdate update;
        update.kind = event.action.kind == SessionAction::Kind::Reading ? SessionUpdate::Kind::Reading
                                                                         : SessionUpdate::Kind::State;
        update.host = m_loopHost;
        update.reading = event.action.reading;
        update.state = event.action.state;
        update.end = event.action.end;
        m_consumers.Publish(update);
    }
    const std::uint64_t seq = m_loopPauseClicks;
    const bool rx = event.kind == SessionEvent::Kind::Engine && event.action.kind == SessionAction::Kind::RxTotal;
    const bool value = rx || IsReading(event);
    bool wake = false;
    {
        std::lock_guard lock(m_pendingMutex);
        if (m_closing)
            return;
        wake = m_pending.empty();
        if (!value) {
            m_pending.push_back({event, std::nullopt, {}, seq});
        } else {
            if (m_pending.empty() || m_pending.back().event)
                m_pending.emplace_back();
            Pending& values = m_pending.back();
            if (rx)
                values.rxTotal = event.action.count;
            else
                values.readings.Add(event.action.reading, event.action.stats);
        }
    }
    if (wake)
        m_post([this] { ShowPending(); });
}

void CProbePresenter::ShowPending()
{
    std::vector<Pending> pending;
    {
        std::lock_guard lock(m_pendingMutex);
        if (m_closing)
            return;
        pending.swap(m_pending);
    }
    WindowBatch batch;
    for (Pending& p : pending) {
        if (p.event)
            Show(batch, *p.event, p.pauseClicks);
        else
            ShowValues(batch, p);
    }
    if (!batch.empty())
        m_window.Apply(batch);
}

void CProbePresenter::ShowValues(WindowBatch& batch, Pending& values)
{
    if (values.rxTotal)
        ShowRxTotal(batch, *values.rxTotal);
    if (!values.readings.empty()) {
        SetStale(batch, false);
        values.readings.Show(batch);
    }
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

void CProbePresenter::Show(WindowBatch& batch, const SessionEvent& event, std::uint64_t pauseClicks)
{
    using Kind = SessionEvent::Kind;
    switch (event.kind) {
    case Kind::Attempt: {
        m_retryPending = false;
        if (event.count > 0) { // started again by the program: the log and the values stay
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
        case SessionAction::Kind::PollingOn:
            // A Pause clicked after the loop turned polling on wins: the button keeps offering Work.
            if (pauseClicks >= m_pauseClicks)
                batch.SetPauseCaption("Pause");
            break;
        case SessionAction::Kind::State:
            m_state = a.state;
            if (a.state == SessionState::Ended)
                Ended(batch, a.end);
            break;
        default: break;
        }
        break;
    }
    }
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

} // namespace approbe
