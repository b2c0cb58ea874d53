#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <vector>

#include "levels.h"
#include "reading.h"

// What the trend window shows, free of any toolkit: the history of readings and the best levels.
namespace approbe::ui {

// The raw readings of the last half hour and more, in a fixed ring: what is drawn (SNR, gaps) is
// derived from them at draw time, so nothing derived can go out of step with the readings.
class TrendHistory {
public:
    using Clock = std::chrono::system_clock;
    static constexpr std::int16_t kNone = INT16_MIN;
    struct Sample {
        Clock::time_point at;
        std::int16_t noise = kNone, local = kNone, remote = kNone;
    };
    // A stored level as a level (kNone: none).
    static std::optional<int> Value(std::int16_t stored)
    {
        return stored == kNone ? std::nullopt : std::optional<int>(stored);
    }
    // Two readings a second (noise and station replies come apart) for 30 minutes, with room.
    static constexpr std::size_t kCapacity = 8192;

    void Add(const session::Reading& reading);
    std::size_t size() const { return m_size; }
    // Samples ever added: tells a view which samples are new since it last looked.
    std::uint64_t added() const { return m_added; }
    // Oldest first.
    const Sample& operator[](std::size_t i) const { return m_ring[(m_head + i) % kCapacity]; }
    // The first sample at or after t (size() if none).
    std::size_t LowerBound(Clock::time_point t) const;

private:
    // Taken at the first reading: 128 kB that start-up need not touch.
    std::vector<Sample> m_ring;
    std::size_t m_head = 0, m_size = 0;
    std::uint64_t m_added = 0;
};

// What the trend window shows, kept whether or not the window is open.
struct TrendData {
    using Clock = std::chrono::system_clock;
    struct Best {
        std::optional<int> value;
        Clock::time_point at{};
        bool operator==(const Best&) const = default;
    };
    TrendHistory history;
    LatestLevels latest;
    Best bestLocal, bestRemote;
    // The station followed (none: the station table's first row, as the dialog shows), and the
    // MAC addresses the tables have shown, in the order they came.
    std::optional<session::MacAddress> station;
    std::vector<session::MacAddress> stationsSeen;
    static constexpr std::size_t kMaxStationsSeen = 64;

    // A reading as the followed station's: what Add, the SNR and the tone take.
    session::Reading Followed(const session::Reading& reading) const
    {
        return session::FollowedStation(reading, station);
    }
    // Takes a reading already Followed; notes the MAC addresses of its rows.
    void Add(const session::Reading& reading);
    void ResetBest() { bestLocal = bestRemote = {}; }
    // The shell's type gives only these levels (session::kGives* bits): the others' latest and best
    // go; the history stays, as it was.
    void KeepOnly(int gives);
    // Follows another station: its levels start afresh (no SNR of one station's RSSI and the
    // other's noise, no best of the other); the history stays, as it was followed.
    void Follow(const std::optional<session::MacAddress>& mac);
};

} // namespace approbe::ui
