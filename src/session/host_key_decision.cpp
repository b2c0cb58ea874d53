#include "host_key_decision.h"

#include "text.h"

namespace approbe::session {

HostKeyDecision DecideHostKey(const HostKeyVerdict& verdict, HostKeyPolicy policy, const HostKeyShown& shown)
{
    using Action = HostKeyDecision::Action;
    const char* host = shown.hostText.c_str();
    switch (verdict.status) {
    case HostKeyStatus::Known: return {Action::Trust, {}, false};
    case HostKeyStatus::Unknown:
        if (policy == HostKeyPolicy::Ask)
            return {Action::Ask, {}, false};
        if (policy == HostKeyPolicy::AcceptNew)
            return {Action::SaveAndTrust, {}, false};
        return {Action::Refuse,
                Format("Host key of %s (%s %s) is unknown: refused; add it to %s or set HostKey=accept-new", host,
                       shown.keyType.c_str(), shown.fingerprint.c_str(), shown.appFile.c_str()),
                false};
    case HostKeyStatus::Changed:
    case HostKeyStatus::OtherType:
    case HostKeyStatus::Revoked: break;
    }
    const char* what = verdict.status == HostKeyStatus::Revoked     ? "is revoked"
                       : verdict.status == HostKeyStatus::OtherType ? "is of another type than the one known"
                                                                    : "has changed";
    // A revoked key is no surprise to whoever revoked it; another key may be someone in the middle.
    return {Action::Refuse,
            Format("Host key of %s %s: refused; if the access point really has a new key, remove line %d of %s", host,
                   what, verdict.line, verdict.path.c_str()),
            verdict.status != HostKeyStatus::Revoked};
}

std::string HostKeyNotSavedText(const std::string& hostText, const std::string& error)
{
    return "Host key of " + hostText + " not saved, so not trusted: " + error;
}

std::string HostKeyNotTrustedText(const std::string& hostText) { return "Host key of " + hostText + " not trusted"; }

} // namespace approbe::session
