#include "bars.h"

#include <algorithm>
#include <climits>

namespace approbe {

int BarPosition(int dbm, int offset)
{
    const std::int64_t pos = std::int64_t{dbm} + offset;
    return static_cast<int>(std::clamp<std::int64_t>(pos, INT_MIN, INT_MAX));
}

} // namespace approbe
