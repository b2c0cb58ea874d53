#pragma once

#include <cstdint>


// The three level bars: length follows the value, colour classifies it.
namespace approbe {

struct Rgb {
    int r = 0, g = 0, b = 0;
    friend bool operator==(const Rgb&, const Rgb&) = default;
};

inline constexpr Rgb kGrey{128, 128, 128};
inline constexpr Rgb kYellow{255, 255, 0};
inline constexpr Rgb kRed{255, 0, 0};
inline constexpr Rgb kGreen{0, 255, 0};

inline constexpr int kBarMin = 5;
inline constexpr int kBarMax = 80;
inline constexpr int kBarRestPos = 40;
inline constexpr int kNoiseOffset = 150;
inline constexpr int kRssiOffset = 135;

// Colour of a bar position (value plus offset).
constexpr Rgb NoiseColour(std::int64_t pos) { return pos >= 70 ? kRed : pos >= 55 ? kYellow : kGrey; }
constexpr Rgb RssiColour(std::int64_t pos) { return pos >= 65 ? kGreen : pos >= 48 ? kYellow : kGrey; }

// The position of a level on its bar; not clamped to the bar's range (the bar shows it empty or
// full), only kept inside int so that a saturated reading cannot overflow.
int BarPosition(int dbm, int offset);

} // namespace approbe
