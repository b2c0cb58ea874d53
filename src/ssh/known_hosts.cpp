#include "known_hosts.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <sys/stat.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

#include "profile.h"
#include "text.h"

namespace approbe::ssh {
namespace {

std::string EncodeBase64(std::string_view data)
{
    std::string out(4 * ((data.size() + 2) / 3) + 1, '\0');
    const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                  reinterpret_cast<const unsigned char*>(data.data()), static_cast<int>(data.size()));
    out.resize(static_cast<std::size_t>(n));
    return out;
}

std::string Lower(std::string_view text)
{
    std::string out(text);
    for (char& c : out)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

// One hashed name "|1|SALT|HASH": HMAC-SHA1 of the name keyed with the salt.
bool HashedMatches(std::string_view field, const std::string& name)
{
    const auto bar = field.find('|', 3);
    if (field.substr(0, 3) != "|1|" || bar == std::string_view::npos)
        return false;
    const auto salt = DecodeBase64(field.substr(3, bar - 3));
    const auto hash = DecodeBase64(field.substr(bar + 1));
    if (!salt || !hash || salt->size() != 20 || hash->size() != 20)
        return false;
    unsigned char mac[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    HMAC(EVP_sha1(), salt->data(), static_cast<int>(salt->size()), reinterpret_cast<const unsigned char*>(name.data()),
         name.size(), mac, &len);
    return len == hash->size() && std::memcmp(mac, hash->data(), len) == 0;
}

// OpenSSH's patterns: '*' any run of characters, '?' any one; nothing else is special.
bool Wildcard(std::string_view pattern, std::string_view text)
{
    if (pattern.empty())
        return text.empty();
    if (pattern[0] == '*')
        return Wildcard(pattern.substr(1), text) || (!text.empty() && Wildcard(pattern, text.substr(1)));
    return !text.empty() && (pattern[0] == '?' || pattern[0] == text[0]) && Wildcard(pattern.substr(1), text.substr(1));
}

std::vector<std::string_view> Fields(std::string_view line)
{
    std::vector<std::string_view> out;
    std::size_t at = 0;
    while ((at = line.find_first_not_of(" \t", at)) != std::string_view::npos) {
        const auto end = std::min(line.find_first_of(" \t", at), line.size());
        out.push_back(line.substr(at, end - at));
        at = end;
    }
    return out;
}

} // namespace

std::optional<std::string> DecodeBase64(std::string_view text)
{
    if (text.empty() || text.size() % 4 != 0)
        return std::nullopt;
    std::string out(text.size() / 4 * 3, '\0');
    const int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                  reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size()));
    if (n < 0)
        return std::nullopt;
    // The decoder counts the padding as zero bytes.
    const std::size_t pad = text.ends_with("==") ? 2 : text.ends_with("=") ? 1 : 0;
    out.resize(static_cast<std::size_t>(n) - pad);
    return out;
}

std::string Sha256Fingerprint(std::string_view blob)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    EVP_Digest(blob.data(), blob.size(), digest, &len, EVP_sha256(), nullptr);
    std::string b64 = EncodeBase64(std::string_view(reinterpret_cast<const char*>(digest), len));
    while (!b64.empty() && b64.back() == '=')
        b64.pop_back();
    return "SHA256:" + b64;
}

std::string BlobKeyType(std::string_view blob)
{
    if (blob.size() < 4)
        return {};
    const auto* b = reinterpret_cast<const unsigned char*>(blob.data());
    const std::size_t len = (std::size_t{b[0]} << 24) | (std::size_t{b[1]} << 16) | (std::size_t{b[2]} << 8) | b[3];
    if (len == 0 || len > blob.size() - 4)
        return {};
    return std::string(blob.substr(4, len));
}

std::string KnownHostsName(const std::string& host, int port)
{
    return port == 22 ? host : "[" + host + "]:" + std::to_string(port);
}

bool HostFieldMatches(std::string_view field, const std::string& name)
{
    if (field.substr(0, 1) == "|")
        return HashedMatches(field, name);
    const std::string lowerName = Lower(name);
    bool matched = false;
    std::size_t at = 0;
    while (at <= field.size()) {
        const auto comma = std::min(field.find(',', at), field.size());
        std::string_view pattern = field.substr(at, comma - at);
        at = comma + 1;
        const bool negated = pattern.substr(0, 1) == "!";
        if (negated)
            pattern.remove_prefix(1);
        if (pattern.empty())
            continue;
        if (!Wildcard(Lower(pattern), lowerName))
            continue;
        if (negated)
            return false; // a negated match excludes the host whatever else matches
        matched = true;
    }
    return matched;
}

HostKeyVerdict CheckHostKey(const std::vector<KnownHostsText>& files, const std::string& name, const std::string& type,
                            std::string_view blob)
{
    std::optional<HostKeyVerdict> changed, other, known;
    for (const KnownHostsText& file : files) {
        std::istringstream in(file.text);
        int lineNo = 0;
        for (std::string line; std::getline(in, line);) {
            ++lineNo;
            auto fields = Fields(line);
            if (fields.empty() || fields[0].front() == '#')
                continue;
            bool revoked = false;
            if (fields[0].front() == '@') {
                if (fields[0] != "@revoked")
                    continue; // certificate authorities: approbe checks plain keys only
                revoked = true;
                fields.erase(fields.begin());
            }
            if (fields.size() < 3 || !HostFieldMatches(fields[0], name))
                continue;
            const auto key = DecodeBase64(fields[2]);
            const bool same = key && *key == blob;
            const HostKeyVerdict here{HostKeyStatus::Unknown, file.path, lineNo, key ? Sha256Fingerprint(*key) : ""};
            if (revoked) {
                if (same)
                    return {HostKeyStatus::Revoked, file.path, lineNo, {}};
            } else if (same) {
                known = known.value_or(HostKeyVerdict{HostKeyStatus::Known, file.path, lineNo, {}});
            } else if (fields[1] == type) {
                changed = changed.value_or(HostKeyVerdict{HostKeyStatus::Changed, here.path, here.line, here.knownFingerprint});
            } else {
                other = other.value_or(HostKeyVerdict{HostKeyStatus::OtherType, here.path, here.line, here.knownFingerprint});
            }
        }
    }
    if (known)
        return *known;
    if (changed)
        return *changed;
    if (other)
        return *other;
    return {};
}

std::string AppKnownHostsPath() { return ConfigDir() + "/known_hosts"; }
std::string UserKnownHostsPath() { return HomeDir() + "/.ssh/known_hosts"; }

std::vector<KnownHostsText> ReadKnownHosts()
{
    std::vector<KnownHostsText> out;
    for (const std::string& path : {AppKnownHostsPath(), UserKnownHostsPath()}) {
        std::ifstream in(path, std::ios::binary);
        if (!in)
            continue;
        std::ostringstream text;
        text << in.rdbuf();
        out.push_back({path, text.str()});
    }
    return out;
}

bool SaveHostKey(const std::string& name, const std::string& type, std::string_view blob, std::string& error)
{
    const std::string dir = ConfigDir();
    const auto slash = dir.rfind('/');
    if (slash != std::string::npos && slash > 0)
        ::mkdir(dir.substr(0, slash).c_str(), 0700); // ~/.config, if even that is missing
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
        error = dir + ": " + std::strerror(errno);
        return false;
    }
    const std::string path = AppKnownHostsPath();
    const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        error = path + ": " + std::strerror(errno);
        return false;
    }
    ::fchmod(fd, 0600);
    const std::string line = name + " " + type + " " + EncodeBase64(blob) + "\n";
    const bool ok = ::write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size());
    if (!ok)
        error = path + ": " + std::strerror(errno);
    ::close(fd);
    return ok;
}

} // namespace approbe::ssh
