#include "text.h"

#include <algorithm>
#include <climits>
#include <cstdarg>
#include <cstdio>

namespace approbe {

std::string_view TrimmedView(std::string_view text)
{
    // By hand: find_first_not_of asks memchr about every character.
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
        text.remove_suffix(1);
    return text;
}

std::size_t LineEnd(std::string_view text, std::size_t from)
{
    // The LF of a CR LF ends an empty line at once: every other line is one.
    if (from < text.size() && (text[from] == '\n' || text[from] == '\r'))
        return from;
    // Two vector searches rather than a loop over every character: a reply's lines are long. The
    // LF first, and the CR only up to it: text joined with LF alone (a kept reply) would otherwise
    // be searched to its end for a CR at every line.
    const std::size_t lf = text.find('\n', from);
    const std::size_t cr = text.substr(0, lf == std::string_view::npos ? text.size() : lf).find('\r', from);
    return std::min({cr, lf, text.size()});
}

int ParseInt(const char* text)
{
    const char* p = text;
    // isspace in the C locale: blank, \t \n \v \f \r.
    while (*p == ' ' || (*p >= '\t' && *p <= '\r'))
        ++p;
    bool negative = false;
    if (*p == '+' || *p == '-')
        negative = (*p++ == '-');
    std::int64_t magnitude = 0;
    constexpr std::int64_t limit = std::int64_t{INT_MAX} + 1;
    for (; *p >= '0' && *p <= '9'; ++p) {
        if (magnitude < limit)
            magnitude = magnitude * 10 + (*p - '0');
    }
    if (magnitude > limit)
        magnitude = limit;
    std::int64_t value = negative ? -magnitude : magnitude;
    if (value > INT_MAX)
        value = INT_MAX;
    return static_cast<int>(value);
}

std::string FormatDbm(std::int64_t value)
{
    return std::to_string(value) + " dBm";
}

std::string Format(const char* fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    va_list copy;
    va_copy(copy, args);
    const int needed = std::vsnprintf(nullptr, 0, fmt, copy);
    va_end(copy);
    std::string out;
    if (needed > 0) {
        out.resize(static_cast<std::size_t>(needed));
        std::vsnprintf(out.data(), out.size() + 1, fmt, args);
    }
    va_end(args);
    return out;
}

} // namespace approbe
