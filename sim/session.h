#pragma once
// One simulated access-point connection.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "script.h"

namespace sim {

struct Config {
    std::string user = "admin";
    std::string password = "admin";
    std::uint64_t seed = 0;
    bool negotiate = false;
    bool verbose = false;
    std::optional<std::vector<Step>> script;
};

// Writes one line to stderr as a single write, so lines from threads never interleave.
void logLine(const std::string& line);

// Serves a connected socket until it ends, then closes it. stopFd turns readable when the
// server stops. Never throws.
void serveConnection(int fd, int id, const Config& cfg, int stopFd);

}  // namespace sim
