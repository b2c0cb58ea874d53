#include "level_value.h"

#include <algorithm>
#include <cmath>

namespace approbe::session {
namespace {

constexpr int kLowest = -120;
constexpr int kHighest = 0;

bool Blank(char c)
{
    return c == ' ' || c == '\t' || c == '"' || c == '\'';
}

// A whole number at the front of text, saturating far beyond any level; the text after it.
std::optional<std::int64_t> TakeNumber(std::string_view& text)
{
    std::size_t i = 0;
    const bool negative = i < text.size() && text[i] == '-';
    if (i < text.size() && (text[i] == '-' || text[i] == '+'))
        ++i;
    const std::size_t digits = i;
    std::int64_t magnitude = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i)
        magnitude = std::min<std::int64_t>(magnitude * 10 + (text[i] - '0'), 1'000'000);
    if (i == digits)
        return std::nullopt;
    // A fraction is dropped: levels are shown in whole dBm.
    if (i + 1 < text.size() && text[i] == '.' && text[i + 1] >= '0' && text[i + 1] <= '9') {
        for (++i; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        }
    }
    text.remove_prefix(i);
    return negative ? -magnitude : magnitude;
}

// "[-67, -77]": the chains' power summed, in dBm; nothing if any entry is no number.
std::optional<std::int64_t> ChainSum(std::string_view text)
{
    text.remove_prefix(1);
    double milliwatts = 0;
    int chains = 0;
    for (;;) {
        while (!text.empty() && (Blank(text.front()) || text.front() == ','))
            text.remove_prefix(1);
        if (!text.empty() && text.front() == ']')
            break;
        const auto v = TakeNumber(text);
        if (!v || *v < kLowest || *v > kHighest)
            return std::nullopt;
        milliwatts += std::pow(10.0, static_cast<double>(*v) / 10.0);
        ++chains;
    }
    if (!chains)
        return std::nullopt;
    return std::lround(10.0 * std::log10(milliwatts));
}

} // namespace

std::optional<int> NumberValue(std::string_view text)
{
    while (!text.empty() && Blank(text.front()))
        text.remove_prefix(1);
    const auto v = !text.empty() && text.front() == '[' ? ChainSum(text) : TakeNumber(text);
    if (!v)
        return std::nullopt;
    return static_cast<int>(*v);
}

std::optional<int> CheckedLevel(std::int64_t value, bool noise)
{
    if (value < kLowest || value > kHighest || (noise && value == 0))
        return std::nullopt;
    return static_cast<int>(value);
}

std::optional<int> LevelValue(std::string_view text, bool noise)
{
    const auto v = NumberValue(text);
    return v ? CheckedLevel(*v, noise) : std::nullopt;
}

std::string WithoutEscapes(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\x1b') {
            // The text up to the next escape, at once: most replies have none.
            const std::size_t next = std::min(text.find('\x1b', i), text.size());
            out.append(text.substr(i, next - i));
            i = next - 1;
            continue;
        }
        if (i + 1 >= text.size())
            break;
        const char kind = text[++i];
        if (kind == '[') {
            // CSI: parameters and intermediates up to a final byte in @..~.
            while (++i < text.size() && !(text[i] >= '@' && text[i] <= '~')) {
            }
        } else if (kind == ']') {
            // OSC (a window title): up to BEL or ESC backslash.
            while (++i < text.size() && text[i] != '\a' && !(text[i] == '\x1b' && i + 1 < text.size() && text[i + 1] == '\\')) {
            }
            if (i < text.size() && text[i] == '\x1b')
                ++i;
        } else if (kind == '(' || kind == ')') {
            ++i; // a character set: one more byte
        }
        // Anything else is a two-byte sequence, already taken.
    }
    return out;
}

} // namespace approbe::session
