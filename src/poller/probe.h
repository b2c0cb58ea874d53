#pragma once

#include <cstdio>
#include <optional>
#include <string>

#include "config.h"

namespace approbe::poller {

// approbe-poller --probe NAME: logs in to the one access point of that name, says which device type
// was taken and why, each command sent with its raw reply and the reading of one whole poll (and why
// a value is missing), then ends with the farewell. type, when given, is tried in place of the
// access point's own. Returns the exit status: 0 when a poll was read, 1 when none was.
int Probe(const PollerConfig& config, const ApConfig& ap, const std::optional<session::DeviceType>& type,
          std::FILE* out);

} // namespace approbe::poller
