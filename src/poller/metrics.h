#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "levels.h"

// What /metrics shows of each access point, and its Prometheus text exposition.
namespace approbe::poller {

// One row of the station table (Stations=all): its levels as they came last.
struct StationSeries {
    LatestLevels::Level local, remote;
};

struct ApSeries {
    std::string name;
    bool loggedIn = false;
    LatestLevels levels; // the followed station's (the first row, or Station=MAC)
    // By the station label: the row's MAC address, or its place in the table ("1", ...) if it
    // shows none.
    std::map<std::string, StationSeries> stations;
    std::optional<std::chrono::system_clock::time_point> lastReading;
    std::uint64_t receivedBytes = 0, connects = 0, loginRejections = 0, pollCommands = 0, hostKeyRejections = 0;
};

// The HELP and TYPE lines that open a metric family.
void AppendFamilyHead(std::string& out, const char* name, const char* type, const char* help);

// A reading's station rows into series.stations: the levels it brought for its row; a row none
// came for within maxAge is dropped, as its station has gone from the table.
void UpdateStations(ApSeries& series, const session::Reading& reading, std::chrono::system_clock::duration maxAge);

// A label value with backslash, double quote and line feed escaped.
std::string EscapeLabel(const std::string& value);

// The exposition at now: levels older than maxAge are left out, so that they go stale in
// Prometheus instead of repeating; up is 1 only while logged in with a reading at most maxAge old.
// Written a piece at a time, so that a scrape of thousands of access points never holds its whole
// text (megabytes) at once: the series, in name order, are all it keeps.
class ExpositionWriter {
public:
    ExpositionWriter(std::vector<ApSeries> aps, std::chrono::system_clock::time_point now,
               std::chrono::system_clock::duration maxAge);
    // Appends the next samples to out, stopping once it has grown by want bytes or more (by a line
    // or a family's head past it at most); false once the whole text is written.
    bool Next(std::string& out, std::size_t want);

private:
    bool Present(std::size_t family) const;
    void Samples(std::size_t family, const ApSeries& ap, std::string& out) const;

    std::vector<ApSeries> m_aps;
    std::chrono::system_clock::time_point m_now;
    std::chrono::system_clock::duration m_maxAge;
    std::size_t m_family = 0, m_ap = 0; // the next sample to write
};

// The whole exposition in one string.
std::string FormatExposition(std::vector<ApSeries> aps, std::chrono::system_clock::time_point now,
                             std::chrono::system_clock::duration maxAge);

// This process's figures, as every Prometheus exporter serves them (process_*).
struct ProcessStats {
    double cpuSeconds = 0;
    std::uint64_t residentBytes = 0, virtualBytes = 0, openFds = 0, maxFds = 0;
    double startTimeSeconds = 0; // Unix time
};

// What /metrics says of the poller itself: its version, the outcome of the last reading of its
// config (at start, then at each SIGHUP) and, when /proc could be read, the process's figures.
struct PollerStatus {
    std::string version;
    bool lastReloadOk = true;
    std::chrono::system_clock::time_point lastReloadSuccess;
    std::optional<ProcessStats> process;
};
std::string FormatPollerStatus(const PollerStatus& status);

} // namespace approbe::poller
