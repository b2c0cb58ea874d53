#pragma once

#include <array>
#include <cstddef>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "metrics.h"

namespace approbe::poller {

// What /metrics shows of every access point, shared by the loop (which writes) and the server's
// thread (which reads). The series are spread over shards, each with its own lock: the loop takes
// one shard's lock to update one access point, and a scrape copies one shard at a time, so a scrape
// holds the loop up for one shard's copy at most, never for the whole table or the render.
class SeriesTable {
public:
    static constexpr std::size_t kShards = 64;

    // Where one access point's series live; valid until it is removed.
    struct Handle {
        std::size_t shard = 0;
        ApSeries* series = nullptr;
    };

    // A fresh series for name (an old one of the same name starts afresh).
    Handle Add(const std::string& name);
    void Remove(const std::string& name);
    // Runs change on the access point's series under its shard's lock only.
    template <typename Change>
    void Update(const Handle& h, Change&& change)
    {
        std::lock_guard lock(m_shards[h.shard].mutex);
        change(*h.series);
    }
    // A copy of every series, in name order, taken a shard at a time.
    std::vector<ApSeries> Snapshot();

private:
    struct Shard {
        std::mutex mutex;
        std::map<std::string, ApSeries> series;
    };
    static std::size_t ShardOf(const std::string& name);

    std::array<Shard, kShards> m_shards;
};

} // namespace approbe::poller
