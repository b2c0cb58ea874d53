// The real dialog on Qt's offscreen platform against hostile access points: the window stays
// responsive under a flood, closes within 2 s in every state, and opens on a junk profile.
#include <gtest/gtest.h>

#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTest>

#include "../gui/gui_support.h"
#include "control_ids.h"
#include "probe_dlg.h"
#include "sim_process.h"
#include "temp_dir.h"

namespace approbe {
namespace {

using namespace std::chrono_literals;
using test::ServeUntil;
using test::SimProcess;
using ui::CProbeDlg;
using Clock = std::chrono::steady_clock;

// A simulator that takes any user and password, then polls normally.
const char* const kAnyLogin = "send login:\\x20\nexpect \\r\nsend Password:\\x20\nexpect \\r\n"
                              "send \\r\\nAP>\\x20\nvalues -88 -55 -66\nshell\n";

struct Dialog {
    explicit Dialog(const std::string& profileText)
    {
        test::WriteFile(dir.file("approbe.ini"), profileText);
        dlg = std::make_unique<CProbeDlg>(dir.file("approbe.ini"));
        dlg->show();
    }
    static std::string ProfileFor(const SimProcess& sim)
    {
        return "[Settings]\nHost=127.0.0.1\nPort=" + std::to_string(sim.port()) + "\nUser=admin\nPass=admin\n";
    }
    QPushButton* button(int id) { return static_cast<QPushButton*>(dlg->control(id)); }
    QLineEdit* edit(int id) { return static_cast<QLineEdit*>(dlg->control(id)); }
    QStringList log()
    {
        QStringList lines;
        auto* list = static_cast<QListWidget*>(dlg->control(IDC_LOG));
        for (int i = 0; i < list->count(); ++i)
            lines << list->item(i)->text();
        return lines;
    }
    bool logged(const char* line) { return log().contains(QString::fromUtf8(line)); }
    bool loggedIn() { return logged("Test Korvane AP to 127.0.0.1 connected") && dlg->core().polling(); }
    // The teardown's last call sets the caption, after giving Connect back.
    bool ended() { return button(IDOK)->isEnabled() && dlg->windowTitle() == "Test Korvane AP DISCONNECT"; }

    // Types the simulator's address (the port only fits in the edit when set by the program),
    // connects, reads one poll back and disconnects.
    void ExpectNormalSession(SimProcess& sim)
    {
        edit(IDC_HOST)->setText("127.0.0.1");
        edit(IDC_PORT)->setText(QString::number(sim.port()));
        QTest::mouseClick(button(IDOK), Qt::LeftButton);
        ASSERT_TRUE(ServeUntil([&] { return loggedIn(); }));
        dlg->core().OnTimer();
        ASSERT_TRUE(ServeUntil([&] { return edit(IDC_NOISE_CUR)->text() == "-88 dBm"; }));
        QTest::mouseClick(button(IDC_DISCONNECT), Qt::LeftButton);
        ASSERT_TRUE(ServeUntil([&] { return ended(); }, 5s));
    }

    test::TempDir dir;
    test::ModalDismisser dismisser; // a 5-digit test port fails the 3-character rule at every pull
    std::unique_ptr<CProbeDlg> dlg;
};

// While the worker hands the window a block every few microseconds, events posted to the UI
// thread are still served at once, and Disconnect ends the flood.
TEST(DialogFloodTest, WindowStaysResponsiveAndDisconnectEndsIt)
{
    SimProcess flood({}, "login\nvalues -90 -60 -70\nflood 100000000\n");
    Dialog rig(Dialog::ProfileFor(flood));
    QTest::mouseClick(rig.button(IDOK), Qt::LeftButton);
    ASSERT_TRUE(ServeUntil([&] { return rig.loggedIn(); }));
    ASSERT_TRUE(ServeUntil([&] { return rig.edit(IDC_RX_BYTES)->text().toLongLong() > 100'000; }));

    const long long rxBefore = rig.edit(IDC_RX_BYTES)->text().toLongLong();
    Clock::duration worst{};
    for (int i = 0; i < 50; ++i) {
        bool served = false;
        const auto posted = Clock::now();
        QTimer::singleShot(0, rig.dlg.get(), [&] {
            served = true;
            worst = std::max(worst, Clock::now() - posted);
        });
        ASSERT_TRUE(ServeUntil([&] { return served; }, 5s));
        ServeUntil([] { return false; }, 10ms);
    }
    const long long rxAfter = rig.edit(IDC_RX_BYTES)->text().toLongLong();
    EXPECT_GT(rxAfter, rxBefore) << "the flood went on while the window answered";
    EXPECT_FALSE(rig.button(IDOK)->isEnabled());
    EXPECT_LT(worst, 500ms) << "a posted event waited this long";
    RecordProperty("worst_posted_event_ms", std::to_string(std::chrono::duration<double, std::milli>(worst).count()));

    const auto clicked = Clock::now();
    QTest::mouseClick(rig.button(IDC_DISCONNECT), Qt::LeftButton);
    ASSERT_TRUE(ServeUntil([&] { return rig.ended(); }, 5s));
    EXPECT_LT(Clock::now() - clicked, 5s);
    EXPECT_EQ(rig.dlg->windowTitle(), "Test Korvane AP DISCONNECT");
    EXPECT_EQ(rig.log().at(rig.log().size() - 2), "Test Korvane AP SOCKET closed");

    SimProcess normal({}, kAnyLogin);
    rig.ExpectNormalSession(normal);
}

// Closing in each state of a hostile access point (those beyond tests/gui's DialogCloseTest):
// the dialog is gone within 2 s, with no crash.
struct CloseCase {
    const char* name;
    const char* script;
    const char* reached; // a log line that shows the state was reached
};

void PrintTo(const CloseCase& c, std::ostream* os) { *os << c.name; }

class DialogHostileCloseTest : public ::testing::TestWithParam<CloseCase> {};

TEST_P(DialogHostileCloseTest, ClosesWithin2Seconds)
{
    SimProcess sim({}, GetParam().script);
    Dialog rig(Dialog::ProfileFor(sim));
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
    States, DialogHostileCloseTest,
    ::testing::Values(CloseCase{"AfterAReset", "login\nreset\n", kConnected},
                      CloseCase{"AccessPointClosingInTheLogin", "send login:\\x20\nexpect admin\\r\nclose\n", kLogin},
                      CloseCase{"StuckInTheLogin", "send login:\\x20\nexpect admin\\r\nsilent\n", kLogin},
                      CloseCase{"BannerButNoPrompt", "send Welcome\\r\\n\nsilent\n", kLogin},
                      CloseCase{"SilentFromAccept", "silent\n", kLogin},
                      CloseCase{"RepliesByteByByte",
                                "login\nbytewise on\nsend Noise Floor Level: -90 dBm Local RSSI level: -60 dBm "
                                "Remote RSSI level: -70 dBm Noise Floor Level: -91 dBm Local RSSI level: -61 dBm "
                                "Remote RSSI level: -71 dBm Noise Floor Level: -92 dBm\nsilent\n",
                                kConnected}),
    [](const auto& row) { return std::string(row.param.name); });

// Binary bytes, a megabyte value, duplicate keys and a 10,000-digit port in one file: the dialog
// opens showing the readable settings, and Connect works once the port is typed.
TEST(DialogJunkProfileTest, OpensShowsWhatIsReadableAndConnects)
{
    using namespace std::string_literals;
    Dialog rig("\0\x01\xff\xfe junk\n[Settings]\nHost=127.0.0.1\nHost=10.9.9.9\n\x7f\0bin=\x01\x02\nNote="s +
               std::string(1 << 20, 'm') + "\nPort=" + std::string(10000, '9') + "\nUser=admin\nPass=admin\n");
    EXPECT_EQ(rig.edit(IDC_HOST)->text(), "127.0.0.1");
    EXPECT_EQ(rig.edit(IDC_PORT)->text(), "23");
    EXPECT_EQ(rig.edit(IDC_USER)->text(), "admin");
    SimProcess sim({}, kAnyLogin);
    rig.ExpectNormalSession(sim);
}

} // namespace
} // namespace approbe
