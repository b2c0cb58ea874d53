#pragma once

#include <QObject>
#include <QPointer>
#include <functional>
#include <memory>
#include <optional>

#include "aiming_tone.h"
#include "device_menu.h"
#include "keyring.h"
#include "recorder.h"
#include "presenter.h"
#include "trend_window.h"

class QAction;

namespace approbe {
class IProfile;
}

namespace approbe::ui {

class CProbeDlg;

// The field tools beside the dialog: trend window, recording with marks, aiming tone,
// auto-reconnect, the switch that keeps passwords in the keyring, and the shell's device type. They are reached from the
// window's menu and keys, follow the session's readings as the presenter hands them over, and keep
// their settings in the profile's [Tools] section.
class CFieldTools : public QObject, private IReadingListener {
    Q_OBJECT
public:
    CFieldTools(CProbeDlg& dlg, IProfile& profile);
    ~CFieldTools() override;

    QAction* trendAction() const { return m_trendAction; }
    QAction* recordAction() const { return m_recordAction; }
    QAction* markAction() const { return m_markAction; }
    QAction* toneAction() const { return m_toneAction; }
    QAction* reconnectAction() const { return m_reconnectAction; }
    QAction* keyringAction() const { return m_keyringAction; }
    const CKeyringPasswords& keyring() const { return *m_keyring; }

    // Null until first opened.
    CTrendWindow* trendWindow() const { return m_trend; }
    const TrendData& trendData() const { return m_data; }
    CAimingTone& tone() { return m_tone; }
    const CRecorder& recorder() const { return m_recorder; }

    // Stand-ins for the file chooser and the note box (tests): given the proposed path, the
    // chosen one (empty: cancelled); the note, or nothing when cancelled.
    void setFileChooser(std::function<QString(const QString& proposed)> choose) { m_chooseFile = std::move(choose); }
    void setNoteAsker(std::function<std::optional<QString>()> ask) { m_askNote = std::move(ask); }

    void OpenTrend();
    void ToggleRecording();
    void Mark();
    // Checks for an audio output; the tone's item is disabled with the reason when there is none.
    void CheckAudio();

private:
    void OnReading(const std::string& host, const session::Reading& reading) override;
    void OnLevelsGiven(int gives) override;
    void SetTone(bool on);
    QString Setting(const char* key, const QString& fallback) const;
    void Store(const char* key, const QString& value);

    CProbeDlg& m_dlg;
    IProfile& m_profile;
    TrendData m_data;
    QString m_host;
    QPointer<CTrendWindow> m_trend;
    CRecorder m_recorder;
    CAimingTone m_tone;
    bool m_audioChecked = false;
    std::function<QString(const QString&)> m_chooseFile;
    std::function<std::optional<QString>()> m_askNote;
    QAction* m_trendAction;
    QAction* m_recordAction;
    QAction* m_markAction;
    QAction* m_toneAction;
    QAction* m_reconnectAction;
    QAction* m_keyringAction;
    std::unique_ptr<CKeyringPasswords> m_keyring;
    std::unique_ptr<CDeviceTypeMenu> m_deviceMenu;
};

} // namespace approbe::ui
