#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

// Which access points this poller takes.
namespace approbe::poller {

struct Shard {
    std::uint32_t k = 0, n = 1; // this poller is number k (from 0) of n
};

// "K/N" with 0 <= K < N; false if text is not that.
bool ParseShard(const std::string& text, Shard& shard);

// A hash of the name that every machine computes alike (FNV-1a, 64-bit), unlike std::hash,
// so that N pollers sharing one config split it without overlap or gaps.
std::uint64_t NameHash(std::string_view name);
inline bool InShard(std::string_view name, const Shard& shard) { return NameHash(name) % shard.n == shard.k; }


} // namespace approbe::poller
