#include "settings.h"

#include "text.h"

namespace approbe::ui {
namespace {

constexpr const char* kSection = "Settings";

// The port edit's limit counts characters as the user sees them, not UTF-8 bytes.
std::size_t CharCount(const std::string& text)
{
    std::size_t count = 0;
    for (unsigned char c : text)
        count += (c & 0xC0) != 0x80;
    return count;
}

} // namespace

bool UpdateData(IProbeWindow& window, SettingsTexts& texts, bool save)
{
    if (!save) {
        window.PushEdits({texts.m_strHost, texts.m_strPort, texts.m_strUser, texts.m_strPassword},
                         kPortMaxChars);
        return true;
    }
    EditTexts edits;
    if (!window.PullEdits(edits))
        return false;
    texts.m_strHost = edits.host;
    texts.m_strPort = edits.port;
    if (CharCount(texts.m_strPort) > kPortMaxChars) {
        window.ShowTooLong(kPortMaxChars);
        return false;
    }
    texts.m_strPassword = edits.password;
    texts.m_strUser = edits.user;
    return true;
}

int Port(const SettingsTexts& texts)
{
    const int port = ParseInt(texts.m_strPort);
    return port >= 1 && port <= 65535 ? port : 0;
}

void LoadSettings(IProbeWindow& window, IProfile& profile, SettingsTexts& texts)
{
    texts.m_strHost = profile.GetProfileString(kSection, "Host", "");
    texts.m_strPort = profile.GetProfileString(kSection, "Port", "");
    texts.m_strUser = profile.GetProfileString(kSection, "User", "");
    texts.m_strPassword = profile.GetProfileString(kSection, "Pass", "");
    UpdateData(window, texts, false);
}

void SaveSettings(IProbeWindow& window, IProfile& profile, SettingsTexts& texts, bool savePassword)
{
    UpdateData(window, texts, true);
    if (Port(texts) == 0) {
        texts.m_strPort = std::to_string(session::DefaultPort(texts.m_strHost));
        UpdateData(window, texts, false);
    }
    profile.WriteProfileString(kSection, "Host", texts.m_strHost);
    profile.WriteProfileString(kSection, "Port", texts.m_strPort);
    profile.WriteProfileString(kSection, "User", texts.m_strUser);
    if (savePassword)
        SavePassword(profile, texts.m_strPassword);
}

bool SavePassword(IProfile& profile, const std::string& password)
{
    return profile.WriteProfileString(kSection, "Pass", password);
}

bool ForgetSavedPassword(IProfile& profile) { return profile.RemoveProfileString(kSection, "Pass"); }

std::string PasswordKey(const SettingsTexts& texts)
{
    const session::HostText host = session::ParseHostText(texts.m_strHost);
    int port = ParseInt(texts.m_strPort);
    if (port < 1 || port > 65535)
        port = session::DefaultPort(host.transport);
    const bool v6 = host.name.find(':') != std::string::npos;
    return std::string(host.transport == session::Transport::Ssh ? "ssh" : "telnet") + "://" + texts.m_strUser + "@" +
           (v6 ? "[" + host.name + "]" : host.name) + ":" + std::to_string(port);
}

} // namespace approbe::ui
