// The real dialog on Qt's offscreen platform against hostile access points: the window stays
// responsive under a flood and opens on a junk profile.
#include <gtest/gtest.h>

#include "../gui/gui_support.h"

namespace approbe {
namespace {

using namespace std::chrono_literals;
using namespace test;
using Clock = std::chrono::steady_clock;
using enum ui::ControlId;

// While the worker hands the window a block every few microseconds, events posted to the UI
// thread are still served at once, and Disconnect ends the flood.
TEST(DialogFloodTest, WindowStaysResponsiveAndDisconnectEndsIt)
{
    SimProcess flood({}, "login\nvalues -90 -60 -70\nflood 1000000000\n");
    DialogRig rig(flood);
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

// Binary bytes, a megabyte value, duplicate keys and a 10,000-digit port in one file: the dialog
// opens showing the readable settings, and Connect works once the port is typed.
TEST(DialogJunkProfileTest, OpensShowsWhatIsReadableAndConnects)
{
    using namespace std::string_literals;
    DialogRig rig("\0\x01\xff\xfe junk\n[Settings]\nHost=127.0.0.1\nHost=10.9.9.9\n\x7f\0bin=\x01\x02\nNote="s +
               std::string(1 << 20, 'm') + "\nPort=" + std::string(10000, '9') + "\nUser=admin\nPass=admin\n");
    EXPECT_EQ(rig.edit(IDC_HOST)->text(), "127.0.0.1");
    EXPECT_EQ(rig.edit(IDC_PORT)->text(), "23");
    EXPECT_EQ(rig.edit(IDC_USER)->text(), "admin");
    SimProcess sim({}, kAnyLogin);
    rig.ExpectNormalSession(sim);
}

} // namespace
} // namespace approbe
