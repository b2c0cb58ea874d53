#pragma once

// What both fuzz targets share: splitting an input into blocks, an independent reading of a
// block, and a window that keeps what it was last told.
#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "control_ids.h"
#include "probe_window.h"
#include "scanner.h"
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

struct Reading {
    bool found = false;
    int value = 0;
};

// The value after the first label: reading starts one character past the label's end.
inline Reading ReferenceLabel(std::string_view text, std::string_view label)
{
    const auto at = text.find(label);
    if (at == std::string_view::npos)
        return {};
    const std::size_t after = at + label.size();
    return {true, after < text.size() ? ReferenceNumber(text.substr(after + 1)) : 0};
}

// Statistics kept independently of Measurements, from every value read.
struct Reference {
    std::vector<int> noise;
    int noiseMin = 200, noiseMax = -200, localMin = 200, localMax = -200;
    long long noiseSum = 0;
    int level = 0;
    bool anyLocal = false;

    void Read(std::string_view text)
    {
        const Reading n = ReferenceLabel(text, "Level:");
        const Reading l = ReferenceLabel(text, "Local RSSI level:");
        const Reading r = ReferenceLabel(text, "Remote RSSI level:");
        if (n.found) {
            noise.push_back(n.value);
            noiseSum += n.value;
            noiseMin = std::min(noiseMin, n.value);
            noiseMax = std::max(noiseMax, n.value);
            level = n.value;
        }
        if (l.found) {
            localMin = std::min(localMin, l.value);
            localMax = std::max(localMax, l.value);
            level = l.value;
        }
        if (r.found)
            level = r.value;
    }

    // Measurements agree with the values read, and the statistics hold for every value.
    void Compare(const Measurements& m) const
    {
        Check(m.m_nNoiseCount == static_cast<std::int64_t>(noise.size()), "noise count = number of values");
        Check(m.m_nNoiseSum == noiseSum, "noise sum = sum of values");
        Check(m.m_nNoiseMin == noiseMin && m.m_nNoiseMax == noiseMax, "noise min/max");
        Check(m.m_nLocalMin == localMin && m.m_nLocalMax == localMax, "local min/max");
        Check(m.m_nLevel == level, "last level read");
        for (int v : noise)
            Check(m.m_nNoiseMin <= v && v <= m.m_nNoiseMax, "min <= every value <= max");
    }
};

// Keeps the last text of every field and checks each bar call; thread-safe enough for a window
// used by one thread at a time, as the session's is.
class KeepingWindow : public IProbeWindow {
public:
    std::map<int, std::string> fields;
    EditTexts edits;
    int timers = 0;
    bool connectEnabled = true;
    std::string caption;

    void SetField(int id, const std::string& text) override { fields[id] = text; }
    void AppendLog(const std::string&) override {}
    void ClearLog() override {}
    void SetCaption(const std::string& text) override { caption = text; }
    void EnableConnect(bool enable) override { connectEnabled = enable; }
    std::string PauseCaption() override { return m_pause; }
    void SetPauseCaption(const std::string& text) override { m_pause = text; }
    void SetBarRange(int, int, int) override {}
    void SetBarPos(int, int) override {}
    void SetBarColour(int, Rgb) override {}
    unsigned StartTimer() override { return static_cast<unsigned>(++timers); }
    void StopTimer(unsigned) override { --timers; }
    void PushEdits(const EditTexts& texts, int) override { edits = texts; }
    bool PullEdits(EditTexts& out) override
    {
        out = edits;
        return true;
    }
    void ShowTooLong(int) override {}

    // The shown noise average lies within the shown minimum and maximum.
    void CheckShownAverage(const Measurements& m) const
    {
        const auto avg = fields.find(IDC_NOISE_AVG);
        if (m.m_nNoiseCount == 0 || avg == fields.end())
            return;
        Check(avg->second == FormatDbm(m.m_nNoiseSum / m.m_nNoiseCount), "shown average");
        const int shown = ParseInt(avg->second);
        Check(fields.at(IDC_NOISE_MIN) == FormatDbm(m.m_nNoiseMin), "shown minimum");
        Check(fields.at(IDC_NOISE_MAX) == FormatDbm(m.m_nNoiseMax), "shown maximum");
        Check(m.m_nNoiseMin <= shown && shown <= m.m_nNoiseMax, "average within min..max");
    }

private:
    std::string m_pause = "Pause";
};

} // namespace approbe::fuzz
