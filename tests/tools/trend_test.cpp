// The trend window's pixels for known readings, and the window following a real session.
#include <gtest/gtest.h>

#include <QComboBox>
#include <QImage>
#include <QLabel>
#include <QPushButton>
#include <QScreen>

#include "field_tools.h"
#include "gui_support.h"
#include "figure.h"
#include "trend_window.h"

namespace approbe {
namespace {

using namespace std::chrono_literals;
using namespace test;
using ui::CTrendPlot;
using ui::CTrendWindow;
using ui::TrendData;
using Clock = std::chrono::system_clock;
using Panel = CTrendPlot::Panel;
using session::Reading;
using enum ui::ControlId;

Reading At(Clock::time_point t, std::optional<int> noise, std::optional<int> local, std::optional<int> remote)
{
    return Reading{noise, local, remote, 0, t};
}

// Known readings: 2 minutes of steady levels with one local peak, a 1-minute gap (no reading),
// then a minute of weaker levels. The right edge is fixed at T.
class TrendPixelTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        for (int s = 240; s >= 120; --s) {
            data.Add(At(T - std::chrono::seconds(s), -90, s == 200 ? -40 : -50, -80));
        }
        for (int s = 60; s >= 0; --s)
            data.Add(At(T - std::chrono::seconds(s), -100, -75, -85));
        window = std::make_unique<CTrendWindow>(data);
        window->plot().setNow(T);
        window->resize(800, 560);
        window->show();
        window->Refresh();
        QApplication::processEvents();
    }
    QImage Shot() { return window->plot().grab().toImage(); }
    int X(int secondsAgo) { return window->plot().xFor(T - std::chrono::seconds(secondsAgo), T); }
    int Y(Panel panel, int value) { return window->plot().yFor(panel, value); }
    // The line is 2 pixels thick: it covers its row or the one next to it.
    static bool LineAt(const QImage& img, int x, int y, QRgb colour)
    {
        for (int dy = -1; dy <= 1; ++dy)
            if (img.pixel(x, y + dy) == colour)
                return true;
        return false;
    }
    static bool ColumnHas(const QImage& img, int x, const QRect& panel, QRgb colour)
    {
        for (int y = panel.top(); y <= panel.bottom(); ++y)
            if (img.pixel(x, y) == colour)
                return true;
        return false;
    }

    const Clock::time_point T = Clock::time_point(std::chrono::hours(500000)) + 30s;
    TrendData data;
    std::unique_ptr<CTrendWindow> window;
};

TEST_F(TrendPixelTest, LinesSitAtTheirValuesInTheirPanels)
{
    const QImage img = Shot();
    EXPECT_TRUE(LineAt(img, X(150), Y(Panel::Noise, -90), CTrendPlot::kNoiseLine));
    EXPECT_TRUE(LineAt(img, X(150), Y(Panel::Rssi, -50), CTrendPlot::kLocalLine));
    EXPECT_TRUE(LineAt(img, X(150), Y(Panel::Rssi, -80), CTrendPlot::kRemoteLine));
    EXPECT_TRUE(LineAt(img, X(150), Y(Panel::Snr, 40), CTrendPlot::kSnrLine)) << "-50 - -90";
    EXPECT_TRUE(LineAt(img, X(30), Y(Panel::Noise, -100), CTrendPlot::kNoiseLine));
    EXPECT_TRUE(LineAt(img, X(30), Y(Panel::Rssi, -75), CTrendPlot::kLocalLine));
    EXPECT_TRUE(LineAt(img, X(30), Y(Panel::Snr, 25), CTrendPlot::kSnrLine));
    // Not somewhere else in the column.
    EXPECT_FALSE(LineAt(img, X(30), Y(Panel::Rssi, -50), CTrendPlot::kLocalLine));
    EXPECT_EQ(window->snrLabel()->text(), "SNR 25 dB");
}

TEST_F(TrendPixelTest, NoReadingsIsAGapNotALine)
{
    const QImage img = Shot();
    for (int ago : {110, 100, 75}) {
        EXPECT_FALSE(ColumnHas(img, X(ago), window->plot().panelRect(Panel::Rssi), CTrendPlot::kLocalLine)) << ago;
        EXPECT_FALSE(ColumnHas(img, X(ago), window->plot().panelRect(Panel::Noise), CTrendPlot::kNoiseLine)) << ago;
        EXPECT_FALSE(ColumnHas(img, X(ago), window->plot().panelRect(Panel::Snr), CTrendPlot::kSnrLine)) << ago;
    }
}

// The bands behind the lines are the bars' colours for those levels, lightened.
TEST_F(TrendPixelTest, BandsFollowTheBarsColours)
{
    const QImage img = Shot();
    const int x = X(100); // in the gap, off the minute lines: nothing drawn over the bands
    auto hue = [&](Panel panel, int value) {
        const QColor c = img.pixelColor(x, Y(panel, value));
        if (c.red() > 200 && c.green() > 200 && c.blue() < 190)
            return "yellow";
        if (c.green() > c.red() + 30 && c.green() > c.blue() + 30)
            return "green";
        if (c.red() > c.green() + 30 && c.red() > c.blue() + 30)
            return "red";
        if (std::abs(c.red() - c.green()) < 8 && std::abs(c.green() - c.blue()) < 8 && c.red() < 250)
            return "grey";
        return "other";
    };
    EXPECT_STREQ(hue(Panel::Rssi, -50), "green");
    EXPECT_STREQ(hue(Panel::Rssi, -80), "yellow");
    EXPECT_STREQ(hue(Panel::Rssi, -95), "grey");
    EXPECT_STREQ(hue(Panel::Noise, -70), "red");
    EXPECT_STREQ(hue(Panel::Noise, -90), "yellow");
    EXPECT_STREQ(hue(Panel::Noise, -105), "grey");
}

TEST_F(TrendPixelTest, BestValuesAreMarkedUntilReset)
{
    QImage img = Shot();
    // Off the line's rows, inside the marker.
    EXPECT_EQ(img.pixel(X(200), Y(Panel::Rssi, -40) + 3), CTrendPlot::kBestMarker);
    EXPECT_EQ(img.pixel(X(240), Y(Panel::Rssi, -80) + 3), CTrendPlot::kBestMarker) << "remote, where first seen";
    EXPECT_TRUE(window->bestLabel()->text().contains("local -40 dBm")) << window->bestLabel()->text().toStdString();

    QTest::mouseClick(window->resetBestButton(), Qt::LeftButton);
    window->repaint();
    img = Shot();
    EXPECT_NE(img.pixel(X(200), Y(Panel::Rssi, -40) + 3), CTrendPlot::kBestMarker);
    EXPECT_TRUE(window->bestLabel()->text().contains("local --"));
    data.Add(At(T, -100, -70, -85));
    window->Refresh();
    EXPECT_TRUE(window->bestLabel()->text().contains("local -70 dBm"));
}

TEST_F(TrendPixelTest, LongerSpanMovesOldReadingsRight)
{
    const int before = X(150);
    window->setSpanMinutes(30);
    EXPECT_GT(X(150), before);
    window->setSpanMinutes(0);
    EXPECT_EQ(window->spanMinutes(), 1) << "1 to 30 minutes";
}

// Following the clock scrolls what is on screen and paints only the new strip: after readings,
// gaps, a new best, a reset of the best, minute lines passing and a change of span, with the
// clock moving by less and more than a pixel at a time, the screen shows what a whole repaint
// shows.
TEST_F(TrendPixelTest, FollowingTheClockShowsWhatAWholeRepaintShows)
{
    CTrendPlot& plot = window->plot();
    auto onScreen = [&] {
        QApplication::processEvents();
        const QPoint at = plot.mapTo(window.get(), QPoint(0, 0));
        return window->screen()->grabWindow(window->winId(), at.x(), at.y(), plot.width(), plot.height()).toImage();
    };
    Clock::time_point now = T;
    std::vector<int> differing;
    for (int step = 1; step <= 150; ++step) {
        if (step == 100)
            window->setSpanMinutes(1);
        if (step == 120)
            data.ResetBest();
        now += step % 3 ? 700ms : 100ms;
        // Noise and station replies apart, as a session brings them; every 30 steps a pause of a
        // few seconds: a gap.
        if (step % 30 < 25)
            data.Add(step % 2 ? At(now, -95 + step % 7, std::nullopt, std::nullopt)
                              : At(now, std::nullopt, step == 70 ? -35 : -70 + step % 11, -80 - step % 5));
        plot.setNow(now);
        window->Refresh();
        const QImage screen = onScreen().convertToFormat(QImage::Format_RGB32);
        const QImage whole = plot.grab().toImage().convertToFormat(QImage::Format_RGB32);
        ASSERT_EQ(screen.size(), whole.size());
        if (screen != whole)
            differing.push_back(step);
    }
    EXPECT_EQ(differing, std::vector<int>{}) << "the steps after which the screen differs from a whole repaint";
}

// Rows [first, last] of the image holding text (dark pixels) between columns x0 and x1, as bands
// separated by at least one blank row.
std::vector<std::pair<int, int>> TextBands(const QImage& img, int x0, int x1)
{
    std::vector<std::pair<int, int>> bands;
    bool inBand = false;
    for (int y = 0; y < img.height(); ++y) {
        bool dark = false;
        for (int x = x0; x <= x1 && !dark; ++x)
            dark = qGray(img.pixel(x, y)) < 160;
        if (dark && !inBand)
            bands.push_back({y, y});
        if (dark)
            bands.back().second = y;
        inBand = dark;
    }
    return bands;
}

// Horizontal runs of at least minLength pixels of exactly the colour in rows [y0, y1]: where each starts.
std::vector<QPoint> RunsOf(const QImage& img, QRgb colour, int y0, int y1, int x0, int x1, int minLength)
{
    std::vector<QPoint> at;
    for (int y = y0; y <= y1; ++y) {
        int run = 0;
        for (int x = x0; x <= x1 + 1; ++x) {
            if (x <= x1 && img.pixel(x, y) == colour) {
                ++run;
                continue;
            }
            if (run >= minLength)
                at.push_back({x - run, y});
            run = 0;
        }
    }
    return at;
}

// The value labels left of the panels, read from the picture: three a panel, each whole (as tall
// as the others) and apart from the next (the bottom of one panel's and the top of the next one's
// used to overlap, and the top one was cut at the graph's top edge). The RSSI panel's title says
// which line is which: a piece of the blue line, then "local" in blue; a piece of the black line,
// then "remote".
TEST(TrendLabelsTest, ValueLabelsStandApartAndTheLegendNamesEachLinesColour)
{
    TrendData data;
    for (QSize size : {QSize(320, 240), QSize(640, 420), QSize(1000, 600)}) {
        SCOPED_TRACE(size.width());
        CTrendPlot plot(data);
        plot.resize(size);
        const QImage img = plot.grab().toImage().convertToFormat(QImage::Format_RGB32);

        const auto labels = TextBands(img, 0, plot.panelRect(Panel::Noise).left() - 1);
        ASSERT_EQ(labels.size(), 9u) << "three values a panel, none touching another";
        EXPECT_GT(labels.front().first, 0) << "the top label reaches the edge: cut";
        EXPECT_LT(labels.back().second, img.height() - 1);
        for (const auto& [top, bottom] : labels)
            EXPECT_NEAR(bottom - top, labels[0].second - labels[0].first, 1) << "label at row " << top;

        const QRect rssi = plot.panelRect(Panel::Rssi);
        const int y0 = rssi.top() + 1, y1 = rssi.top() + plot.fontMetrics().height() + 2;
        const auto local = RunsOf(img, CTrendPlot::kLocalLine, y0, y1, rssi.left() + 1, rssi.right() - 1, 8);
        const auto remote = RunsOf(img, CTrendPlot::kRemoteLine, y0, y1, rssi.left() + 1, rssi.right() - 1, 8);
        ASSERT_FALSE(local.empty()) << "no piece of the local line in the title";
        ASSERT_FALSE(remote.empty()) << "no piece of the remote line in the title";
        ASSERT_LT(local.front().x(), remote.front().x());
        // Right of each piece, before the next: its name, in its line's colour (the pieces' own
        // rows left out).
        auto blue = [](QRgb c) { return qBlue(c) > qRed(c) + 60 && qBlue(c) > qGreen(c) + 60; };
        auto pieceRow = [&](int y) { return y == local.front().y() || y == local.front().y() + 1; };
        int blueWord = 0, darkWord = 0, lastDark = 0;
        for (int y = y0; y <= y1; ++y) {
            if (pieceRow(y))
                continue;
            for (int x = local.front().x(); x < remote.front().x(); ++x)
                blueWord += blue(img.pixel(x, y));
            for (int x = remote.front().x(); x < rssi.right(); ++x)
                if (qGray(img.pixel(x, y)) < 100)
                    ++darkWord, lastDark = std::max(lastDark, x);
        }
        EXPECT_GT(blueWord, 20) << "\"local\" in blue";
        EXPECT_GT(darkWord, 20) << "\"remote\" in black";
        EXPECT_LT(lastDark, rssi.right() - 4) << "the legend fits in the panel";
    }
}

TEST(TrendSessionTest, CtrlTOpensTheWindowWhichFollowsTheSession)
{
    SimProcess sim({}, "login\nvalues -85 -62 -75\nshell\n");
    DialogRig rig(sim);
    auto& tools = rig.dlg->tools();
    EXPECT_EQ(tools.trendWindow(), nullptr);
    rig.dlg->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(rig.dlg.get())) << "shortcuts go to the active window";
    QTest::keyClick(rig.dlg.get(), Qt::Key_T, Qt::ControlModifier);
    ASSERT_NE(tools.trendWindow(), nullptr);
    EXPECT_TRUE(tools.trendWindow()->isVisible());
    EXPECT_TRUE(tools.trendWindow()->windowTitle().startsWith("Trend"));

    QTest::mouseClick(rig.button(IDOK), Qt::LeftButton);
    ASSERT_TRUE(ServeUntil([&] { return rig.loggedIn(); }));
    rig.dlg->presenter().PollNow();
    ASSERT_TRUE(ServeUntil([&] { return tools.trendData().latest.noise.value == -85 && tools.trendData().latest.local.value == -62; }));
    EXPECT_EQ(tools.trendWindow()->windowTitle(), "Trend - 127.0.0.1");
    // The window follows within a moment, once for the replies to one poll.
    EXPECT_TRUE(ServeUntil([&] { return tools.trendWindow()->snrLabel()->text() == "SNR 23 dB"; }))
        << tools.trendWindow()->snrLabel()->text().toStdString();
    EXPECT_EQ(tools.trendData().bestRemote.value, -75);
    QTest::mouseClick(rig.button(IDC_DISCONNECT), Qt::LeftButton);
    ASSERT_TRUE(ServeUntil([&] { return rig.ended(); }));
    // A poll's two replies may arrive as one block, and so as one reading.
    EXPECT_GE(tools.trendData().history.size(), 1u) << "kept after the session";
}

// An access point with two stations: the trend window's Station choice lists both, and the
// graph, the SNR and the tone follow the one chosen while the main window shows the first row.
TEST(TrendSessionTest, TheStationChoiceLeadsGraphSnrAndToneNotTheMainWindow)
{
    SimProcess sim({}, TwoStationScript(5, -62, -66, -80, -85, -95));
    DialogRig rig(sim);
    auto& tools = rig.dlg->tools();
    tools.OpenTrend();
    CTrendWindow& trend = *tools.trendWindow();
    QTest::mouseClick(rig.button(IDOK), Qt::LeftButton);
    ASSERT_TRUE(ServeUntil([&] { return rig.loggedIn(); }));
    rig.dlg->presenter().PollNow();
    ASSERT_TRUE(ServeUntil([&] { return trend.snrLabel()->text() == "SNR 33 dB" && trend.stationChoice()->count() == 3; }))
        << trend.snrLabel()->text().toStdString() << ", " << trend.stationChoice()->count() << " choices";
    EXPECT_EQ(trend.stationChoice()->itemText(0), "First row");
    EXPECT_EQ(trend.stationChoice()->itemText(2), "00:0c:42:aa:bb:cc");

    trend.stationChoice()->setCurrentIndex(2);
    emit trend.stationChoice()->activated(2);
    EXPECT_EQ(trend.snrLabel()->text(), "SNR -- dB") << "no SNR of one station's RSSI until its own comes";
    rig.dlg->presenter().PollNow();
    EXPECT_TRUE(ServeUntil([&] { return trend.snrLabel()->text() == "SNR 15 dB"; })) << trend.snrLabel()->text().toStdString();
    EXPECT_EQ(tools.trendData().bestLocal.value, -80);
    EXPECT_EQ(tools.trendData().bestRemote.value, -85);
    EXPECT_EQ(tools.tone().targetHz(), ui::ToneFrequency(ui::ToneSource::LocalRssi, -80));
    EXPECT_EQ(rig.field(IDC_LOCAL_RSSI_CUR), "-62 dBm");
    EXPECT_EQ(rig.field(IDC_REMOTE_RSSI_CUR), "-66 dBm");
    const ui::TrendHistory& h = tools.trendData().history;
    std::optional<int> lastLocal;
    for (std::size_t i = h.size(); i-- > 0 && !lastLocal;) {
        if (h[i].local != ui::TrendHistory::kNone)
            lastLocal = h[i].local;
    }
    EXPECT_EQ(lastLocal, -80) << "the graph's latest local level is the chosen station's";
    QTest::mouseClick(rig.button(IDC_DISCONNECT), Qt::LeftButton);
    ASSERT_TRUE(ServeUntil([&] { return rig.ended(); }));
}

} // namespace
} // namespace approbe
