// The reply scanner, its statistics and the level bars, through the recording window.
#include <gtest/gtest.h>

#include <climits>
#include <optional>

#include "bars.h"
#include "display.h"
#include "control_ids.h"
#include "fake_window.h"
#include "param_names.h"
#include "scan_block.h"
#include "text.h"

namespace approbe {
namespace {

using test::FakeWindow;
using Events = std::vector<std::string>;
using session::FollowedStation;
using session::LineLevels;
using session::MacAddress;
using session::ParseReading;
using session::PollReading;
using session::Reading;
using session::ScanLine;
using session::StationRow;
using enum ui::ControlId;
using ui::GreyAllBars;
using ui::InitBars;
using ui::ReadingRun;
using ui::SessionValues;
using ui::ShowNoiseLevel;
using ui::ShowRssiLevel;
using ui::WindowBatch;

std::string Field(int id, const std::string& text) { return "field " + std::to_string(id) + " " + text; }
std::string Pos(int id, int pos) { return "pos " + std::to_string(id) + " " + std::to_string(pos); }
std::string Colour(int id, Rgb c)
{
    return "colour " + std::to_string(id) + " " + std::to_string(c.r) + "," + std::to_string(c.g) + "," +
           std::to_string(c.b);
}

struct NumberCase {
    const char* text;
    int value;
};

class ParseIntTest : public ::testing::TestWithParam<NumberCase> {};

TEST_P(ParseIntTest, ReadsAsAtoiWithoutOverflow)
{
    EXPECT_EQ(ParseInt(GetParam().text), GetParam().value) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(Numbers, ParseIntTest,
                         ::testing::Values(NumberCase{"-95", -95}, NumberCase{"  \t-95 dBm", -95},
                                           NumberCase{"+23", 23}, NumberCase{"80x", 80}, NumberCase{"x80", 0},
                                           NumberCase{"", 0}, NumberCase{"-", 0}, NumberCase{"- 5", 0},
                                           NumberCase{"2147483647", INT_MAX}, NumberCase{"-2147483648", INT_MIN},
                                           NumberCase{"4294967319", INT_MAX}, // would wrap to 23
                                           NumberCase{"99999999999999999999999999", INT_MAX},
                                           NumberCase{"-99999999999999999999999999", INT_MIN}),
                         test::ByText());

// One block through the scanner from a fresh session; returns what the window saw.
Events Scan(const char* block, SessionValues& m)
{
    FakeWindow window;
    test::ScanBlock(block, m, window);
    return window.events();
}

TEST(ScannerTest, NoiseLineWritesAverageBarThenCurrentMinMax)
{
    SessionValues m;
    EXPECT_EQ(Scan("Noise Floor Level: -95 dBm\r\nAP> ", m),
              (Events{Field(IDC_NOISE_AVG, "-95 dBm"), Pos(IDC_NOISE_BAR, 55), Colour(IDC_NOISE_BAR, kYellow),
                      Field(IDC_NOISE_CUR, "-95 dBm"), Field(IDC_NOISE_MIN, "-95 dBm"),
                      Field(IDC_NOISE_MAX, "-95 dBm")}));
    EXPECT_EQ(m.stats().m_nNoiseCount, 1);
}

TEST(ScannerTest, StationLineWritesLocalMaxMinBarCurrentThenRemote)
{
    SessionValues m;
    EXPECT_EQ(Scan("sta 1 Local RSSI level: -60 Remote RSSI level: -88\r\n", m),
              (Events{Field(IDC_LOCAL_RSSI_MAX, "-60 dBm"), Field(IDC_LOCAL_RSSI_MIN, "-60 dBm"),
                      Pos(IDC_LOCAL_RSSI_BAR, 75), Colour(IDC_LOCAL_RSSI_BAR, kGreen),
                      Field(IDC_LOCAL_RSSI_CUR, "-60 dBm"), Pos(IDC_REMOTE_RSSI_BAR, 47),
                      Colour(IDC_REMOTE_RSSI_BAR, kGrey), Field(IDC_REMOTE_RSSI_CUR, "-88 dBm")}));
    EXPECT_EQ(m.stats().m_nNoiseCount, 0) << "\"Local RSSI level:\" is no noise line";
}

TEST(ScannerTest, StatisticsOverASession)
{
    SessionValues m;
    Scan("Level: -95", m);
    const Events second = Scan("Level: -96", m);
    EXPECT_EQ(second.front(), Field(IDC_NOISE_AVG, "-95 dBm")) << "-191 / 2 truncates toward zero";
    EXPECT_EQ(m.stats().m_nNoiseMin, -96);
    EXPECT_EQ(m.stats().m_nNoiseMax, -95);

    Scan("Local RSSI level: -50", m);
    Scan("Local RSSI level: -70", m);
    EXPECT_EQ(m.stats().m_nLocalMax, -50);
    EXPECT_EQ(m.stats().m_nLocalMin, -70);
}

TEST(ScannerTest, BlockWithNoiseAndStationUpdatesAllThreeNoiseFirst)
{
    SessionValues m;
    const Events ev = Scan("Local RSSI level: -60 Remote RSSI level: -61\r\nNoise Floor Level: -90\r\n", m);
    ASSERT_EQ(ev.size(), 14u);
    EXPECT_EQ(ev[0], Field(IDC_NOISE_AVG, "-90 dBm"));
    EXPECT_EQ(ev[13], Field(IDC_REMOTE_RSSI_CUR, "-61 dBm"));
}

TEST(ScannerTest, OnlyTheFirstStationCounts)
{
    SessionValues m;
    const Events ev = Scan("Local RSSI level: -60 Remote RSSI level: -61\r\n"
                           "Local RSSI level: -40 Remote RSSI level: -41\r\n",
                           m);
    EXPECT_EQ(ev.back(), Field(IDC_REMOTE_RSSI_CUR, "-61 dBm"));
    EXPECT_EQ(m.stats().m_nLocalMax, -60);
}

struct LabelCase {
    const char* text;
    std::optional<int> noise;
};

class NumberAfterLabelTest : public ::testing::TestWithParam<LabelCase> {};

TEST_P(NumberAfterLabelTest, ReadsFromTheSecondCharacterAfterTheColon)
{
    SessionValues m;
    Scan(GetParam().text, m);
    EXPECT_EQ(m.stats().m_nNoiseCount, GetParam().noise ? 1 : 0) << GetParam().text;
    EXPECT_EQ(m.stats().m_nNoiseSum, GetParam().noise.value_or(0)) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(
    Labels, NumberAfterLabelTest,
    ::testing::Values(LabelCase{"Level: -95", -95},
                      LabelCase{"Level:-95", 95},             // the separator is skipped whatever it is
                      LabelCase{"Level:", std::nullopt},      // a label with no number is no reading of 0
                      LabelCase{"Level: \r\n", std::nullopt}, // nor is one whose line ends
                      LabelCase{"Level: dBm", std::nullopt},
                      LabelCase{"Level: - 5", std::nullopt},
                      LabelCase{"Level: \t -80", -80}, // white space before the number is skipped
                      LabelCase{"Level: +7x", 7},
                      LabelCase{"Level: 99999999999", INT_MAX}),
    test::ByText());

TEST(ScannerTest, SplitOrLowerCaseLabelIsMissed)
{
    SessionValues m;
    EXPECT_TRUE(Scan("Noise Floor Lev", m).empty());
    EXPECT_TRUE(Scan("el: -95", m).empty());
    EXPECT_TRUE(Scan("noise level: -95", m).empty());
}

TEST(ScannerTest, FirstValueOutsideTheStartRangeLeavesTheOtherBound)
{
    SessionValues high;
    Scan("Level: 250", high);
    EXPECT_EQ(high.stats().m_nNoiseMax, 250);
    EXPECT_EQ(high.stats().m_nNoiseMin, 200);

    SessionValues low;
    Scan("Local RSSI level: -250", low);
    EXPECT_EQ(low.stats().m_nLocalMin, -250);
    EXPECT_EQ(low.stats().m_nLocalMax, -200);
}

TEST(ScannerTest, NoiseAverageStaysRightPastThe32BitSum)
{
    SessionValues m;
    ReadingRun longSession;
    longSession.stats.m_nNoiseSum = -95LL * 30'000'000; // beyond INT_MIN
    longSession.stats.m_nNoiseCount = 30'000'000;
    WindowBatch none;
    m.Show(none, longSession);
    const Events ev = Scan("Level: -95", m);
    EXPECT_EQ(ev.front(), Field(IDC_NOISE_AVG, "-95 dBm"));
}

TEST(ScannerTest, SaturatedReadingsDoNotOverflowTheBars)
{
    SessionValues m;
    const Events ev = Scan("Level: 99999999999 Local RSSI level: -99999999999", m);
    EXPECT_EQ(ev[1], Pos(IDC_NOISE_BAR, INT_MAX));
    EXPECT_EQ(ev[2], Colour(IDC_NOISE_BAR, kRed));
    EXPECT_EQ(ev[8], Pos(IDC_LOCAL_RSSI_BAR, INT_MIN + kRssiOffset));
}

struct ColourCase {
    int id, dbm, pos;
    Rgb colour;
};

class BarTest : public ::testing::TestWithParam<ColourCase> {};

TEST_P(BarTest, PositionAndColour)
{
    const ColourCase& c = GetParam();
    FakeWindow window;
    WindowBatch batch;
    if (c.id == IDC_NOISE_BAR)
        ShowNoiseLevel(batch, c.dbm);
    else
        ShowRssiLevel(batch, c.id, c.dbm);
    window.Apply(batch);
    EXPECT_EQ(window.events(), (Events{Pos(c.id, c.pos), Colour(c.id, c.colour)}));
}

constexpr int kNoise = IDC_NOISE_BAR, kRemote = IDC_REMOTE_RSSI_BAR;
INSTANTIATE_TEST_SUITE_P(Thresholds, BarTest,
                         ::testing::Values(ColourCase{kNoise, -80, 70, kRed}, ColourCase{kNoise, -81, 69, kYellow},
                                           ColourCase{kNoise, -95, 55, kYellow}, ColourCase{kNoise, -96, 54, kGrey},
                                           ColourCase{kNoise, 0, 150, kRed}, ColourCase{kRemote, -70, 65, kGreen},
                                           ColourCase{kRemote, -71, 64, kYellow}, ColourCase{kRemote, -87, 48, kYellow},
                                           ColourCase{kRemote, -88, 47, kGrey}, ColourCase{kRemote, -140, -5, kGrey}),
                         [](const auto& row) {
                             return test::NameFromText(row.index, (row.param.id == kNoise ? "Noise" : "Rssi") +
                                                                      std::to_string(row.param.dbm));
                         });

TEST(BarsTest, RestingStateAndGreyAtTheEnd)
{
    FakeWindow window;
    WindowBatch batch;
    InitBars(batch);
    window.Apply(batch);
    const std::string grey = "128,128,128";
    EXPECT_EQ(window.events(),
              (Events{"range 1012 5 80", "pos 1012 40", "range 1013 5 80", "pos 1013 40", "range 1014 5 80",
                      "pos 1014 40", "colour 1012 " + grey, "colour 1013 " + grey, "colour 1014 " + grey}));
    window.clearEvents();
    batch.clear();
    GreyAllBars(batch);
    window.Apply(batch);
    EXPECT_EQ(window.events(), (Events{"colour 1012 " + grey, "colour 1013 " + grey, "colour 1014 " + grey}));
}

// A station table as one poll's reply: its rows in order with their MAC addresses, the first
// row's levels as the reading's; a row whose levels come in two lines is one row.
TEST(StationTableTest, RowsInOrderTheFirstGivesTheLevels)
{
    const Reading r = ParseReading("Station table\r\n"
                                   "  1   00:0C:42:1A:2B:3C  54M    Local RSSI level: -62 dBm  Remote RSSI level: -66 dBm\r\n"
                                   "  2   00-0c-42-aa-bb-cc  54M    Local RSSI level: -90 dBm  Remote RSSI level: -91 dBm\r\n"
                                   "  3   no address   Local RSSI level: -70 dBm\r\n"
                                   "                   Remote RSSI level: -71 dBm\r\n"
                                   "Noise Floor Level: -95 dBm\r\nLevel: -20\r\n");
    ASSERT_EQ(r.stations.size(), 3u);
    EXPECT_EQ(r.stations[0], (StationRow{MacAddress::Parse("00:0c:42:1a:2b:3c"), -62, -66}));
    EXPECT_EQ(r.stations[1], (StationRow{MacAddress::Parse("00:0c:42:aa:bb:cc"), -90, -91}));
    EXPECT_EQ(r.stations[2], (StationRow{std::nullopt, -70, -71}));
    EXPECT_EQ(r.local, -62);
    EXPECT_EQ(r.remote, -66);
    EXPECT_EQ(r.noise, -95) << "a poll's first noise floor";
    EXPECT_EQ(r.stations[1].mac->ToString(), "00:0c:42:aa:bb:cc");
}

struct MacCase {
    const char* text;
    const char* mac; // "" for none
};

class MacInLineTest : public ::testing::TestWithParam<MacCase> {};

TEST_P(MacInLineTest, OnlyAnAddressStandingOnItsOwn)
{
    const LineLevels l = ScanLine((std::string(GetParam().text) + " Local RSSI level: -60").c_str());
    EXPECT_EQ(l.mac ? l.mac->ToString() : "", GetParam().mac) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(Macs, MacInLineTest,
                         ::testing::Values(MacCase{"1 00:0c:42:1a:2b:3c 54M", "00:0c:42:1a:2b:3c"},
                                           MacCase{"[AA-BB-CC-DD-EE-FF]", "aa:bb:cc:dd:ee:ff"},
                                           MacCase{"00:0c:42-1a:2b:3c", ""},  // mixed separators
                                           MacCase{"00:0c:42:1a:2b:3c:4d", ""}, // a longer run
                                           MacCase{"100:0c:42:1a:2b:3c", ""},
                                           MacCase{"00:0c:42:1a:2b:3g", ""}, MacCase{"sta 1", ""}),
                         test::ByText());

// Following a station: the levels a reading brought for it, once; the first row when no
// address is given; nothing while the station is not in the table.
TEST(StationTableTest, FollowedStationTakesItsOwnRowsLevelsOnce)
{
    PollReading poll;
    const auto mac2 = MacAddress::Parse("00:0c:42:aa:bb:cc");
    const auto first = poll.Add("1 00:0c:42:1a:2b:3c Local RSSI level: -62 Remote RSSI level: -66");
    const auto second = poll.Add("2 00:0c:42:aa:bb:cc Local RSSI level: -90");
    const auto completed = poll.Add("   Remote RSSI level: -91");
    const auto noise = poll.Add("Noise Floor Level: -95");
    ASSERT_TRUE(first && second && completed && noise);
    EXPECT_FALSE(poll.Add("Noise Floor Level: -99")) << "a poll's noise floor comes once";

    EXPECT_EQ(FollowedStation(*first, std::nullopt).local, -62);
    EXPECT_EQ(FollowedStation(*first, mac2).local, std::nullopt);
    EXPECT_EQ(FollowedStation(*second, mac2).local, -90);
    EXPECT_EQ(FollowedStation(*second, std::nullopt).local, std::nullopt) << "not the first row";
    EXPECT_EQ(FollowedStation(*completed, mac2).local, std::nullopt) << "brought once";
    EXPECT_EQ(FollowedStation(*completed, mac2).remote, -91);
    EXPECT_EQ(FollowedStation(*noise, mac2).noise, -95);
    EXPECT_EQ(FollowedStation(*noise, MacAddress::Parse("02:00:00:00:00:01")).local, std::nullopt);
    EXPECT_EQ(completed->stations.size(), 2u);
}

// The readings of one step shown at once leave every field and bar as showing each in turn
// would, with fewer writes.
TEST(ScannerTest, ReadingsOfOneStepShowAsEachInTurn)
{
    const char* lines[] = {"1 Local RSSI level: -60 Remote RSSI level: -88", "2 Local RSSI level: -40",
                           "Noise Floor Level: -95", "Local RSSI level: -70"};
    FakeWindow each, once;
    SessionValues eachValues, onceValues;
    ReadingRun step;
    for (const char* line : lines) {
        ReadingRun alone;
        alone.Add(ParseReading(line));
        WindowBatch one;
        eachValues.Show(one, alone);
        each.Apply(one);
        step.Add(ParseReading(line));
    }
    WindowBatch batch;
    onceValues.Show(batch, step);
    once.Apply(batch);
    for (int id : {IDC_NOISE_CUR, IDC_NOISE_AVG, IDC_NOISE_MIN, IDC_NOISE_MAX, IDC_LOCAL_RSSI_CUR, IDC_LOCAL_RSSI_MIN,
                   IDC_LOCAL_RSSI_MAX, IDC_REMOTE_RSSI_CUR}) {
        EXPECT_EQ(once.latest("field " + std::to_string(id)), each.latest("field " + std::to_string(id))) << id;
        EXPECT_FALSE(once.latest("field " + std::to_string(id)).empty()) << id;
    }
    for (int id : {IDC_NOISE_BAR, IDC_LOCAL_RSSI_BAR, IDC_REMOTE_RSSI_BAR}) {
        EXPECT_EQ(once.latest("pos " + std::to_string(id)), each.latest("pos " + std::to_string(id))) << id;
        EXPECT_EQ(once.latest("colour " + std::to_string(id)), each.latest("colour " + std::to_string(id))) << id;
    }
    EXPECT_LT(once.events().size(), each.events().size());
}

} // namespace
} // namespace approbe
