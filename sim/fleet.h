#pragma once
// Many simulated access points served by one thread: one epoll loop, non-blocking sockets, and a
// listening socket per access point. Each access point walks its own values (the seed plus its
// number), plays its own kind of shell and answers after its own delay; the login program and
// the shell are the default dialogue's, without telnet options.
#include <vector>

#include "session.h"

namespace sim {

struct FleetOptions {
    long long replyDelayMaxMs = 0;  // each access point answers after its own delay, 0..this
    bool hold = false;              // each access point keeps its first values: replies keep their length
    std::size_t maxConnections = 100;  // per access point
    std::vector<DeviceKind> kinds;     // access point k plays kinds[k % size]; empty: the --device-type
};

// Serves the access points listening on listeners (access point k on listeners[k]) until stopFd
// turns readable. Returns the exit status.
int serveFleet(const std::vector<int>& listeners, const Config& cfg, const FleetOptions& fleet, int stopFd);

}  // namespace sim
