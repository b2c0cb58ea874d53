#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "host_key.h"

// Host keys the way OpenSSH keeps them: known_hosts files of "HOSTS KEYTYPE BASE64 [COMMENT]"
// lines, HOSTS a comma list of names, wildcards (* ?), negations (!) or hashed names
// (|1|SALT|HMAC-SHA1), "[host]:port" for ports other than 22. Pure functions over texts, plus
// the two files approbe reads.
namespace approbe::ssh {

std::optional<std::string> DecodeBase64(std::string_view text);
// "SHA256:" and the unpadded base64 of the blob's SHA-256, as ssh-keygen -l prints it.
std::string Sha256Fingerprint(std::string_view blob);
// The key type a public key blob names in its first field ("ssh-ed25519", ...); "" if malformed.
std::string BlobKeyType(std::string_view blob);

// The name a host is filed under: "host" on port 22, "[host]:port" on any other.
std::string KnownHostsName(const std::string& host, int port);
// Whether a line's host field (comma list of patterns, or one hashed name) matches name.
bool HostFieldMatches(std::string_view field, const std::string& name);

struct KnownHostsText {
    std::string path; // for messages
    std::string text;
};

using approbe::session::HostKeyStatus;
using approbe::session::HostKeyVerdict;

// The first file's verdict wins among equals; a key found anywhere is Known unless revoked.
HostKeyVerdict CheckHostKey(const std::vector<KnownHostsText>& files, const std::string& name, const std::string& type,
                            std::string_view blob);

// $XDG_CONFIG_HOME/approbe/known_hosts: written when the user trusts a key.
std::string AppKnownHostsPath();
// ~/.ssh/known_hosts: read, never written.
std::string UserKnownHostsPath();
// Both files as they are now; a missing one is left out.
std::vector<KnownHostsText> ReadKnownHosts();
// Appends "name type base64" to AppKnownHostsPath(), making its folder (0700) and the file
// (0600) as needed. False with error set when it cannot.
bool SaveHostKey(const std::string& name, const std::string& type, std::string_view blob, std::string& error);

} // namespace approbe::ssh
