#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "levels.h"

// What /metrics shows of each access point, and its Prometheus text exposition.
namespace approbe::poller {

struct ApSeries {
    std::string name;
    bool loggedIn = false;
    LatestLevels levels;
    std::optional<std::chrono::system_clock::time_point> lastReading;
    std::uint64_t receivedBytes = 0, connects = 0, loginRejections = 0, pollCommands = 0, hostKeyRejections = 0;
};

// A label value with backslash, double quote and line feed escaped.
std::string EscapeLabel(const std::string& value);

// The exposition at now: levels older than maxAge are left out, so that they go stale in
// Prometheus instead of repeating; up is 1 only while logged in with a reading at most maxAge old.
std::string FormatExposition(const std::vector<ApSeries>& aps, std::chrono::system_clock::time_point now,
                             std::chrono::system_clock::duration maxAge);

} // namespace approbe::poller
