#include "poll_intervals.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace sim {

void PollIntervals::commands(Clock::time_point now, Clock::time_point& last, std::uint64_t& polls) {
    if (polls > 0 && now - last < kSamePoll) return;
    if (polls >= 2) add(now - last);
    last = now;
    ++polls;
}

void PollIntervals::add(Clock::duration interval) {
    const auto tenths = std::chrono::duration_cast<std::chrono::microseconds>(interval).count() / 100;
    ++bins_[static_cast<std::size_t>(std::clamp<long long>(tenths, 0, kBins - 1))];
    ++count_;
    min_ = std::min(min_, interval);
    max_ = std::max(max_, interval);
}

std::string PollIntervals::take() {
    auto ms = [](Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); };
    // The bin holding the q-quantile, as its middle in ms.
    auto quantile = [this](double q) {
        const auto want = static_cast<std::uint64_t>(q * static_cast<double>(count_ - 1)) + 1;
        std::uint64_t seen = 0;
        std::size_t bin = 0;
        while ((seen += bins_[bin]) < want) ++bin;
        return (static_cast<double>(bin) + 0.5) / kBinsPerMs;
    };
    char line[256];
    if (count_ == 0) {
        std::snprintf(line, sizeof line, "poll intervals: 0");
    } else {
        const double median = quantile(0.5);
        std::uint64_t off = 0;
        for (std::size_t bin = 0; bin < kBins; ++bin) {
            if (std::abs((static_cast<double>(bin) + 0.5) / kBinsPerMs - median) > 10) off += bins_[bin];
        }
        std::snprintf(line, sizeof line,
                      "poll intervals: %llu; ms: min %.1f, p1 %.1f, p50 %.1f, p99 %.1f, max %.1f; more than 10 ms "
                      "off the median: %llu",
                      static_cast<unsigned long long>(count_), ms(min_), quantile(0.01), median, quantile(0.99),
                      ms(max_), static_cast<unsigned long long>(off));
    }
    std::fill(bins_.begin(), bins_.end(), 0u);
    count_ = 0;
    min_ = Clock::duration::max();
    max_ = Clock::duration::min();
    return line;
}

}  // namespace sim
