#include "series_table.h"

#include <algorithm>
#include <functional>

namespace approbe::poller {

std::size_t SeriesTable::ShardOf(const std::string& name)
{
    return std::hash<std::string>{}(name) % kShards;
}

SeriesTable::Handle SeriesTable::Add(const std::string& name)
{
    const std::size_t k = ShardOf(name);
    std::lock_guard lock(m_shards[k].mutex);
    ApSeries& s = m_shards[k].series[name];
    s = ApSeries{};
    s.name = name;
    return {k, &s};
}

void SeriesTable::Remove(const std::string& name)
{
    Shard& shard = m_shards[ShardOf(name)];
    std::lock_guard lock(shard.mutex);
    shard.series.erase(name);
}

std::vector<ApSeries> SeriesTable::Snapshot()
{
    std::size_t count = 0;
    for (Shard& shard : m_shards) {
        std::lock_guard lock(shard.mutex);
        count += shard.series.size();
    }
    std::vector<ApSeries> out;
    out.reserve(count); // a scrape of thousands: no copy of them all to grow into
    for (Shard& shard : m_shards) {
        std::lock_guard lock(shard.mutex);
        for (const auto& [name, series] : shard.series)
            out.push_back(series);
    }
    std::sort(out.begin(), out.end(), [](const ApSeries& a, const ApSeries& b) { return a.name < b.name; });
    return out;
}

} // namespace approbe::poller
