#pragma once

#include <chrono>
#include <cstdint>
#include <optional>

// What one received block says about the link, as values: the parser, the session statistics
// built from readings, and nothing about how they are shown.
namespace approbe {

struct Reading {
    std::optional<int> noise;  // noise floor, dBm ("Level:")
    std::optional<int> local;  // local RSSI, dBm ("Local RSSI level:")
    std::optional<int> remote; // remote RSSI, dBm ("Remote RSSI level:")
    std::int64_t rxBytes = 0;  // bytes received in the session so far, this block included
    std::chrono::system_clock::time_point at{};

    bool any() const { return noise || local || remote; }
    friend bool operator==(const Reading&, const Reading&) = default;
};

// Reads the three labelled levels out of one zero-terminated block: the first occurrence of each
// label counts, the character after it is skipped whatever it is, the number is read as atoi reads
// it (saturating), a label that ends the text reads 0, and nothing past the zero is looked at.
Reading ParseReading(const char* text);

// Statistics of one session. The sums and the byte count are 64-bit so that no session is long
// enough to wrap them.
struct Statistics {
    int m_nLevel = 0; // the value read last, of any kind
    int m_nNoiseMin = 200;
    int m_nNoiseMax = -200;
    std::int64_t m_nNoiseSum = 0;
    std::int64_t m_nNoiseCount = 0;
    int m_nLocalMax = -200;
    int m_nLocalMin = 200;
    std::int64_t m_nRxTotal = 0;

    std::int64_t NoiseAverage() const { return m_nNoiseCount ? m_nNoiseSum / m_nNoiseCount : 0; }
};

// Adds a reading's values to the statistics, noise first, then local, then remote.
void Accumulate(Statistics& stats, const Reading& reading);

} // namespace approbe
