#include "reading.h"

#include <cstring>

#include "text.h"

namespace approbe {
namespace {

std::optional<int> FindLabelled(const char* text, const char* label)
{
    const char* at = std::strstr(text, label);
    if (!at)
        return std::nullopt;
    const char* after = at + std::strlen(label);
    return *after ? ParseInt(after + 1) : 0;
}

void Extend(int v, int& min, int& max)
{
    if (v >= max)
        max = v;
    if (v <= min)
        min = v;
}

} // namespace

Reading ParseReading(const char* text)
{
    Reading r;
    r.noise = FindLabelled(text, "Level:");
    r.local = FindLabelled(text, "Local RSSI level:");
    r.remote = FindLabelled(text, "Remote RSSI level:");
    return r;
}

void Accumulate(Statistics& stats, const Reading& reading)
{
    if (reading.noise) {
        stats.m_nLevel = *reading.noise;
        stats.m_nNoiseSum += *reading.noise;
        stats.m_nNoiseCount += 1;
        Extend(*reading.noise, stats.m_nNoiseMin, stats.m_nNoiseMax);
    }
    if (reading.local) {
        stats.m_nLevel = *reading.local;
        Extend(*reading.local, stats.m_nLocalMin, stats.m_nLocalMax);
    }
    if (reading.remote)
        stats.m_nLevel = *reading.remote;
}

} // namespace approbe
