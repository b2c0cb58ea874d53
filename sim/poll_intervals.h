#pragma once
// The intervals between one access point's polls as the access point sees them, over a fleet: how
// steady a poller's timing is, measured at the far end of its connections.
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace sim {

class PollIntervals {
public:
    using Clock = std::chrono::steady_clock;
    // The commands that come within this of a poll's first are that poll's.
    static constexpr auto kSamePoll = std::chrono::milliseconds(100);

    // A connection's first command line after a quiet kSamePoll begins a poll; *polls counts its
    // polls and *last holds when the latest began. Intervals count from the second poll on: the
    // first commands after a login may be a type's setup, not a poll.
    void commands(Clock::time_point now, Clock::time_point& last, std::uint64_t& polls);
    // "poll intervals: N; ms: min A, p1 B, p50 C, p99 D, max E; more than 10 ms off the median: K",
    // then the count starts afresh.
    std::string take();

private:
    static constexpr std::size_t kBinsPerMs = 10, kBins = 10000 * kBinsPerMs; // 0.1 ms up to 10 s
    void add(Clock::duration interval);

    std::vector<std::uint32_t> bins_ = std::vector<std::uint32_t>(kBins);
    std::uint64_t count_ = 0;
    Clock::duration min_ = Clock::duration::max(), max_ = Clock::duration::min();
};

}  // namespace sim
