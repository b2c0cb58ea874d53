#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "device_catalog.h"
#include "retry.h"

// What a front end gives the loop for a session: where, who, how often, and every deadline.
namespace approbe::session {

using Clock = std::chrono::steady_clock;
using SessionId = std::uint64_t;

enum class HostKeyPolicy {
    Strict,    // only keys already known
    AcceptNew, // the first key of a host is saved, then held to
    Ask,       // the front end is asked about an unknown key (AnswerHostKey)
};

struct Deadlines {
    milliseconds connect{10000};      // resolving and connecting, every address in turn
    milliseconds retryConnect{1500};  // the same for an attempt after the link was lost
    milliseconds login{20000};        // from the connection until the shell is polled
    int stalePolls = kFreshPolls;     // polls unanswered before the values are stale
    milliseconds silent{10000};       // polls unanswered this long: the session ends
    milliseconds disconnectGrace{3000}; // after Disconnect shut our side, for the access point to close
    milliseconds farewell{1000};      // after the farewell, for the access point to close first
};

struct SessionSetup {
    std::string host; // as typed: "ap1", "ssh://10.1.0.2", "[::1]", "fe80::1%eth0"
    int port = 0;     // 0: the transport's own
    std::string user, password;
    milliseconds pollPeriod{1000}; // zero: polls only on PollNow
    Clock::duration pollOffset{};  // where in the period this session polls
    HostKeyPolicy hostKeys = HostKeyPolicy::Strict;
    RetryPolicy retry;
    DeviceChoice device; // the shell's type: automatic by default
    bool trace = false;  // the engine's Trace actions (approbe-poller --probe)
};

} // namespace approbe::session
