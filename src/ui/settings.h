#pragma once

#include <string>

#include "host.h"
#include "probe_window.h"
#include "profile.h"

namespace approbe::ui {

// The four connection settings as the dialog holds them.
struct SettingsTexts {
    std::string m_strPort = std::to_string(session::DefaultPort(session::Transport::Telnet));
    std::string m_strPassword;
    std::string m_strUser;
    std::string m_strHost;
};

inline constexpr int kPortMaxChars = 3;

// The port the texts name: read as the C library's atoi reads it ("80x" is 80, as typed); 0 if
// that is none.
int Port(const SettingsTexts& texts);

// The exchange between the settings texts and the edits. Pushing (save == false) writes the
// edits; pulling (save == true) reads them in the order host, port, password, user and stops at a
// port longer than its limit, after showing the window's message: the fields after it keep their
// values and the pull reports failure.
bool UpdateData(IProbeWindow& window, SettingsTexts& texts, bool save);

// Profile to fields to edits.
void LoadSettings(IProbeWindow& window, IProfile& profile, SettingsTexts& texts);
// Edits to fields; a port outside 1..65535 becomes "23" ("22" for SSH); fields to profile, the
// password only when savePassword (else it is kept elsewhere, and Pass is left as it is).
void SaveSettings(IProbeWindow& window, IProfile& profile, SettingsTexts& texts, bool savePassword = true);
bool SavePassword(IProfile& profile, const std::string& password);
// Takes Pass out of the profile.
bool ForgetSavedPassword(IProfile& profile);

// What a password is kept under outside the profile: protocol, user, host and port, e.g.
// "ssh://admin@[fe80::1%eth0]:22" ("telnet://" when no scheme is given; the default port when
// the port is not one).
std::string PasswordKey(const SettingsTexts& texts);

} // namespace approbe::ui
