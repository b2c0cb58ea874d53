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

// Descriptors a poller needs at most besides its recordings: a socket per session, the /metrics
// server's connections, and the process's own few (a recording being written among them).
std::uint64_t DescriptorsNeeded(std::size_t sessions, unsigned httpConnections);

// This process's limit on open descriptors (the soft one).
std::uint64_t DescriptorLimit();

// How many recording files may stay open beside what the sessions need (DescriptorsNeeded), within
// the limit as it is now; the recordings of further access points are reopened for each row.
std::uint64_t RecordingFilesOpenAtMost(std::size_t sessions, unsigned httpConnections);

// What to tell the operator when the limit is below what sessions and, when recording, a file held
// open for each of them need; empty when it is not. Said at the start and at each reload.
std::string DescriptorShortfall(std::size_t sessions, bool recording, unsigned httpConnections);

} // namespace approbe::poller
