#include "retry.h"

#include <algorithm>

namespace approbe::session {

milliseconds RetryPolicy::Delay(int failures, bool linkLost, double unit) const
{
    if (linkLost)
        return afterSilence;
    const int doublings = std::clamp(failures - 1, 0, 20);
    milliseconds whole = first;
    for (int i = 0; i < doublings && whole < max; ++i)
        whole *= 2;
    whole = std::min(whole, max);
    if (!jitter)
        return whole;
    unit = std::clamp(unit, 0.0, 1.0);
    return milliseconds(whole.count() / 2 + static_cast<long long>(static_cast<double>(whole.count()) / 2 * unit));
}

} // namespace approbe::session
