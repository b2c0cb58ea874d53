#include "retry.h"

#include <algorithm>

namespace approbe::session {

milliseconds RetryPolicy::Delay(int failures, bool linkLost, double unit) const
{
    milliseconds whole = afterSilence;
    if (!linkLost) {
        const int doublings = std::clamp(failures - 1, 0, 20);
        whole = first;
        for (int i = 0; i < doublings && whole < max; ++i)
            whole *= 2;
        whole = std::min(whole, max);
    }
    if (!jitter)
        return whole;
    unit = std::clamp(unit, 0.0, 1.0);
    return milliseconds(whole.count() / 2 + static_cast<long long>(static_cast<double>(whole.count()) / 2 * unit));
}

std::chrono::steady_clock::time_point StartPacer::Take(std::chrono::steady_clock::time_point now, double perSecond)
{
    if (perSecond <= 0)
        return now;
    const auto slot = std::max(now, m_next);
    m_next = slot + Gap(perSecond);
    return slot;
}

bool StartPacer::Missed(std::chrono::steady_clock::time_point slot, std::chrono::steady_clock::time_point now,
                        double perSecond)
{
    return perSecond > 0 && now - slot > Gap(perSecond) / 2;
}

std::chrono::steady_clock::duration StartPacer::Gap(double perSecond)
{
    return std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(1 / perSecond));
}

} // namespace approbe::session
