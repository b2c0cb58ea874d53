#include "config.h"

#include <arpa/inet.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>

#include "device_catalog.h"
#include "profile.h"
#include "host.h"
#include "file.h"
#include "text.h"

namespace approbe::poller {
namespace {

using session::DeviceTypeSet;
using session::FindDeviceType;
using session::LoadDeviceTypes;
using session::MacAddress;
using session::kAutomaticDeviceType;

bool SameKey(const std::string& a, const char* b)
{
    return ::strcasecmp(a.c_str(), b) == 0;
}

// A whole decimal number in [lo, hi].
std::optional<int> Number(const std::string& text, int lo, int hi)
{
    if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos)
        return std::nullopt;
    const int v = std::stoi(text);
    return v >= lo && v <= hi ? std::optional<int>(v) : std::nullopt;
}

bool OthersCanRead(const std::string& path)
{
    struct stat st{};
    return ::stat(path.c_str(), &st) == 0 && (st.st_mode & 077) != 0;
}

std::string Insecure(const std::string& path, const char* what)
{
    return path + ": " + what + " and can be read by group or others; make it private with: chmod 600 " + path;
}

// Keys of an access point's section as they are met, with their lines.
struct ApSection {
    ApConfig ap;
    std::map<std::string, int> seen; // lower-case key -> line
    std::string pass, passFile, credential;
    int passFileLine = 0, credentialLine = 0, deviceTypeLine = 0;
};

// The file systemd made for LoadCredential= or LoadCredentialEncrypted=, or why there is none.
std::optional<std::string> CredentialPath(const std::string& name, std::string& why)
{
    if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos) {
        why = "PassCredential must be a credential's name, without '/'";
        return std::nullopt;
    }
    const char* dir = std::getenv("CREDENTIALS_DIRECTORY");
    if (!dir || !*dir) {
        why = "PassCredential " + name +
              ": no credentials were passed ($CREDENTIALS_DIRECTORY is not set; the unit's LoadCredential= sets it)";
        return std::nullopt;
    }
    return std::string(dir) + "/" + name;
}

// A password file's first line: an editor's line end is not part of it.
std::string FirstLine(const std::string& content) { return content.substr(0, content.find_first_of("\r\n")); }

} // namespace

std::string Directory(const std::string& path)
{
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash == 0 ? 1 : slash);
}

bool ParseListen(const std::string& text, std::string& host, std::uint16_t& port)
{
    std::string h;
    int p = 0;
    if (!session::ParseHostPort(text, h, p, true))
        return false;
    if (h == "localhost")
        h = "127.0.0.1";
    in_addr a4{};
    in6_addr a6{};
    if (::inet_pton(AF_INET, h.c_str(), &a4) != 1 && ::inet_pton(AF_INET6, h.c_str(), &a6) != 1)
        return false;
    host = h;
    port = static_cast<std::uint16_t>(p);
    return true;
}

ConfigResult ParseConfig(const std::string& path, const std::string& text)
{
    ConfigResult r;
    PollerConfig config;
    std::vector<ApSection> sections;
    std::set<std::string> names;
    std::map<std::string, int> pollerSeen;
    bool inPoller = false, inAny = false;
    int lineNo = 0;
    auto fail = [&](int line, const std::string& what) {
        r.error = path + ":" + std::to_string(line) + ": " + what;
        return r;
    };

    for (const std::string& raw : SplitLines(text)) {
        ++lineNo;
        const IniLine line = ParseIniLine(raw);
        if (line.kind == IniLine::Kind::Blank || line.kind == IniLine::Kind::Comment)
            continue;
        if (line.kind == IniLine::Kind::BadSection)
            return fail(lineNo, "a section header must end in ']'");
        if (line.kind == IniLine::Kind::Section) {
            const std::string& name = line.name;
            if (name.empty())
                return fail(lineNo, "empty section name");
            if (!names.insert(name).second)
                return fail(lineNo, "section [" + name + "] appears twice");
            inAny = true;
            inPoller = name == "poller";
            if (!inPoller) {
                sections.push_back({});
                sections.back().ap.name = name;
                sections.back().ap.line = lineNo;
            }
            continue;
        }
        if (line.kind == IniLine::Kind::NoEntry)
            return fail(lineNo, "expected KEY = VALUE or [SECTION]");
        const std::string& key = line.key;
        const std::string value = DecodeIniValue(line.raw);
        if (key.empty())
            return fail(lineNo, "a key is missing before '='");
        if (!inAny)
            return fail(lineNo, "key '" + key + "' outside a section");
        std::string lower = key;
        for (char& c : lower)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        auto& seen = inPoller ? pollerSeen : sections.back().seen;
        if (!seen.emplace(lower, lineNo).second)
            return fail(lineNo, "key '" + key + "' given twice in this section");

        if (inPoller) {
            if (SameKey(key, "Listen")) {
                std::string h;
                std::uint16_t p = 0;
                if (!ParseListen(value, h, p))
                    return fail(lineNo, "Listen must be ADDRESS:PORT, e.g. 127.0.0.1:9477 or [::1]:9477");
                config.listen = value;
            } else if (SameKey(key, "PollMs")) {
                const auto v = Number(value, 100, 3600000);
                if (!v)
                    return fail(lineNo, "PollMs must be a whole number of milliseconds from 100 to 3600000");
                config.pollMs = *v;
            } else if (SameKey(key, "RecordDir")) {
                if (value.empty())
                    return fail(lineNo, "RecordDir is empty");
                config.recordDir = value;
            } else if (SameKey(key, "DeviceTypes")) {
                if (value.empty())
                    return fail(lineNo, "DeviceTypes is empty");
                const std::string folder = value[0] == '/' ? value : Directory(path) + "/" + value;
                struct stat st{};
                if (::stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
                    return fail(lineNo, "DeviceTypes: " + folder + " is no folder");
                DeviceTypeSet set = LoadDeviceTypes(folder);
                if (!set.errors.empty()) {
                    r.error = set.errors.front();
                    return r;
                }
                config.deviceTypes = std::move(set.types);
            } else if (SameKey(key, "StartsPerSecond")) {
                const auto v = Number(value, 1, 100000);
                if (!v)
                    return fail(lineNo, "StartsPerSecond must be a whole number from 1 to 100000");
                config.startsPerSecond = *v;
            } else {
                return fail(lineNo, "unknown key '" + key +
                                        "' in [poller] (Listen, PollMs, RecordDir, StartsPerSecond, DeviceTypes)");
            }
            continue;
        }
        ApSection& s = sections.back();
        if (SameKey(key, "Host")) {
            if (value.empty())
                return fail(lineNo, "Host is empty");
            s.ap.host = value;
        } else if (SameKey(key, "Port")) {
            const auto v = session::ParsePort(value);
            if (!v)
                return fail(lineNo, "Port must be a number from 1 to 65535");
            s.ap.port = *v;
        } else if (SameKey(key, "User")) {
            s.ap.user = value;
        } else if (SameKey(key, "Pass")) {
            s.pass = value;
        } else if (SameKey(key, "PassFile")) {
            if (value.empty())
                return fail(lineNo, "PassFile is empty");
            s.passFile = value[0] == '/' ? value : Directory(path) + "/" + value;
            s.passFileLine = lineNo;
        } else if (SameKey(key, "PassCredential")) {
            s.credential = value;
            s.credentialLine = lineNo;
        } else if (SameKey(key, "HostKey")) {
            if (value != "accept-new" && value != "strict")
                return fail(lineNo, "HostKey must be strict (the default) or accept-new");
            s.ap.acceptNewHostKey = value == "accept-new";
        } else if (SameKey(key, "Station")) {
            s.ap.station = MacAddress::Parse(value);
            if (!s.ap.station)
                return fail(lineNo, "Station must be a MAC address, e.g. 00:0c:42:1a:2b:3c");
        } else if (SameKey(key, "Stations")) {
            if (value != "all" && value != "followed")
                return fail(lineNo, "Stations must be all or followed (the default)");
            s.ap.allStations = value == "all";
        } else if (SameKey(key, "DeviceType")) {
            s.ap.deviceType = value;
            s.deviceTypeLine = lineNo;
        } else {
            return fail(lineNo, "unknown key '" + key + "' in [" + s.ap.name +
                                    "] (Host, Port, User, Pass, PassFile, PassCredential, HostKey, Station, Stations, DeviceType)");
        }
    }

    for (ApSection& s : sections) {
        const std::string where = "[" + s.ap.name + "] ";
        if (!s.seen.count("host"))
            return fail(s.ap.line, where + "has no Host");
        if (!s.seen.count("user"))
            return fail(s.ap.line, where + "has no User");
        const int sources = static_cast<int>(s.seen.count("pass") + s.seen.count("passfile") +
                                             s.seen.count("passcredential"));
        if (sources != 1)
            return fail(s.ap.line, where + (sources ? "has more than one of Pass, PassFile and PassCredential: keep one"
                                                    : "has none of Pass, PassFile and PassCredential"));
        if (!s.passFile.empty()) {
            std::string content, why;
            if (!ReadFile(s.passFile, content, why))
                return fail(s.passFileLine, "cannot read PassFile " + s.passFile + ": " + why);
            if (OthersCanRead(s.passFile)) {
                r.error = Insecure(s.passFile, "holds a password");
                return r;
            }
            s.pass = FirstLine(content);
        } else if (s.credentialLine) {
            // No permission check: systemd keeps the folder private to the service, and the ACL it
            // grants the unit's user shows as group bits.
            std::string content, why;
            const auto file = CredentialPath(s.credential, why);
            if (!file)
                return fail(s.credentialLine, why);
            if (!ReadFile(*file, content, why))
                return fail(s.credentialLine, "cannot read credential " + *file + ": " + why);
            s.pass = FirstLine(content);
        }
        s.ap.password = s.pass;
        // Known only once the whole file is read: [poller] may name the folder after the sections.
        if (s.ap.deviceType != kAutomaticDeviceType && !FindDeviceType(config.deviceTypes, s.ap.deviceType))
            return fail(s.deviceTypeLine, "DeviceType '" + s.ap.deviceType +
                                              "' is none of automatic, the built-in types and those in DeviceTypes");
        if (!s.seen.count("port"))
            s.ap.port = session::DefaultPort(s.ap.host);
        config.aps.push_back(std::move(s.ap));
    }
    r.config = std::move(config);
    return r;
}

ConfigResult LoadConfig(const std::string& path)
{
    ConfigResult r;
    std::string text, why;
    if (!ReadFile(path, text, why)) {
        r.error = path + ": cannot read: " + why;
        return r;
    }
    r = ParseConfig(path, text);
    if (!r.config || !OthersCanRead(path))
        return r;
    // A Pass key anywhere means the file itself holds a password.
    for (const std::string& line : SplitLines(text)) {
        const std::string t = Trim(line);
        if (t.size() > 4 && ::strncasecmp(t.c_str(), "pass", 4) == 0 && Trim(t.substr(4)).rfind('=', 0) == 0) {
            r.config.reset();
            r.error = Insecure(path, "holds a password");
            break;
        }
    }
    return r;
}

} // namespace approbe::poller
