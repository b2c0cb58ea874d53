// Auto-reconnect against a simulator that closes: the back-off schedule, Disconn ending it, a
// rejected login never retried, the stale display; and nothing of it while it is off.
#include <gtest/gtest.h>

#include <QAction>
#include <QGraphicsEffect>
#include <QMenu>

#include "field_tools.h"
#include "gui_support.h"
#include "level_bar.h"

namespace approbe {
namespace {

using namespace std::chrono_literals;
using namespace test;
using Clock = std::chrono::steady_clock;
using enum ui::ControlId;

std::string Profile(const SimProcess& sim, bool reconnect)
{
    return "[Settings]\nHost=127.0.0.1\nPort=" + std::to_string(sim.port()) + "\nUser=admin\nPass=admin\n" +
           (reconnect ? "[Tools]\nAutoReconnect=1\n" : "");
}

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

TEST(ReconnectTest, RetriesAfter1Then2Then4SecondsUntilDisconn)
{
    SimProcess sim({}, "close\n"); // every connection closed before the login
    DialogRig rig(Profile(sim, true));
    ASSERT_TRUE(rig.dlg->tools().reconnectAction()->isChecked()) << "from [Tools]";
    QTest::mouseClick(rig.button(IDOK), Qt::LeftButton);

    std::vector<Clock::time_point> closed;
    for (int n = 1; n <= 3; ++n) {
        ASSERT_TRUE(ServeUntil([&] { return sim.closedConnections() >= n; })) << n;
        closed.push_back(Clock::now());
        const std::string line = "Reconnecting to 127.0.0.1 in " + std::to_string(1 << (n - 1)) + " s";
        ASSERT_TRUE(ServeUntil([&] { return rig.logged(line.c_str()); }, 3s)) << line;
    }
    EXPECT_TRUE(rig.logged("Reconnecting to 127.0.0.1 in 1 s")) << "a retry keeps the log: one story";
    EXPECT_NEAR(Seconds(closed[1] - closed[0]), 1.0, 0.6);
    EXPECT_NEAR(Seconds(closed[2] - closed[1]), 2.0, 0.6);
    EXPECT_TRUE(rig.dlg->presenter().retryPending());

    // Disconn while waiting for the 4-second retry: no further attempt.
    QTest::mouseClick(rig.button(IDC_DISCONNECT), Qt::LeftButton);
    EXPECT_FALSE(rig.dlg->presenter().retryPending());
    EXPECT_FALSE(ServeUntil([&] { return sim.closedConnections() > 3; }, 5s));
    EXPECT_TRUE(rig.button(IDOK)->isEnabled());
}

TEST(ReconnectTest, ARejectedLoginIsNeverRetried)
{
    SimProcess sim({"--user", "someone", "--password", "else"});
    DialogRig rig(Profile(sim, true));
    QTest::mouseClick(rig.button(IDOK), Qt::LeftButton);
    ASSERT_TRUE(ServeUntil([&] { return rig.ended(); }));
    ServeUntil([] { return false; }, 2500ms);
    EXPECT_EQ(sim.closedConnections(), 1);
    EXPECT_FALSE(rig.dlg->presenter().retryPending());
    EXPECT_EQ(rig.dlg->windowTitle(), "Test Korvane AP DISCONNECT (login rejected)") << "the caption says why";
    for (const QString& line : rig.log())
        EXPECT_FALSE(line.startsWith("Reconnecting")) << line.toStdString();
}

// The colour of a bar's filled part as it is on screen.
QColor BarPixel(ui::CProbeDlg& dlg)
{
    QWidget* bar = dlg.control(IDC_NOISE_BAR);
    const QImage shot = dlg.grab().toImage();
    return shot.pixelColor(bar->mapTo(&dlg, QPoint(4, bar->height() / 2)));
}

TEST(ReconnectTest, OldValuesAreDimmedUntilTheNextReading)
{
    // One poll answered, then silence for longer than a value stays fresh, then the close.
    SimProcess sim({}, "login\nvalues -85 -62 -75\nreplies 2\nsleep 4500\nclose\n");
    DialogRig rig(Profile(sim, true));
    auto& presenter = rig.dlg->presenter();
    // The values are fresh from when the session took them, which the window shows later (the
    // later, the busier the machine): the click is the latest moment known to come before.
    const auto beforeTheReading = Clock::now();
    QTest::mouseClick(rig.button(IDOK), Qt::LeftButton);
    ASSERT_TRUE(ServeUntil([&] { return rig.field(IDC_NOISE_CUR) == "-85 dBm"; }));
    EXPECT_FALSE(presenter.stale());
    const QColor fresh = BarPixel(*rig.dlg);
    EXPECT_EQ(fresh, QColor(255, 255, 0)) << "-85 dBm noise is yellow";

    ASSERT_TRUE(ServeUntil([&] { return presenter.stale(); }, 6s));
    EXPECT_GE(Seconds(Clock::now() - beforeTheReading), 2.5);
    EXPECT_EQ(rig.field(IDC_NOISE_CUR), "-85 dBm") << "the last values stay";
    EXPECT_NE(rig.dlg->control(IDC_LOCAL_RSSI_CUR)->graphicsEffect(), nullptr);
    EXPECT_NE(BarPixel(*rig.dlg), fresh) << "dimmed";

    // The simulator closes; the retry logs in and polls again.
    ASSERT_TRUE(ServeUntil([&] { return rig.logged("Reconnecting to 127.0.0.1 in 1 s"); }, 6s));
    ASSERT_TRUE(ServeUntil([&] { return !presenter.stale(); }, 8s));
    EXPECT_EQ(sim.closedConnections(), 1);
    EXPECT_EQ(rig.dlg->control(IDC_LOCAL_RSSI_CUR)->graphicsEffect(), nullptr);
    EXPECT_EQ(BarPixel(*rig.dlg), fresh);
    QTest::mouseClick(rig.button(IDC_DISCONNECT), Qt::LeftButton);
    ASSERT_TRUE(ServeUntil([&] { return rig.ended(); }));
}

TEST(ReconnectTest, OffByDefaultTheSessionJustEnds)
{
    SimProcess sim({}, "login\nvalues -85 -62 -75\nreplies 2\nclose\n");
    DialogRig rig(Profile(sim, false));
    EXPECT_FALSE(rig.dlg->tools().reconnectAction()->isChecked());
    QTest::mouseClick(rig.button(IDOK), Qt::LeftButton);
    ASSERT_TRUE(ServeUntil([&] { return rig.ended(); }));
    ServeUntil([] { return false; }, 3500ms);
    EXPECT_EQ(sim.closedConnections(), 1);
    EXPECT_FALSE(rig.dlg->presenter().stale());
    EXPECT_EQ(rig.dlg->control(IDC_NOISE_CUR)->graphicsEffect(), nullptr);
    EXPECT_EQ(rig.log().last(), "De-Initialized WinSock");
}

// The tools sit before the separator that leads to About, with their keys; switching one
// writes [Tools] and leaves [Settings] as it was.
TEST(ToolsMenuTest, ItemsBeforeTheAboutSeparatorAndSettingsInTheirOwnSection)
{
    DialogRig rig("[Settings]\nHost=10.0.0.1\nPort=23\nUser=admin\nPass=admin\n");
    const QList<QAction*> actions = rig.dlg->systemMenu().actions();
    QStringList texts;
    for (QAction* a : actions)
        texts << (a->isSeparator() ? "-" : a->text() + (a->shortcut().isEmpty() ? "" : " " + a->shortcut().toString()));
    EXPECT_EQ(texts, QStringList({"&Close", "&Trend Ctrl+T", "&Record... Ctrl+R", "&Mark... Ctrl+M", "Aiming &tone",
                                  "Auto-&reconnect", "Keep passwords in the &keyring", "&Device type", "-",
                                  "&About Korvane AP test..."}));
    const std::string before = ReadFile(rig.dir.file("approbe.ini"));
    rig.dlg->tools().reconnectAction()->trigger();
    const std::string after = ReadFile(rig.dir.file("approbe.ini"));
    EXPECT_NE(after.find("[Tools]"), std::string::npos);
    EXPECT_NE(after.find("AutoReconnect=1"), std::string::npos);
    EXPECT_EQ(after.substr(0, before.size()), before) << "[Settings] untouched";
}

} // namespace
} // namespace approbe
