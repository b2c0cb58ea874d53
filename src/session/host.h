#pragma once

#include <optional>
#include <string>
#include <string_view>

// What a host text names: the transport, and the name or address to look up. Shared by the
// dialog, the poller and the host-key files, so that every part reads "ssh://[fe80::1%eth0]"
// the same way.
namespace approbe::session {

enum class Transport { Telnet, Ssh };

struct HostText {
    Transport transport = Transport::Telnet;
    // Without scheme and brackets: what the resolver is given ("fe80::1%eth0", "ap1", "10.0.0.2").
    std::string name;
};

// "ssh://" selects SSH; "telnet://" or no scheme, telnet. An IPv6 literal may stand in brackets
// or bare, with a scope after '%'.
HostText ParseHostText(const std::string& text);
inline int DefaultPort(Transport transport) { return transport == Transport::Ssh ? 22 : 23; }
inline int DefaultPort(const std::string& hostText) { return DefaultPort(ParseHostText(hostText).transport); }

// A port as a config file or a listen address writes it: digits only, in 1..65535 (0 too where
// allowed); none otherwise.
std::optional<int> ParsePort(std::string_view text, bool allowZero = false);

// "HOST:PORT" or "[V6]:PORT", as Listen takes it (port 0 only if allowed); false if text is not that.
bool ParseHostPort(const std::string& text, std::string& host, int& port, bool allowPortZero = false);

} // namespace approbe::session
