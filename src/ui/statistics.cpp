#include "statistics.h"

#include <algorithm>

namespace approbe::ui {

using session::Reading;

void Statistics::Add(const Reading& reading)
{
    if (reading.noise) {
        m_nNoiseSum += *reading.noise;
        m_nNoiseCount += 1;
        m_nNoiseMin = std::min(m_nNoiseMin, *reading.noise);
        m_nNoiseMax = std::max(m_nNoiseMax, *reading.noise);
    }
    if (reading.local) {
        m_nLocalMin = std::min(m_nLocalMin, *reading.local);
        m_nLocalMax = std::max(m_nLocalMax, *reading.local);
    }
}

void Statistics::Add(const Statistics& later)
{
    m_nNoiseSum += later.m_nNoiseSum;
    m_nNoiseCount += later.m_nNoiseCount;
    m_nNoiseMin = std::min(m_nNoiseMin, later.m_nNoiseMin);
    m_nNoiseMax = std::max(m_nNoiseMax, later.m_nNoiseMax);
    m_nLocalMin = std::min(m_nLocalMin, later.m_nLocalMin);
    m_nLocalMax = std::max(m_nLocalMax, later.m_nLocalMax);
}

} // namespace approbe::ui
