// The real dialog on Qt's offscreen platform: sessions against the simulator, closing at any
// moment, the level bars' pixels and the edits.
#include <gtest/gtest.h>

#include <QImage>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTest>

#include "control_ids.h"
#include "gui_support.h"
#include "level_bar.h"
#include "probe_dlg.h"
#include "sim_process.h"
#include "temp_dir.h"

namespace approbe {
namespace {

using namespace std::chrono_literals;
using test::ServeUntil;
using test::SimProcess;
using ui::CLevelBar;
using ui::CProbeDlg;
using Clock = std::chrono::steady_clock;

// The dialog with a profile pointing at a simulator.
struct DialogRig {
    explicit DialogRig(SimProcess& sim)
    {
        IniProfile profile(dir.file("approbe.ini"));
        profile.WriteProfileString("Settings", "Host", "127.0.0.1");
        profile.WriteProfileString("Settings", "Port", std::to_string(sim.port()));
        profile.WriteProfileString("Settings", "User", "admin");
        profile.WriteProfileString("Settings", "Pass", "admin");
        dlg = std::make_unique<CProbeDlg>(dir.file("approbe.ini"));
        dlg->show();
    }
    QPushButton* button(int id) { return static_cast<QPushButton*>(dlg->control(id)); }
    QString field(int id) { return static_cast<QLineEdit*>(dlg->control(id))->text(); }
    QStringList log()
    {
        QStringList lines;
        auto* list = static_cast<QListWidget*>(dlg->control(IDC_LOG));
        for (int i = 0; i < list->count(); ++i)
            lines << list->item(i)->text();
        return lines;
    }
    bool loggedIn()
    {
        return log().contains(QStringLiteral("Test Korvane AP to 127.0.0.1 connected")) && dlg->core().polling();
    }

    test::TempDir dir;
    test::ModalDismisser dismisser; // a 5-digit test port fails the 3-character rule at every pull
    std::unique_ptr<CProbeDlg> dlg;
};

TEST(DialogSessionTest, ConnectRunsASessionThatNarratesAndGivesConnectBack)
{
    SimProcess sim({}, "login\nvalues -85 -62 -75\nreplies 2\nclose\n");
    DialogRig rig(sim);
    QTest::mouseClick(rig.button(IDOK), Qt::LeftButton);
    EXPECT_FALSE(rig.button(IDOK)->isEnabled());
    ASSERT_TRUE(ServeUntil([&] { return rig.loggedIn(); }));
    EXPECT_EQ(rig.dlg->windowTitle(), "Test Korvane AP to 127.0.0.1 connected");

    rig.dlg->core().OnTimer(); // the next tick, without waiting a second for it
    // The teardown gives Connect back just before its last caption.
    ASSERT_TRUE(ServeUntil([&] { return rig.button(IDOK)->isEnabled() && rig.dlg->windowTitle().endsWith("DISCONNECT"); }));
    EXPECT_EQ(rig.dlg->windowTitle(), "Test Korvane AP DISCONNECT");
    EXPECT_EQ(rig.field(IDC_NOISE_CUR), "-85 dBm");
    EXPECT_EQ(rig.field(IDC_LOCAL_RSSI_CUR), "-62 dBm");
    EXPECT_EQ(rig.field(IDC_REMOTE_RSSI_CUR), "-75 dBm");
    EXPECT_GT(rig.field(IDC_RX_BYTES).toInt(), 50);
    const QStringList log = rig.log();
    ASSERT_GE(log.size(), 8);
    EXPECT_EQ(log.first(), "WinSock Initialized ");
    EXPECT_EQ(log.last(), "De-Initialized WinSock");
    EXPECT_EQ(log[log.size() - 2], "Test Korvane AP SOCKET closed");
    EXPECT_EQ(static_cast<CLevelBar*>(rig.dlg->control(IDC_NOISE_BAR))->barColour(), QColor(128, 128, 128));
    EXPECT_EQ(static_cast<CLevelBar*>(rig.dlg->control(IDC_NOISE_BAR))->value(), 65) << "the length stays";
    EXPECT_GE(rig.dismisser.count, 3) << "on opening and twice at Connect";
}

TEST(DialogSessionTest, PauseButtonTogglesItsCaptionAndThePolling)
{
    SimProcess sim;
    DialogRig rig(sim);
    QTest::mouseClick(rig.button(IDOK), Qt::LeftButton);
    ASSERT_TRUE(ServeUntil([&] { return rig.loggedIn(); }));
    QTest::mouseClick(rig.button(IDC_PAUSE), Qt::LeftButton);
    EXPECT_EQ(rig.button(IDC_PAUSE)->text(), "Work");
    EXPECT_FALSE(rig.dlg->core().polling());
    QTest::mouseClick(rig.button(IDC_PAUSE), Qt::LeftButton);
    EXPECT_EQ(rig.button(IDC_PAUSE)->text(), "Pause");
    QTest::mouseClick(rig.button(IDC_DISCONNECT), Qt::LeftButton);
    ASSERT_TRUE(ServeUntil([&] { return rig.button(IDOK)->isEnabled() && rig.dlg->windowTitle().endsWith("DISCONNECT"); },
                           5s));
    EXPECT_EQ(rig.dlg->windowTitle(), "Test Korvane AP DISCONNECT");
}

// Closing must end the program promptly whatever the session is doing, including while the
// worker waits for the UI thread to apply a window call.
class DialogCloseTest : public ::testing::TestWithParam<const char*> {};

TEST_P(DialogCloseTest, ClosesWithin2Seconds)
{
    SimProcess sim({}, GetParam());
    DialogRig rig(sim);
    QTest::mouseClick(rig.button(IDOK), Qt::LeftButton);
    ASSERT_TRUE(ServeUntil([&] { return rig.log().size() >= 5; }));
    ServeUntil([] { return false; }, 100ms);
    const auto start = Clock::now();
    rig.dlg->reject();
    EXPECT_LT(Clock::now() - start, 2s);
    EXPECT_FALSE(rig.dlg->isVisible());
    rig.dlg.reset();
    EXPECT_LT(Clock::now() - start, 2s);
}

INSTANTIATE_TEST_SUITE_P(States, DialogCloseTest,
                         ::testing::Values("login\nsilent\n",           // logged in, access point silent
                                           "sleep 5000\nclose\n",       // connected, never prompted
                                           "login\nflood 100000000\n")); // worker busy with window calls

// Connect pressed while the previous worker is still finishing its last window calls: closing
// later, while the new worker is busy with window calls, must still serve them and not hang.
TEST(DialogCloseTest, ReconnectingTheMomentConnectIsBackThenClosing)
{
    SimProcess sim({}, "login\nflood 100000000\n");
    DialogRig rig(sim);
    QTest::mouseClick(rig.button(IDOK), Qt::LeftButton);
    ASSERT_TRUE(ServeUntil([&] { return rig.loggedIn(); }));

    struct ReconnectOnEnable : QObject {
        CProbeDlg* dlg = nullptr;
        bool done = false;
        bool eventFilter(QObject* watched, QEvent* event) override
        {
            if (!done && event->type() == QEvent::EnabledChange && static_cast<QWidget*>(watched)->isEnabled()) {
                done = true;
                dlg->core().OnOK(); // before the ending worker has set its last caption
            }
            return false;
        }
    } reconnect;
    reconnect.dlg = rig.dlg.get();
    rig.button(IDOK)->installEventFilter(&reconnect);

    QTest::mouseClick(rig.button(IDC_DISCONNECT), Qt::LeftButton);
    ASSERT_TRUE(ServeUntil([&] { return reconnect.done; }, 5s));
    ASSERT_TRUE(ServeUntil([&] { return rig.loggedIn() && rig.field(IDC_NOISE_CUR) != " "; }));
    const auto start = Clock::now();
    rig.dlg->reject();
    EXPECT_LT(Clock::now() - start, 2s);
}

TEST(DialogCloseTest, ClosingWithNoSessionIsImmediate)
{
    SimProcess sim;
    DialogRig rig(sim);
    rig.dlg->reject();
    EXPECT_FALSE(rig.dlg->isVisible());
}

// Reads the colour at the middle of the bar's filled end, from its own rendering.
QColor PixelAt(CLevelBar& bar, double fraction)
{
    const QImage image = bar.grab().toImage();
    return image.pixelColor(static_cast<int>(image.width() * fraction), image.height() / 2);
}

TEST(LevelBarTest, DrawsTheExactColourAndShowsOutOfRangeAsEmptyOrFull)
{
    for (const char* style : {"Fusion", "Windows"}) {
        SCOPED_TRACE(style);
        QApplication::setStyle(style);
        CLevelBar bar;
        bar.resize(300, 20);
        bar.setRange(5, 80);
        bar.setBarColour(QColor(255, 255, 0));
        bar.setLevel(80);
        EXPECT_EQ(PixelAt(bar, 0.5), QColor(255, 255, 0));
        EXPECT_EQ(PixelAt(bar, 0.95), QColor(255, 255, 0));

        bar.setLevel(150); // above the range: full
        bar.setBarColour(QColor(255, 0, 0));
        EXPECT_EQ(bar.value(), 80);
        EXPECT_EQ(PixelAt(bar, 0.95), QColor(255, 0, 0));

        bar.setLevel(-5); // below: empty
        EXPECT_EQ(bar.value(), 5);
        EXPECT_NE(PixelAt(bar, 0.1), QColor(255, 0, 0));

        bar.setLevel(40);
        bar.setBarColour(QColor(0, 255, 0));
        EXPECT_EQ(PixelAt(bar, 0.2), QColor(0, 255, 0));
        EXPECT_NE(PixelAt(bar, 0.8), QColor(0, 255, 0));
    }
    QApplication::setStyle("Fusion");
}

TEST(EditsTest, PortTakesThreeTypedCharactersButShowsALongerStoredOne)
{
    test::TempDir dir;
    CProbeDlg dlg(dir.file("approbe.ini"));
    dlg.show();
    auto* port = static_cast<QLineEdit*>(dlg.control(IDC_PORT));
    EXPECT_EQ(port->text(), "23") << "first run";
    port->clear();
    QTest::keyClicks(port, "12345");
    EXPECT_EQ(port->text(), "123");
    EXPECT_EQ(static_cast<QLineEdit*>(dlg.control(IDC_PASSWORD))->echoMode(), QLineEdit::Password);
}

} // namespace
} // namespace approbe
