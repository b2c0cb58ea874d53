#pragma once

#include <string>

// An SSH host key met for the first time, and what the user may answer.
namespace approbe {

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

} // namespace approbe
