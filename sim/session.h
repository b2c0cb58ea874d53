#pragma once
// One simulated access-point connection.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "replies.h"
#include "script.h"

namespace sim {

struct Config {
    std::string user = "admin";
    std::string password = "admin";
    std::uint64_t seed = 0;
    Negotiation negotiate = Negotiation::None;  // how a connection opens
    long long failDelayMs = 2000;               // the login program's wait after a wrong login
    long long loginTries = 3;                   // wrong logins before it gives up and closes
    ReplyShape reply;                           // pieces, stations, dropped rows
    Device device;                              // the kind of shell and its quirks
    bool verbose = false;
    std::optional<std::vector<Step>> script;
};

// Writes one line to stderr as a single write, so lines from threads never interleave.
void logLine(const std::string& line);

// Serves a connected socket until it ends, then closes it. stopFd turns readable when the
// server stops. Never throws. The caller logs the end, once the connection's place is free.
void serveConnection(int fd, int id, const Config& cfg, int stopFd);

}  // namespace sim
