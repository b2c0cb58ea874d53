#include "session_rig.h"

#include <algorithm>

#include <gtest/gtest.h>

#include "sim_process.h"

namespace approbe::test {

SessionRig::SessionRig(const std::string& host, const std::string& port, const std::string& user,
                       const std::string& password, int connectTimeoutMs)
    : profile(dir.file("approbe.ini")), sockets(connectTimeoutMs)
{
    for (const auto& [key, value] : {std::pair{"Host", host}, {"Port", port}, {"User", user}, {"Pass", password}})
        profile.WriteProfileString("Settings", key, value);
    core = std::make_unique<CProbeCore>(window, sockets, profile);
    core->OnInitDialog();
    window.clearEvents();
}

SessionRig::SessionRig(const ProfileText& file, int connectTimeoutMs)
    : profile(dir.file("approbe.ini")), sockets(connectTimeoutMs)
{
    WriteFile(profile.path(), file.text);
    core = std::make_unique<CProbeCore>(window, sockets, profile);
    core->OnInitDialog();
}

bool SessionRig::LogIn(std::chrono::milliseconds timeout)
{
    Connect();
    // Polling on, and its effect on the Pause button applied, before the test clicks anything.
    return window.waitForEvent(kConnectedLine, timeout) && window.waitForEvent("pause Pause", timeout) &&
           WaitUntil([this] { return core->polling(); }, timeout);
}

Events SessionRig::Narration()
{
    Events out;
    for (const std::string& e : window.events()) {
        if (e.rfind("log ", 0) == 0 || e.rfind("caption ", 0) == 0 || e.rfind("connect ", 0) == 0)
            out.push_back(e);
    }
    return out;
}

Events TeardownLines()
{
    return {"log " + kPrefix + "SOCKET closed", "log De-Initialized WinSock", "connect 1",
            "caption Test Korvane AP DISCONNECT"};
}

void ExpectTornDown(SessionRig& rig, Farewell farewell)
{
    const Events narration = rig.Narration();
    ASSERT_GE(narration.size(), 4u);
    EXPECT_EQ(Events(narration.end() - 4, narration.end()), TeardownLines());
    EXPECT_FALSE(rig.window.timerRunning());
    EXPECT_TRUE(rig.window.connectEnabled());
    EXPECT_EQ(rig.sockets.openSockets(), 0u);
    EXPECT_EQ(rig.sockets.startups(), rig.sockets.cleanups());
    const Events sends = rig.sockets.sends();
    if (farewell == Farewell::None) {
        EXPECT_EQ(std::count(sends.begin(), sends.end(), "q"), 0) << ::testing::PrintToString(sends);
        return;
    }
    ASSERT_GE(sends.size(), 2u);
    EXPECT_EQ(Events(sends.end() - 2, sends.end()), (Events{"q", "\r"}));
}

void ExpectNormalSessionAfterwards(SessionRig& rig)
{
    SimProcess sim({}, kAnyLogin);
    EditTexts edits = rig.window.edits();
    edits.host = "127.0.0.1";
    edits.port = std::to_string(sim.port());
    rig.window.setEdits(edits);
    rig.window.clearEvents();
    rig.window.keepValueEvents(true);
    ASSERT_TRUE(rig.LogIn());
    rig.Tick();
    EXPECT_TRUE(rig.window.waitForEvent("field 1016 -66 dBm"));
    EXPECT_TRUE(rig.window.waitForEvent("field 1002 -88 dBm"));
    rig.Disconnect();
    ASSERT_TRUE(rig.WaitEnd(std::chrono::seconds(5)));
    ExpectTornDown(rig);
}

} // namespace approbe::test
