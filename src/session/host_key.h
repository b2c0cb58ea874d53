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

} // namespace approbe
