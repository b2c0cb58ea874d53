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
std::string_view TrimmedView(std::string_view text);
inline std::string Trim(std::string_view text) { return std::string(TrimmedView(text)); }

// Where the line that begins at from ends: the first CR or LF at or after it, else text.size().
std::size_t LineEnd(std::string_view text, std::size_t from);

// printf-style formatting into a std::string, for the status texts.
std::string Format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

} // namespace approbe
