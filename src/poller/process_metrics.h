#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "metrics.h"

namespace approbe::poller {

// This process's CPU time, memory, descriptors and start time from /proc/self; nothing if /proc
// cannot be read.
std::optional<ProcessStats> ReadProcessStats();

// Descriptors a poller needs at most: a socket per session (and a recording file each when
// recording), the /metrics server's connections, and the process's own few.
std::uint64_t DescriptorsNeeded(std::size_t sessions, bool recording, unsigned httpConnections);

// This process's limit on open descriptors (the soft one).
std::uint64_t DescriptorLimit();

} // namespace approbe::poller
