#include "reconnect.h"

#include <QGraphicsOpacityEffect>
#include <QPushButton>

#include "control_ids.h"
#include "levels.h"
#include "probe_dlg.h"
#include "text.h"

namespace approbe::ui {
namespace {

// The controls that show values: dimmed together when the values are old.
constexpr int kValueControls[] = {IDC_NOISE_CUR,      IDC_NOISE_AVG,      IDC_NOISE_MIN,      IDC_NOISE_MAX,
                                  IDC_LOCAL_RSSI_CUR, IDC_LOCAL_RSSI_MIN, IDC_LOCAL_RSSI_MAX, IDC_REMOTE_RSSI_CUR,
                                  IDC_NOISE_BAR,      IDC_LOCAL_RSSI_BAR, IDC_REMOTE_RSSI_BAR};

bool Unasked(SessionEnd end)
{
    return end == SessionEnd::StartFailed || end == SessionEnd::PeerClosed || end == SessionEnd::ReceiveFailed ||
           end == SessionEnd::Silent;
}

} // namespace

CAutoReconnect::CAutoReconnect(CProbeDlg& dlg) : m_dlg(dlg)
{
    m_retry.setSingleShot(true);
    connect(&m_retry, &QTimer::timeout, this, [this] {
        if (m_on && !m_userStopped && m_dlg.isVisible())
            m_dlg.core().OnOK();
    });
    m_staleAfter.setSingleShot(true);
    m_staleAfter.setInterval(std::chrono::milliseconds(kFreshFor));
    connect(&m_staleAfter, &QTimer::timeout, this, [this] { SetStale(m_on); });

    // The user's own Disconn and Connect overrule a pending retry; Exit ends everything.
    if (auto* disconnect = qobject_cast<QPushButton*>(dlg.control(IDC_DISCONNECT)))
        connect(disconnect, &QPushButton::clicked, this, [this] {
            m_userStopped = true;
            Cancel();
        });
    if (auto* connectButton = qobject_cast<QPushButton*>(dlg.control(IDOK)))
        connect(connectButton, &QPushButton::clicked, this, [this] {
            m_userStopped = false;
            m_delayS = kFirstDelayS;
            m_retry.stop();
        });
    connect(&dlg, &QDialog::finished, this, [this] {
        m_userStopped = true;
        Cancel();
    });
}

void CAutoReconnect::setOn(bool on)
{
    m_on = on;
    if (!on) {
        Cancel();
        SetStale(false);
    } else if (m_readingSeen && !m_staleAfter.isActive()) {
        SetStale(true);
    }
}

void CAutoReconnect::Cancel()
{
    m_retry.stop();
    m_delayS = kFirstDelayS;
}

void CAutoReconnect::OnReading()
{
    m_readingSeen = true;
    SetStale(false);
    m_staleAfter.start();
}

void CAutoReconnect::OnState(const QString& host, SessionState state, SessionEnd end)
{
    if (state == SessionState::Starting)
        m_retry.stop();
    if (state == SessionState::LoggedIn)
        m_delayS = kFirstDelayS;
    if (state != SessionState::Ended || !m_on || m_userStopped || !Unasked(end) || !m_dlg.isVisible())
        return;
    m_dlg.AppendLog(Format("Reconnecting to %s in %d s", host.toStdString().c_str(), m_delayS));
    m_retry.start(std::chrono::seconds(m_delayS));
    m_delayS = std::min(m_delayS * 2, kMaxDelayS);
}

void CAutoReconnect::SetStale(bool stale)
{
    if (stale == m_stale)
        return;
    m_stale = stale;
    for (int id : kValueControls) {
        QWidget* w = m_dlg.control(id);
        if (!w)
            continue;
        if (stale) {
            auto* dim = new QGraphicsOpacityEffect(w);
            dim->setOpacity(0.35);
            w->setGraphicsEffect(dim); // the widget owns it and deletes it when replaced
        } else {
            w->setGraphicsEffect(nullptr);
        }
    }
}

} // namespace approbe::ui
