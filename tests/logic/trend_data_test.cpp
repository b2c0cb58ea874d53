// What the trend window shows, without a window: the history ring, the best levels and the
// station followed.
#include <gtest/gtest.h>

#include "trend_data.h"

namespace approbe {
namespace {

using namespace std::chrono_literals;
using ui::TrendData;
using ui::TrendHistory;
using Clock = std::chrono::system_clock;
using session::MacAddress;
using session::Reading;

const Clock::time_point T = Clock::time_point(std::chrono::hours(500000));

Reading At(Clock::time_point t, std::optional<int> noise, std::optional<int> local, std::optional<int> remote)
{
    return Reading{noise, local, remote, 0, t};
}

MacAddress Mac(int last)
{
    char text[18];
    std::snprintf(text, sizeof text, "00:0c:42:00:00:%02x", last);
    return *MacAddress::Parse(text);
}

// A poll's reading with two station rows that brought the first row's levels and the second's.
Reading TwoStations(Clock::time_point t, int firstLocal, int secondLocal)
{
    Reading r = At(t, -95, firstLocal, -70);
    r.stations = {{Mac(1), firstLocal, -70}, {Mac(2), secondLocal, -75}};
    r.row = 1;
    r.rowLocal = secondLocal;
    r.rowRemote = -75;
    return r;
}

TEST(TrendDataTest, TheBestLevelsAreTheHighestWithWhenFirstSeenUntilReset)
{
    TrendData data;
    data.Add(At(T, -90, -60, -80));
    data.Add(At(T + 1s, -90, -55, -85));
    data.Add(At(T + 2s, -90, -55, -80)); // as high again: the first time stays
    data.Add(At(T + 3s, -90, -70, std::nullopt));
    EXPECT_EQ(data.bestLocal, (TrendData::Best{-55, T + 1s}));
    EXPECT_EQ(data.bestRemote, (TrendData::Best{-80, T}));

    data.ResetBest();
    EXPECT_EQ(data.bestLocal, TrendData::Best{});
    data.Add(At(T + 4s, -90, -75, -88));
    EXPECT_EQ(data.bestLocal, (TrendData::Best{-75, T + 4s})) << "lower than before the reset, but the best since";
    EXPECT_EQ(data.history.size(), 5u) << "the history stays";
}

TEST(TrendDataTest, TheHistoryKeepsTheNewestReadingsOldestFirst)
{
    TrendData data;
    data.Add(At(T, std::nullopt, std::nullopt, std::nullopt)); // no level: nothing to draw
    EXPECT_EQ(data.history.size(), 0u);

    const std::size_t total = TrendHistory::kCapacity + 10;
    for (std::size_t i = 0; i < total; ++i)
        data.Add(At(T + std::chrono::seconds(i), -90, i % 2 ? std::optional<int>(-60) : std::nullopt, 40000));
    const TrendHistory& h = data.history;
    ASSERT_EQ(h.size(), TrendHistory::kCapacity);
    EXPECT_EQ(h.added(), total);
    EXPECT_EQ(h[0].at, T + 10s) << "the oldest ten went";
    EXPECT_EQ(h[h.size() - 1].at, T + std::chrono::seconds(total - 1));
    EXPECT_EQ(TrendHistory::Value(h[0].local), std::nullopt) << "a level not read is a gap";
    EXPECT_EQ(TrendHistory::Value(h[1].local), -60);
    EXPECT_EQ(TrendHistory::Value(h[0].remote), 32000) << "out of range values are clamped, never a gap";

    EXPECT_EQ(h.LowerBound(T), 0u);
    EXPECT_EQ(h.LowerBound(T + 100s), 90u);
    EXPECT_EQ(h.LowerBound(T + std::chrono::hours(10)), h.size());
}

TEST(TrendDataTest, FollowingAStationTakesItsLevelsAndStartsItsBestAfresh)
{
    TrendData data;
    data.Add(data.Followed(TwoStations(T, -60, -80)));
    EXPECT_EQ(data.latest.local.value, -60) << "the first row by default";
    EXPECT_EQ(data.stationsSeen, (std::vector<MacAddress>{Mac(1), Mac(2)}));

    data.Follow(Mac(2));
    EXPECT_EQ(data.latest.local.value, std::nullopt) << "no SNR of one station's RSSI and the other's noise";
    EXPECT_EQ(data.latest.noise.value, -95);
    EXPECT_EQ(data.bestLocal, TrendData::Best{});
    data.Add(data.Followed(TwoStations(T + 1s, -58, -82)));
    EXPECT_EQ(data.latest.local.value, -82);
    EXPECT_EQ(data.bestLocal, (TrendData::Best{-82, T + 1s}));
    EXPECT_EQ(data.history.size(), 2u) << "the history stays, as it was followed";

    data.Follow(Mac(2)); // the same again changes nothing
    EXPECT_EQ(data.bestLocal.value, -82);
}

TEST(TrendDataTest, StationsSeenAreListedOnceInOrderUpToALimit)
{
    TrendData data;
    for (int i = 0; i < 100; ++i) {
        Reading r = At(T, std::nullopt, std::nullopt, std::nullopt);
        r.stations = {{Mac(i % 80), -60, -70}, {Mac(0), -61, -71}};
        data.Add(r);
    }
    ASSERT_EQ(data.stationsSeen.size(), TrendData::kMaxStationsSeen);
    for (std::size_t i = 0; i < data.stationsSeen.size(); ++i)
        EXPECT_EQ(data.stationsSeen[i], Mac(static_cast<int>(i)));
}

} // namespace
} // namespace approbe
