#pragma once

#include <string>

// What a known_hosts file says of a host's key; an SSH host key met for the first time, and what
// the user may answer.
namespace approbe::session {

enum class HostKeyStatus {
    Known,     // a line holds this very key
    Unknown,   // no line names the host
    Changed,   // a line holds another key of the same type: refused
    OtherType, // the host is known with keys of other types only: refused
    Revoked,   // a @revoked line holds this key: refused
};

struct HostKeyVerdict {
    HostKeyStatus status = HostKeyStatus::Unknown;
    std::string path; // the file and line to look at, for every refusal
    int line = 0;
    std::string knownFingerprint; // Changed and OtherType: the fingerprint of the key on that line
};

struct HostKeyQuestion {
    std::string host; // as the known_hosts file names it
    int port = 22;
    std::string keyType;     // e.g. "ssh-ed25519"
    std::string fingerprint; // "SHA256:...", as ssh-keygen -l prints it
};
enum class HostKeyAnswer { TrustAndSave, ConnectOnce, Cancel };

// A known host that showed another key than the one on file: refused, and told loudly (it may be
// someone in the middle).
struct HostKeyWarning {
    std::string host; // as typed
    int port = 22;
    std::string keyType, fingerprint; // what the access point showed
    std::string knownFingerprint;     // what the file holds for it
    std::string file;                 // the known_hosts file and line to remove if the key is really new
    int line = 0;
    bool otherType = false; // the file knows the host by a key of another type
};

} // namespace approbe::session
