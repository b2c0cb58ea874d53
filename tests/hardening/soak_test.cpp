// Thousands of sessions in a row against one simulator: no descriptor, thread or memory is left
// behind by a session, whichever side ends it. Under the sanitizers APPROBE_SOAK_SESSIONS makes
// the run shorter; LeakSanitizer checks the memory there.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <unistd.h>

#include "session_rig.h"
#include "sim_process.h"

namespace approbe {
namespace {

using namespace test;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

long RssKiB()
{
    long pages = 0, resident = 0;
    std::ifstream("/proc/self/statm") >> pages >> resident;
    return resident * (::sysconf(_SC_PAGESIZE) / 1024);
}

struct Usage {
    std::size_t fds = CountEntries("/proc/self/fd");
    std::size_t threads = CountEntries("/proc/self/task");
    long rssKiB = RssKiB();
};

// Each poll is answered in one write, so that no session waits on delayed acknowledgements.
std::string PollReply(int noise)
{
    return "reply Station 1 Local RSSI level: -60 dBm Remote RSSI level: -70 dBm\\r\\nNoise Floor Level: " +
           std::to_string(noise) + " dBm\\r\\nAP>\\x20\nreply\n";
}

// Connect, log in, a poll read back; every other session the access point ends it after a
// second poll, the others end by Disconnect.
void OneSession(SessionRig& rig, int i)
{
    rig.window.clearEvents();
    ASSERT_TRUE(rig.LogIn(5s)) << "session " << i;
    rig.Tick();
    ASSERT_TRUE(rig.window.waitForEvent("field 1002 -90 dBm", 5s)) << "session " << i;
    if (i % 2 == 0) {
        rig.Tick();
        ASSERT_TRUE(rig.window.waitForEvent("field 1002 -91 dBm", 5s)) << "session " << i;
    } else
        rig.Disconnect();
    ASSERT_TRUE(rig.WaitEnd(5s)) << "session " << i;
    ASSERT_EQ(rig.window.caption(), "Test Korvane AP DISCONNECT") << "session " << i;
    ASSERT_TRUE(rig.window.connectEnabled());
}

TEST(SoakTest, SessionsInARowLeaveNoDescriptorThreadOrMemoryBehind)
{
    int sessions = 2000;
    if (const char* env = std::getenv("APPROBE_SOAK_SESSIONS"))
        sessions = std::atoi(env);
    SimProcess sim({}, "login\n" + PollReply(-90) + PollReply(-91) + "close\n");
    SessionRig rig("127.0.0.1", std::to_string(sim.port()));
    for (int i = 0; i < 20; ++i) // warm up the allocator and the thread caches
        ASSERT_NO_FATAL_FAILURE(OneSession(rig, i));

    const Usage before;
    const auto start = Clock::now();
    for (int i = 0; i < sessions; ++i)
        ASSERT_NO_FATAL_FAILURE(OneSession(rig, i));
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    const Usage after;

    EXPECT_EQ(after.fds, before.fds);
    EXPECT_EQ(after.threads, before.threads);
    EXPECT_TRUE(sim.waitClosedConnections(sessions + 20, 5s));
    RecordProperty("sessions", sessions);
    RecordProperty("seconds", std::to_string(seconds));
    RecordProperty("rss_kib_before", std::to_string(before.rssKiB));
    RecordProperty("rss_kib_after", std::to_string(after.rssKiB));
    std::printf("%d sessions in %.1f s; RSS %ld -> %ld KiB; fds %zu; threads %zu\n", sessions, seconds,
                before.rssKiB, after.rssKiB, after.fds, after.threads);
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    // The simulator's log kept by the test grows a little per session; the session itself not at all.
    EXPECT_LT(after.rssKiB - before.rssKiB, 4096) << "roughly flat";
#endif
}

} // namespace
} // namespace approbe
