#include "schedule.h"

#include <algorithm>
#include <cstdlib>

namespace approbe::poller {

bool ParseShard(const std::string& text, Shard& shard)
{
    const auto slash = text.find('/');
    if (slash == std::string::npos || slash == 0 || slash + 1 == text.size() || text.size() > 21)
        return false;
    const std::string k = text.substr(0, slash), n = text.substr(slash + 1);
    if (k.find_first_not_of("0123456789") != std::string::npos || n.find_first_not_of("0123456789") != std::string::npos)
        return false;
    const unsigned long kv = std::strtoul(k.c_str(), nullptr, 10), nv = std::strtoul(n.c_str(), nullptr, 10);
    if (nv == 0 || nv > 65536 || kv >= nv)
        return false;
    shard = {static_cast<std::uint32_t>(kv), static_cast<std::uint32_t>(nv)};
    return true;
}

std::uint64_t NameHash(std::string_view name)
{
    std::uint64_t h = 14695981039346656037ull;
    for (unsigned char c : name) {
        h ^= c;
        h *= 1099511628211ull;
    }
    return h;
}

} // namespace approbe::poller
