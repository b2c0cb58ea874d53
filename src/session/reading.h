#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// What the access point's replies say about the link, as values: the line scanner, a poll's
// reading, and nothing about how they are shown.
namespace approbe::session {

// A value counts as current for this many poll periods after the answer that brought it; older, it
// is stale (dimmed on screen, left out of /metrics, no SNR).
inline constexpr int kFreshPolls = 3;
template <typename Duration> constexpr Duration FreshFor(Duration pollPeriod) { return pollPeriod * kFreshPolls; }

// A station's MAC address, kept as its six bytes so that a reading copies without allocating.
class MacAddress {
public:
    // Exactly six pairs of hex digits joined by ':' (or all by '-'), in either case.
    static std::optional<MacAddress> Parse(std::string_view text);
    // "00:0c:42:1a:2b:3c".
    std::string ToString() const;
    friend auto operator<=>(const MacAddress&, const MacAddress&) = default;

private:
    std::array<std::uint8_t, 6> m_bytes{};
};

// One row of a station table: the station's MAC address if the row shows one, its levels.
struct StationRow {
    std::optional<MacAddress> mac;
    std::optional<int> local;  // dBm ("Local RSSI level:")
    std::optional<int> remote; // dBm ("Remote RSSI level:")
    friend bool operator==(const StationRow&, const StationRow&) = default;
};

// The levels a line brought, as they became known. A poll (the two commands of one tick) gives
// each value once: noise, local and remote are present only in the reading that brought them, so
// that statistics and screens take each once per poll.
struct Reading {
    std::optional<int> noise;  // noise floor, dBm ("Level:")
    std::optional<int> local;  // the first station row's local RSSI, dBm
    std::optional<int> remote; // the first station row's remote RSSI, dBm
    std::int64_t rxBytes = 0; // bytes received in the session so far, this block included
    std::chrono::system_clock::time_point at{};
    // The poll's station rows so far, in the order they came; row is the one this reading
    // brought levels for (-1: none) and rowLocal/rowRemote what it brought (a row may come in
    // more than one line). For row 0 they equal local and remote.
    std::vector<StationRow> stations{};
    int row = -1;
    std::optional<int> rowLocal{}, rowRemote{};

    // A level of the first row or the noise floor.
    bool any() const { return noise || local || remote; }
    // Anything at all: also a later row's levels.
    bool brings() const { return any() || row >= 0; }
    friend bool operator==(const Reading&, const Reading&) = default;
};

// What one whole line says: the first occurrence of each label, read from the second character
// after it as atoi reads (saturating); a label with no digits after it (at the end of the line,
// or followed by text) gives no value. The first MAC address in the line, if any. The line ends
// at its zero.
struct LineLevels {
    std::optional<int> noise, local, remote;
    std::optional<MacAddress> mac;
};
LineLevels ScanLine(const char* line);
// The number after one label as ScanLine reads it: the character after the label skipped whatever
// it is, then atoi's reading (saturating), if there are digits to read.
std::optional<int> LabelledNumber(const char* text, const char* label);

// The first MAC address standing on its own in the line (not inside a longer run of hex digits and
// separators), and where it ends.
struct MacInLine {
    MacAddress mac;
    std::size_t end = 0;
};
std::optional<MacInLine> FindMac(std::string_view line);

// A poll's replies, line by line, whatever order they come in: the noise floor from the first
// line that gives one, the station rows in the order they come. A line with a local or remote
// RSSI starts a row, unless the row before lacks every level the line brings and shows no other
// MAC address: then it completes that row. The first row gives local and remote; later rows never
// replace it. At most kMaxRows rows are kept: a flood of rows must not grow a poll without end.
class PollReading {
public:
    static constexpr std::size_t kMaxRows = 64;
    // The reading a whole line brings (stations and the levels it brought), if it brings any.
    std::optional<Reading> Add(const char* line) { return Add(ScanLine(line)); }
    // The same for what a line was found to say.
    std::optional<Reading> Add(const LineLevels& levels);
    const std::vector<StationRow>& rows() const { return m_rows; }

private:
    bool m_noise = false;
    std::vector<StationRow> m_rows;
};

// A text taken as one poll's replies: its lines (split at CR and LF; the text ends at its zero)
// through a PollReading, their values together.
Reading ParseReading(const char* text);

// The reading as it concerns one station: local and remote become the levels this reading
// brought for the first row with that MAC address, or stay the first row's (no MAC given). The
// noise floor and the rows stay as they are.
Reading FollowedStation(const Reading& reading, const std::optional<MacAddress>& mac);

} // namespace approbe::session
