// The real dialog on Qt's offscreen platform: sessions against the simulator, closing at any
// moment, the level bars' pixels and the edits.
#include <gtest/gtest.h>

#include <QImage>

#include "gui_support.h"
#include "level_bar.h"

namespace approbe {
namespace {

using namespace std::chrono_literals;
using namespace test;
using ui::CLevelBar;
using ui::CProbeDlg;
using Clock = std::chrono::steady_clock;
using enum ui::ControlId;

TEST(DialogSessionTest, ConnectRunsASessionThatNarratesAndGivesConnectBack)
{
    SimProcess sim({}, "login\nvalues -85 -62 -75\nreplies 2\nclose\n");
    DialogRig rig(sim);
    QTest::mouseClick(rig.button(IDOK), Qt::LeftButton);
    EXPECT_FALSE(rig.button(IDOK)->isEnabled());
    ASSERT_TRUE(ServeUntil([&] { return rig.loggedIn(); }));
    EXPECT_EQ(rig.dlg->windowTitle(), "Test Korvane AP to 127.0.0.1 connected");

    rig.dlg->presenter().PollNow(); // the next tick, without waiting a second for it
    // The teardown gives Connect back just before its last caption.
    ASSERT_TRUE(ServeUntil([&] { return rig.ended(); }));
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

// An access point that stops answering, auto-reconnect off: the values are shown stale after 3
// unanswered polls, and after 10 s the session ends saying so, in the log and the caption.
TEST(DialogSessionTest, ASilentAccessPointIsShownStaleThenEndsNamingWhy)
{
    SimProcess sim({}, "login\nvalues -85 -62 -75\nreplies 2\nsilent\n");
    DialogRig rig(sim);
    QTest::mouseClick(rig.button(IDOK), Qt::LeftButton);
    ASSERT_TRUE(ServeUntil([&] { return rig.field(IDC_NOISE_CUR) == "-85 dBm"; }));
    const auto answered = Clock::now();
    ASSERT_TRUE(ServeUntil([&] { return rig.logged("No answer from 127.0.0.1 for 3 s"); }, 6s));
    EXPECT_GE(Clock::now() - answered, 2500ms);
    EXPECT_NE(rig.dlg->control(IDC_NOISE_CUR)->graphicsEffect(), nullptr) << "dimmed";
    EXPECT_FALSE(rig.button(IDOK)->isEnabled());
    ASSERT_TRUE(ServeUntil([&] { return rig.ended(); }, 12s));
    EXPECT_GE(Clock::now() - answered, 9s);
    EXPECT_EQ(rig.dlg->windowTitle(), "Test Korvane AP DISCONNECT (silent)");
    EXPECT_TRUE(rig.logged("Test Korvane AP 127.0.0.1 silent for 10 s"));
    EXPECT_EQ(rig.log().last(), "De-Initialized WinSock");
    EXPECT_EQ(rig.dlg->control(IDC_NOISE_CUR)->graphicsEffect(), nullptr) << "an ended session's values are not dimmed";
    EXPECT_EQ(rig.field(IDC_NOISE_CUR), "-85 dBm") << "the last values stay";
    for (const QString& line : rig.log())
        EXPECT_FALSE(line.startsWith("Reconnecting")) << line.toStdString();
}

TEST(DialogSessionTest, PauseButtonTogglesItsCaptionAndThePolling)
{
    SimProcess sim;
    DialogRig rig(sim);
    QTest::mouseClick(rig.button(IDOK), Qt::LeftButton);
    ASSERT_TRUE(ServeUntil([&] { return rig.loggedIn(); }));
    QTest::mouseClick(rig.button(IDC_PAUSE), Qt::LeftButton);
    EXPECT_EQ(rig.button(IDC_PAUSE)->text(), "Work");
    QTest::mouseClick(rig.button(IDC_PAUSE), Qt::LeftButton);
    EXPECT_EQ(rig.button(IDC_PAUSE)->text(), "Pause");
    QTest::mouseClick(rig.button(IDC_DISCONNECT), Qt::LeftButton);
    ASSERT_TRUE(ServeUntil([&] { return rig.ended(); }, 5s));
    EXPECT_EQ(rig.dlg->windowTitle(), "Test Korvane AP DISCONNECT");
}

// Closing must end the program promptly whatever the session is doing, including while the
// worker waits for the UI thread to apply a window call: the dialog is gone within 2 s.
struct CloseCase {
    const char* name;
    const char* script;
    const char* reached; // a log line that shows the state was reached
};

void PrintTo(const CloseCase& c, std::ostream* os) { *os << c.name; }

class DialogCloseTest : public ::testing::TestWithParam<CloseCase> {};

TEST_P(DialogCloseTest, ClosesWithin2Seconds)
{
    SimProcess sim({}, GetParam().script);
    DialogRig rig(sim);
    QTest::mouseClick(rig.button(IDOK), Qt::LeftButton);
    ASSERT_TRUE(ServeUntil([&] { return rig.logged(GetParam().reached); }));
    ServeUntil([] { return false; }, 100ms);
    const auto start = Clock::now();
    rig.dlg->reject();
    EXPECT_LT(Clock::now() - start, 2s);
    EXPECT_FALSE(rig.dlg->isVisible());
    rig.dlg.reset();
    EXPECT_LT(Clock::now() - start, 2s);
}

const char* const kLogin = "Test Korvane AP Login to 127.0.0.1";
const char* const kConnected = "Test Korvane AP to 127.0.0.1 connected";

INSTANTIATE_TEST_SUITE_P(
    States, DialogCloseTest,
    ::testing::Values(CloseCase{"SilentFromAccept", "silent\n", kLogin},
                      CloseCase{"BannerButNoPrompt", "send Welcome\\r\\n\nsilent\n", kLogin},
                      CloseCase{"StuckInTheLogin", "send login:\\x20\nexpect admin\\r\nsilent\n", kLogin},
                      CloseCase{"AccessPointClosingInTheLogin", "send login:\\x20\nexpect admin\\r\nclose\n", kLogin},
                      CloseCase{"LoggedInSilent", "login\nsilent\n", kConnected},
                      CloseCase{"AfterAReset", "login\nreset\n", kConnected},
                      CloseCase{"Flood", "login\nflood 100000000\n", kConnected}, // worker busy with window calls
                      CloseCase{"RepliesByteByByte",
                                "login\nbytewise on\nsend Noise Floor Level: -90 dBm\\r\\nLocal RSSI level: -60 dBm "
                                "Remote RSSI level: -70 dBm\\r\\nNoise Floor Level: -91 dBm\\r\\nLocal RSSI level: -61 dBm "
                                "Remote RSSI level: -71 dBm\\r\\nNoise Floor Level: -92 dBm\\r\\n\nsilent\n",
                                kConnected}),
    [](const auto& row) { return std::string(row.param.name); });

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
                dlg->presenter().OnOK(); // before the ending worker has set its last caption
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
    TempDir dir;
    CProbeDlg dlg(dir.file("approbe.ini"));
    dlg.show();
    auto* port = static_cast<QLineEdit*>(dlg.control(IDC_PORT));
    EXPECT_EQ(port->text(), "23") << "first run";
    port->clear();
    QTest::keyClicks(port, "12345");
    EXPECT_EQ(port->text(), "123");
    EXPECT_EQ(static_cast<QLineEdit*>(dlg.control(IDC_PASSWORD))->echoMode(), QLineEdit::Password);
}

TEST(EditsTest, TextsWiderThanTheirEditShowTheirBeginning)
{
    const std::string host(60, 'a');
    DialogRig rig("[Settings]\nHost=" + host + ".invalid\nPort=23\n");
    EXPECT_EQ(rig.field(IDC_HOST), QString::fromStdString(host + ".invalid"));
    EXPECT_EQ(rig.edit(IDC_HOST)->cursorPosition(), 0);
    rig.dlg->SetField(IDC_NOISE_CUR, "-2147483648 dBm");
    EXPECT_EQ(rig.edit(IDC_NOISE_CUR)->cursorPosition(), 0);
}

// With a stored port longer than the edit takes, Connect shows the length message at each pull
// (the message boxes take the focus from the dialog meanwhile). Afterwards Enter must not end
// the program: the focus is not on Exit, and the next Enter leaves the dialog open.
TEST(FocusTest, NeverOnExitAfterConnectWhateverBoxesCameBetween)
{
    SimProcess sim({}, kAnyLogin);
    DialogRig rig(sim); // a five-digit port
    ASSERT_TRUE(ServeUntil([&] { return QApplication::focusWidget() == rig.button(IDOK); }));
    QTest::keyClick(rig.button(IDOK), Qt::Key_Return);
    ASSERT_TRUE(ServeUntil([&] { return rig.loggedIn() && !QApplication::activeModalWidget(); }));
    ServeUntil([] { return false; }, std::chrono::milliseconds(100)); // let the focus settle
    EXPECT_GE(rig.dismisser.count, 2);
    EXPECT_NE(rig.dlg->focusWidget(), rig.button(IDCANCEL));
    rig.dlg->activateWindow(); // as the window manager does once the last box is gone
    ASSERT_TRUE(ServeUntil([&] { return QApplication::focusWidget() != nullptr; }));
    EXPECT_NE(QApplication::focusWidget(), rig.button(IDCANCEL));
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
    EXPECT_TRUE(rig.dlg->isVisible()) << "Enter after Connect ended the program";
    QTest::mouseClick(rig.button(IDC_DISCONNECT), Qt::LeftButton);
    ASSERT_TRUE(ServeUntil([&] { return rig.ended(); }, 5s));
    EXPECT_NE(QApplication::focusWidget(), rig.button(IDCANCEL)) << "after the session too";
}

} // namespace
} // namespace approbe
