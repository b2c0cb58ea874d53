#pragma once

#include <algorithm>
#include <chrono>
#include <climits>
#include <optional>
#include <utility>

#include "device_type.h"
#include "reading.h"

namespace approbe {

// The latest value of each level and when it came, across readings: a noise reply and a station
// reply arrive in different blocks, so figures that combine them (SNR) look here.
struct LatestLevels {
    using Clock = std::chrono::system_clock;
    struct Level {
        std::optional<int> value;
        Clock::time_point at{};
        // The value if it is at most maxAge old at now.
        std::optional<int> Fresh(Clock::time_point now, Clock::duration maxAge) const
        {
            return value && now - at <= maxAge ? value : std::nullopt;
        }
    };
    Level noise, local, remote;

    void Update(const session::Reading& r)
    {
        if (r.noise)
            noise = {r.noise, r.at};
        if (r.local)
            local = {r.local, r.at};
        if (r.remote)
            remote = {r.remote, r.at};
    }
    // Forgets the levels not in gives (session::kGives* bits): the shell's type gives none of them.
    void KeepOnly(int gives)
    {
        for (auto [bit, level] : {std::pair{session::kGivesNoise, &noise}, std::pair{session::kGivesLocal, &local},
                                  std::pair{session::kGivesRemote, &remote}})
            if (!(gives & bit))
                *level = {};
    }
    // Signal to noise: local RSSI minus the noise floor, when both are fresh.
    std::optional<int> Snr(Clock::time_point now, Clock::duration maxAge) const
    {
        const auto n = noise.Fresh(now, maxAge);
        const auto l = local.Fresh(now, maxAge);
        if (!n || !l)
            return std::nullopt;
        const long long snr = static_cast<long long>(*l) - *n; // saturated levels must not overflow
        return static_cast<int>(std::clamp<long long>(snr, INT_MIN, INT_MAX));
    }
};

// How old a level may be and still count as current, for SNR and the stale display, at the
// dialog's poll period of a second.
inline constexpr std::chrono::seconds kFreshFor = session::FreshFor(std::chrono::seconds(1));

} // namespace approbe
