#pragma once

#include <QObject>
#include <QString>
#include <QTimer>

#include "session_engine.h"

namespace approbe::ui {

class CProbeDlg;

// Auto-reconnect: a session that ends without the user asking is started again after a delay
// that doubles from 1 s to 30 s until a session logs in. While on, values that have not been
// refreshed for a while are shown dimmed.
class CAutoReconnect : public QObject {
    Q_OBJECT
public:
    static constexpr int kFirstDelayS = 1, kMaxDelayS = 30;

    explicit CAutoReconnect(CProbeDlg& dlg);

    void setOn(bool on);
    bool on() const { return m_on; }
    bool pending() const { return m_retry.isActive(); }
    bool stale() const { return m_stale; }

    void OnReading();
    void OnState(const QString& host, SessionState state, SessionEnd end);

private:
    void Cancel();
    void SetStale(bool stale);

    CProbeDlg& m_dlg;
    bool m_on = false;
    bool m_stale = false;
    bool m_readingSeen = false;
    // Disconn or Exit since the last start: nothing may bring the session back.
    bool m_userStopped = false;
    int m_delayS = kFirstDelayS;
    QTimer m_retry;
    QTimer m_staleAfter;
};

} // namespace approbe::ui
