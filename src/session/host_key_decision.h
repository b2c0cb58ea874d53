#pragma once

#include <string>

#include "host_key.h"
#include "setup.h"

// What becomes of the key an access point shows: what the known_hosts files say of it and the
// session's policy decide, with no I/O. Every refusal's status line is written here and nowhere else.
namespace approbe::session {

// The key as shown, and where it was looked up.
struct HostKeyShown {
    std::string hostText; // as typed, for the status lines
    std::string keyType;
    std::string fingerprint;
    std::string appFile; // the known_hosts file approbe writes
};

struct HostKeyDecision {
    enum class Action {
        Trust,        // on file: go on
        SaveAndTrust, // unknown, and the policy takes the first key: save it, then go on
        Ask,          // unknown: the front end asks the user
        Refuse,       // the session ends with text as its status
    };
    Action action = Action::Refuse;
    std::string text;  // Refuse: the status line
    bool warn = false; // Refuse: a known host showed another key, which is told loudly
};

HostKeyDecision DecideHostKey(const HostKeyVerdict& verdict, HostKeyPolicy policy, const HostKeyShown& shown);

// The status lines of the refusals that come after the decision.
std::string HostKeyNotSavedText(const std::string& hostText, const std::string& error);
std::string HostKeyNotTrustedText(const std::string& hostText);

} // namespace approbe::session
