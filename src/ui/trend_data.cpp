#include "trend_data.h"

#include <algorithm>

namespace approbe::ui {
namespace {

using Clock = std::chrono::system_clock;
using session::MacAddress;
using session::Reading;
using session::StationRow;

std::int16_t Store(const std::optional<int>& v)
{
    if (!v)
        return TrendHistory::kNone;
    // Far outside any panel's range either way; kNone stays reserved.
    return static_cast<std::int16_t>(std::clamp(*v, -32000, 32000));
}

void Improve(TrendData::Best& best, const std::optional<int>& value, Clock::time_point at)
{
    if (value && (!best.value || *value > *best.value))
        best = {value, at};
}

} // namespace

void TrendHistory::Add(const Reading& reading)
{
    if (m_ring.empty())
        m_ring.resize(kCapacity);
    Sample& s = m_ring[(m_head + m_size) % kCapacity];
    s = {reading.at, Store(reading.noise), Store(reading.local), Store(reading.remote)};
    ++m_added;
    if (m_size < kCapacity)
        ++m_size;
    else
        m_head = (m_head + 1) % kCapacity;
}

std::size_t TrendHistory::LowerBound(Clock::time_point t) const
{
    std::size_t lo = 0, hi = m_size;
    while (lo < hi) {
        const std::size_t mid = (lo + hi) / 2;
        if ((*this)[mid].at < t)
            lo = mid + 1;
        else
            hi = mid;
    }
    return lo;
}

void TrendData::Add(const Reading& reading)
{
    for (const StationRow& row : reading.stations) {
        if (row.mac && stationsSeen.size() < kMaxStationsSeen &&
            std::find(stationsSeen.begin(), stationsSeen.end(), *row.mac) == stationsSeen.end())
            stationsSeen.push_back(*row.mac);
    }
    if (!reading.any())
        return;
    history.Add(reading);
    latest.Update(reading);
    Improve(bestLocal, reading.local, reading.at);
    Improve(bestRemote, reading.remote, reading.at);
}

void TrendData::KeepOnly(int gives)
{
    latest.KeepOnly(gives);
    if (!(gives & session::kGivesLocal))
        bestLocal = {};
    if (!(gives & session::kGivesRemote))
        bestRemote = {};
}

void TrendData::Follow(const std::optional<MacAddress>& mac)
{
    if (mac == station)
        return;
    station = mac;
    latest.local = latest.remote = {};
    ResetBest();
}

} // namespace approbe::ui
