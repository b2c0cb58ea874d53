#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

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

// What to tell the operator when the limit is below what sessions need (see DescriptorsNeeded);
// empty when it is not. Said at the start and at each reload.
std::string DescriptorShortfall(std::size_t sessions, bool recording, unsigned httpConnections);

} // namespace approbe::poller
