#pragma once

#include <cstdint>

#include "probe_window.h"

namespace approbe {

// Statistics of one session. The sums and the byte count are 64-bit so that no session is long
// enough to wrap them.
struct Measurements {
    int m_nLevel = 0;
    int m_nNoiseMin = 200;
    int m_nNoiseMax = -200;
    std::int64_t m_nNoiseSum = 0;
    std::int64_t m_nNoiseCount = 0;
    int m_nLocalMax = -200;
    int m_nLocalMin = 200;
    std::int64_t m_nRxTotal = 0;

    void Reset() { *this = Measurements{}; }
};

// Reads the noise floor, local and remote RSSI out of one zero-terminated received block,
// updates the statistics and writes the value fields and bars.
void ScanReply(const char* text, Measurements& m, IProbeWindow& window);

} // namespace approbe
