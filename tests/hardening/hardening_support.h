#pragma once

// Checks the hardening tests share: the end of a session, and a normal session after it.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "session_rig.h"
#include "sim_process.h"

namespace approbe::test {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Events = std::vector<std::string>;

// The narration's last lines when a session ends, whoever ended it.
inline Events TeardownLines()
{
    return {"log " + kPrefix + "SOCKET closed", "log De-Initialized WinSock", "connect 1",
            "caption Test Korvane AP DISCONNECT"};
}

// The session has ended with its normal teardown and holds nothing.
inline void ExpectTornDown(SessionRig& rig)
{
    const Events narration = rig.Narration();
    ASSERT_GE(narration.size(), 4u);
    EXPECT_EQ(Events(narration.end() - 4, narration.end()), TeardownLines());
    EXPECT_FALSE(rig.window.timerRunning());
    EXPECT_TRUE(rig.window.connectEnabled());
    EXPECT_EQ(rig.sockets.openSockets(), 0u);
    EXPECT_EQ(rig.sockets.startups(), rig.sockets.cleanups());
    const Events sends = rig.sockets.sends();
    ASSERT_GE(sends.size(), 2u);
    EXPECT_EQ(Events(sends.end() - 2, sends.end()), (Events{"q", "\r"}));
}

// A normal session in the same rig, against a fresh simulator that takes any user and password:
// log in, one poll read back, Disconnect. Proves that whatever came before left the program
// ready for the next Connect. Only host and port are typed: a five-digit port stops the pull of
// the edits there, so user and password stay what the rig held.
inline void ExpectNormalSessionAfterwards(SessionRig& rig)
{
    SimProcess sim({}, "send login:\\x20\nexpect \\r\nsend Password:\\x20\nexpect \\r\n"
                       "send \\r\\nAP>\\x20\nvalues -88 -55 -66\nshell\n");
    EditTexts edits = rig.window.edits();
    edits.host = "127.0.0.1";
    edits.port = std::to_string(sim.port());
    rig.window.setEdits(edits);
    rig.window.clearEvents();
    rig.window.keepValueEvents(true);
    rig.Connect();
    ASSERT_TRUE(rig.window.waitForEvent("log " + kPrefix + "to 127.0.0.1 connected"));
    const auto deadline = Clock::now() + 5s;
    while (!rig.core->polling() && Clock::now() < deadline)
        std::this_thread::sleep_for(1ms);
    ASSERT_TRUE(rig.core->polling());
    rig.Tick();
    EXPECT_TRUE(rig.window.waitForEvent("field 1016 -66 dBm"));
    EXPECT_TRUE(rig.window.waitForEvent("field 1002 -88 dBm"));
    rig.Disconnect();
    ASSERT_TRUE(rig.WaitEnd(5s));
    ExpectTornDown(rig);
}

} // namespace approbe::test
