#include "host.h"

#include <charconv>
#include <string_view>

namespace approbe::session {
namespace {

constexpr std::string_view kSshScheme = "ssh://";
constexpr std::string_view kTelnetScheme = "telnet://";

std::string Unbracketed(std::string_view name)
{
    if (name.size() >= 2 && name.front() == '[' && name.back() == ']')
        name = name.substr(1, name.size() - 2);
    return std::string(name);
}

} // namespace

HostText ParseHostText(const std::string& text)
{
    std::string_view rest = text;
    HostText out;
    if (rest.starts_with(kSshScheme)) {
        out.transport = Transport::Ssh;
        rest.remove_prefix(kSshScheme.size());
    } else if (rest.starts_with(kTelnetScheme)) {
        rest.remove_prefix(kTelnetScheme.size());
    }
    out.name = Unbracketed(rest);
    return out;
}

bool ParseHostPort(const std::string& text, std::string& host, int& port, bool allowPortZero)
{
    const auto colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0)
        return false;
    std::string_view name(text.data(), colon);
    // A bare IPv6 address has colons of its own: it must be bracketed to carry a port.
    if (name.find(':') != std::string_view::npos && !(name.front() == '[' && name.back() == ']'))
        return false;
    const auto value = ParsePort(std::string_view(text).substr(colon + 1), allowPortZero);
    if (!value)
        return false;
    host = Unbracketed(name);
    port = *value;
    return !host.empty();
}

std::optional<int> ParsePort(std::string_view text, bool allowZero)
{
    int value = 0;
    const char* last = text.data() + text.size();
    const auto [end, ec] = std::from_chars(text.data(), last, value);
    if (text.empty() || text.front() == '-' || ec != std::errc() || end != last || value < (allowZero ? 0 : 1) ||
        value > 65535)
        return std::nullopt;
    return value;
}

} // namespace approbe::session
