#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "device_type.h"
#include "reading.h"
#include "retry.h"

// The poller's configuration file: INI, a [poller] section, then one section per access point.
namespace approbe::poller {

struct ApConfig {
    std::string name; // the section name: the ap="..." label and the recording's file name
    std::string host;
    int port = 0;             // as given, else the transport's own (session::DefaultPort)
    std::string user;
    std::string password; // from Pass, or read from PassFile or PassCredential
    int line = 0;         // the section's line, for messages
    bool acceptNewHostKey = false; // HostKey=accept-new: an unknown SSH key is saved, then held to
    std::optional<session::MacAddress> station{}; // Station=MAC: the station followed, instead of the first row
    bool allStations = false;          // Stations=all: a series per station row as well
    std::string deviceType = "automatic"; // DeviceType=NAME: a built-in type or one of DeviceTypes

    // What a session shows depends on these too: a change restarts it, its series afresh.
    bool SameSession(const ApConfig& o) const
    {
        return host == o.host && port == o.port && user == o.user && password == o.password &&
               acceptNewHostKey == o.acceptNewHostKey && station == o.station && allStations == o.allStations &&
               deviceType == o.deviceType;
    }
};

struct PollerConfig {
    std::string listen; // empty: not set in the file
    int pollMs = 1000;
    std::string recordDir;
    std::vector<session::DeviceType> deviceTypes; // the user's, read from the folder DeviceTypes names
    // Connection attempts, first ones and retries, a second at most across every access point.
    int startsPerSecond = static_cast<int>(session::RetryPolicy::kPollerStartsPerSecond);
    std::vector<ApConfig> aps; // in file order
};

struct ConfigResult {
    std::optional<PollerConfig> config;
    std::string error; // "FILE:LINE: what is wrong", or "FILE: ..." for the file as a whole
};

// Parses the text of file (named path, which also anchors a relative PassFile). Reads PassFiles and
// PassCredentials ($CREDENTIALS_DIRECTORY/NAME, as systemd passes them).
ConfigResult ParseConfig(const std::string& path, const std::string& text);
// Reads and parses path; refuses a file holding a password (or a PassFile) that group or others
// can read.
ConfigResult LoadConfig(const std::string& path);

// The folder of path ("." for a bare name): a file's relative paths are taken from there.
std::string Directory(const std::string& path);

// "HOST:PORT" with an IPv4 address or "localhost" and a port 0..65535.
bool ParseListen(const std::string& text, std::string& host, std::uint16_t& port);

} // namespace approbe::poller
