#pragma once

#include <cstdint>

#include "reading.h"

namespace approbe::ui {

// The dialog's statistics of one session: the noise floor's minimum, maximum and average, the
// local RSSI's minimum and maximum. The sums are 64-bit so that no session is long enough to
// wrap them. A level beyond the starting bounds (+-200) leaves that bound standing.
struct Statistics {
    int m_nNoiseMin = 200;
    int m_nNoiseMax = -200;
    std::int64_t m_nNoiseSum = 0;
    std::int64_t m_nNoiseCount = 0;
    int m_nLocalMax = -200;
    int m_nLocalMin = 200;

    std::int64_t NoiseAverage() const { return m_nNoiseCount ? m_nNoiseSum / m_nNoiseCount : 0; }
    // A reading's levels.
    void Add(const session::Reading& reading);
    // The statistics of readings that came after these: as if each had been added in turn.
    void Add(const Statistics& later);
};

} // namespace approbe::ui
