#pragma once

#include <QObject>
#include <QString>
#include <QTimer>
#include <functional>
#include <map>
#include <string>

#include "settings.h"

class QAction;
class QLineEdit;

namespace QKeychain {
class Job;
}

namespace approbe {
class IProfile;
}

namespace approbe::ui {

class CProbeDlg;

// The window menu's "Keep passwords in the keyring". While it is on, the password lives in the
// desktop's Secret Service (through QtKeychain) under PasswordKey, never in the profile, and the
// password field is filled from there at the start and whenever host, port or user change.
// Turned on, the password moves from the profile into the keyring; turned off, back. Every call
// to the keyring is asynchronous: the window never waits for it. A keyring that cannot be reached
// disables the item, its tooltip saying why; one that fails while the item is on says so once in
// the log, and the password stays in the field for this run without being written to the profile.
class CKeyringPasswords : public QObject {
    Q_OBJECT
public:
    // The name the entries are kept under in the keyring (with PasswordKey as their key).
    static constexpr const char* kService = "approbe";

    // on: the item's state as last remembered; remember keeps a new one.
    CKeyringPasswords(CProbeDlg& dlg, IProfile& profile, QAction& action, bool on,
                      std::function<void(bool on)> remember);
    ~CKeyringPasswords() override;

    // Asks the keyring once whether it answers (when the item is off: when on, its first read
    // tells). Until then the item is offered.
    void Check();
    // Calls to the keyring not yet answered.
    int pending() const { return m_pending; }

private:
    struct Answer;
    void Run(QKeychain::Job* job, std::function<void(const Answer&)> done);
    void Read(const std::string& key, std::function<void(const Answer&)> done);
    void Write(const std::string& key, const std::string& password, std::function<void(const Answer&)> done);
    void SetOn(bool on);
    void TurnOn();
    void TurnOff();
    void Fill();
    void Keep(const SettingsTexts& texts);
    // The keyring failed: the tooltip says why; the log too, once, when the user asked for it.
    void Trouble(const QString& why, bool log);
    SettingsTexts Current() const;
    QLineEdit* PasswordEdit() const;
    void ShowPassword(const std::string& password);

    CProbeDlg& m_dlg;
    IProfile& m_profile;
    QAction& m_action;
    const std::function<void(bool)> m_remember;
    bool m_on;
    bool m_checked = false;
    bool m_logged = false;
    int m_pending = 0;
    QTimer m_fillSoon;
    std::map<std::string, std::string> m_held; // key -> password the keyring holds, as this run knows
    std::string m_filled;                      // what the field was last filled with from the keyring
};

} // namespace approbe::ui
