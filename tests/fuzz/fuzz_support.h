#pragma once

// What both fuzz targets share: splitting an input into blocks, an independent reading of a
// block, and checks of what the recording window was last told.
#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "control_ids.h"
#include "fake_window.h"
#include "probe_window.h"
#include "scan_block.h"
#include "text.h"

namespace approbe::fuzz {

// Blocks are separated by the record separator byte, which no label or prompt holds.
inline constexpr char kSeparator = '\x1e';

inline std::vector<std::string> SplitBlocks(const std::uint8_t* data, std::size_t size)
{
    std::vector<std::string> blocks(1);
    for (std::size_t i = 0; i < size; ++i) {
        if (static_cast<char>(data[i]) == kSeparator)
            blocks.emplace_back();
        else
            blocks.back() += static_cast<char>(data[i]);
    }
    return blocks;
}

[[noreturn]] inline void Fail(const char* what)
{
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
}

inline void Check(bool ok, const char* what)
{
    if (!ok)
        Fail(what);
}

// The text a C string function sees: the bytes before the first zero.
inline std::string_view CText(std::string_view bytes)
{
    return bytes.substr(0, std::min(bytes.find('\0'), bytes.size()));
}

// A number as strtoll reads it, clamped to int: a second opinion on ParseInt.
inline int ReferenceNumber(std::string_view text)
{
    const std::string copy(text);
    const long long v = std::strtoll(copy.c_str(), nullptr, 10);
    return static_cast<int>(std::clamp<long long>(v, INT_MIN, INT_MAX));
}

struct RefValue {
    bool found = false;
    int value = 0;
};

// The value after the first label in a line: reading starts one character past the label's
// end, and a value needs digits (after blanks and a sign).
inline RefValue ReferenceLabel(std::string_view line, std::string_view label)
{
    const auto at = line.find(label);
    if (at == std::string_view::npos || at + label.size() >= line.size())
        return {};
    const std::string_view rest = line.substr(at + label.size() + 1);
    std::size_t i = 0;
    while (i < rest.size() && (rest[i] == ' ' || (rest[i] >= '\t' && rest[i] <= '\r')))
        ++i;
    if (i < rest.size() && (rest[i] == '+' || rest[i] == '-'))
        ++i;
    if (i >= rest.size() || rest[i] < '0' || rest[i] > '9')
        return {};
    return {true, ReferenceNumber(rest)};
}

// The lines of a text, split at CR and LF.
inline std::vector<std::string_view> ReferenceLines(std::string_view text)
{
    std::vector<std::string_view> lines;
    std::size_t from = 0;
    for (std::size_t i = 0; i <= text.size(); ++i) {
        if (i == text.size() || text[i] == '\r' || text[i] == '\n') {
            lines.push_back(text.substr(from, i - from));
            from = i + 1;
        }
    }
    return lines;
}

// What a text taken as one poll's replies must give: the first noise floor of its lines; the
// first row's local and remote RSSI, each one that a line gives (a row may take two lines).
struct ReferencePoll {
    RefValue noise;
    std::vector<int> locals, remotes;
    RefValue firstLocal, firstRemote; // of the first line that gives either

    explicit ReferencePoll(std::string_view text)
    {
        bool rowSeen = false;
        for (std::string_view line : ReferenceLines(text)) {
            const RefValue n = ReferenceLabel(line, "Level:");
            const RefValue l = ReferenceLabel(line, "Local RSSI level:");
            const RefValue r = ReferenceLabel(line, "Remote RSSI level:");
            if (n.found && !noise.found)
                noise = n;
            if (l.found)
                locals.push_back(l.value);
            if (r.found)
                remotes.push_back(r.value);
            if ((l.found || r.found) && !rowSeen) {
                rowSeen = true;
                firstLocal = l;
                firstRemote = r;
            }
        }
    }
    static bool Among(const std::vector<int>& values, int v)
    {
        return std::find(values.begin(), values.end(), v) != values.end();
    }
};

// Statistics kept independently of Statistics, from the values the texts gave.
struct Reference {
    std::vector<int> noise;
    int noiseMin = 200, noiseMax = -200, localMin = 200, localMax = -200;
    long long noiseSum = 0;

    void Read(const ReferencePoll& poll, const std::optional<int>& local)
    {
        if (poll.noise.found) {
            noise.push_back(poll.noise.value);
            noiseSum += poll.noise.value;
            noiseMin = std::min(noiseMin, poll.noise.value);
            noiseMax = std::max(noiseMax, poll.noise.value);
        }
        if (local) {
            localMin = std::min(localMin, *local);
            localMax = std::max(localMax, *local);
        }
    }

    // Statistics agree with the values read, and the statistics hold for every value.
    void Compare(const ui::Statistics& m) const
    {
        Check(m.m_nNoiseCount == static_cast<std::int64_t>(noise.size()), "noise count = number of values");
        Check(m.m_nNoiseSum == noiseSum, "noise sum = sum of values");
        Check(m.m_nNoiseMin == noiseMin && m.m_nNoiseMax == noiseMax, "noise min/max");
        Check(m.m_nLocalMin == localMin && m.m_nLocalMax == localMax, "local min/max");
        for (int v : noise)
            Check(m.m_nNoiseMin <= v && v <= m.m_nNoiseMax, "min <= every value <= max");
    }
};

// The text a field was last given, "" if none (the scanner never writes an empty one).
inline std::string Shown(test::FakeWindow& window, int id)
{
    return window.latest("field " + std::to_string(id));
}

// The shown noise average lies within the shown minimum and maximum.
inline void CheckShownAverage(test::FakeWindow& window, const ui::Statistics& m)
{
    const std::string avg = Shown(window, ui::IDC_NOISE_AVG);
    if (m.m_nNoiseCount == 0 || avg.empty())
        return;
    Check(avg == FormatDbm(m.m_nNoiseSum / m.m_nNoiseCount), "shown average");
    const int shown = ParseInt(avg);
    Check(Shown(window, ui::IDC_NOISE_MIN) == FormatDbm(m.m_nNoiseMin), "shown minimum");
    Check(Shown(window, ui::IDC_NOISE_MAX) == FormatDbm(m.m_nNoiseMax), "shown maximum");
    Check(m.m_nNoiseMin <= shown && shown <= m.m_nNoiseMax, "average within min..max");
}

} // namespace approbe::fuzz
