#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// How a shell's text becomes a signal level, whatever shell printed it.
namespace approbe::session {

// The level a value's text gives, in dBm: "-65", "-65 dBm", "-65dBm@1Mbps", "-95 dB" (units and
// what follows them are dropped); a per-chain list "-67 [-67, -77, -95, -95] dBm" gives its
// combined value (the first), a list alone "[-67, -77]" their power sum. "unknown", no number,
// and a level outside -120..0 dBm give no value, never 0; so does a noise floor of 0, which
// drivers print when they have none.
std::optional<int> LevelValue(std::string_view text, bool noise = false);
// The number a value's text begins with, units dropped as above, but any number: an SNR, a
// difference's second term.
std::optional<int> NumberValue(std::string_view text);
// A level as LevelValue takes it: inside -120..0 dBm, and a noise floor not 0.
std::optional<int> CheckedLevel(std::int64_t value, bool noise);

// The text without a terminal's escape sequences (colours, cursor moves, titles).
std::string WithoutEscapes(std::string_view text);

} // namespace approbe::session
