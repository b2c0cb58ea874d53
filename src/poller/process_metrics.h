#pragma once

#include <optional>

#include "metrics.h"

namespace approbe::poller {

// This process's CPU time, memory, descriptors and start time from /proc/self; nothing if /proc
// cannot be read.
std::optional<ProcessStats> ReadProcessStats();

} // namespace approbe::poller
