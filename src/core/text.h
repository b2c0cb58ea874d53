#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace approbe {

// Reads a number as atoi does (leading white space, optional sign, digits up to the first
// non-digit; none gives 0), but saturates at the 32-bit limits instead of overflowing.
int ParseInt(const char* text);
inline int ParseInt(const std::string& text) { return ParseInt(text.c_str()); }

// "%d dBm", the format of every signal level shown.
std::string FormatDbm(std::int64_t value);

// text without the blanks and tabs at either end.
std::string Trim(std::string_view text);

// printf-style formatting into a std::string, for the status texts.
std::string Format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

} // namespace approbe
