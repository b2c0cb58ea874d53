// The route from the session loop's thread to the window's: a flood merged to its latest values,
// every other event kept in order, one wake-up per take, nothing after closing.
#include <gtest/gtest.h>

#include <deque>

#include "session_handoff.h"

namespace approbe {
namespace {

using session::SessionAction;
using session::SessionEvent;
using ui::HandedOver;
using ui::ReadingRun;
using ui::SessionHandoff;

SessionEvent EngineSaid(SessionAction action)
{
    SessionEvent e;
    e.action = std::move(action);
    return e;
}

SessionEvent ReadingOf(int noise, int local)
{
    SessionAction a{SessionAction::Kind::Reading};
    a.reading.noise = noise;
    a.reading.local = local;
    return EngineSaid(a);
}

SessionEvent BytesSoFar(std::int64_t total)
{
    SessionAction a{SessionAction::Kind::RxTotal};
    a.count = total;
    return EngineSaid(a);
}

SessionEvent Line(const std::string& text) { return EngineSaid(SessionAction(SessionAction::Kind::Log, text)); }

// The window's thread as a queue the test runs by hand.
struct Window {
    std::deque<std::function<void()>> posted;
    std::vector<std::vector<HandedOver>> steps;
    std::shared_ptr<SessionHandoff> handoff = std::make_shared<SessionHandoff>(
        [this](std::function<void()> f) { posted.push_back(std::move(f)); },
        [this](std::vector<HandedOver>& entries) { steps.push_back(std::move(entries)); });
    void Run()
    {
        while (!posted.empty()) {
            auto f = std::move(posted.front());
            posted.pop_front();
            f();
        }
    }
};

TEST(HandoffTest, AFloodIsMergedBetweenEventsThatAreAllKeptInOrder)
{
    Window window;
    window.handoff->Hand(Line("a"));
    for (int i = 0; i < 5000; ++i) {
        window.handoff->Hand(BytesSoFar(100 + i));
        window.handoff->Hand(ReadingOf(-90 - i % 10, -60 + i % 7));
    }
    window.handoff->Hand(Line("b"));
    window.handoff->Hand(ReadingOf(-80, -50));
    EXPECT_EQ(window.posted.size(), 1u) << "woken once for all that came before it took any";
    window.Run();

    ASSERT_EQ(window.steps.size(), 1u);
    const std::vector<HandedOver>& got = window.steps[0];
    ASSERT_EQ(got.size(), 4u);
    EXPECT_EQ(got[0].event->action.text, "a");
    EXPECT_EQ(got[2].event->action.text, "b");
    const HandedOver& flood = got[1];
    EXPECT_FALSE(flood.event);
    EXPECT_EQ(flood.rxTotal, 5099);
    EXPECT_EQ(flood.readings.latest.noise, -99); // i = 4999
    EXPECT_EQ(flood.readings.latest.local, -60 + 4999 % 7);
    EXPECT_EQ(flood.readings.stats.m_nNoiseCount, 5000) << "the statistics take every reading";
    EXPECT_EQ(flood.readings.stats.m_nNoiseMin, -99);
    EXPECT_EQ(flood.readings.stats.m_nLocalMax, -54);
    EXPECT_EQ(flood.readings.readings.size(), ReadingRun::kKept) << "the field tools get the newest";
    EXPECT_EQ(flood.readings.readings.back().noise, -99);
    EXPECT_EQ(got[3].rxTotal, std::nullopt);
    EXPECT_EQ(got[3].readings.latest.local, -50);

    window.handoff->Hand(Line("c"));
    EXPECT_EQ(window.posted.size(), 1u) << "woken again once taken";
}

TEST(HandoffTest, AfterCloseNothingMoreIsTakenOrReceived)
{
    Window window;
    window.handoff->Hand(Line("queued"));
    window.handoff->Close();
    window.handoff->Hand(Line("after"));
    window.Run(); // the wake-up still queued finds nothing
    EXPECT_TRUE(window.steps.empty());
}

TEST(HandoffTest, AQueuedWakeUpOutlivesItsOwner)
{
    std::deque<std::function<void()>> posted;
    int received = 0;
    {
        auto handoff = std::make_shared<SessionHandoff>([&](std::function<void()> f) { posted.push_back(std::move(f)); },
                                                        [&](std::vector<HandedOver>&) { ++received; });
        handoff->Hand(Line("a"));
        handoff->Close(); // the presenter closes it before it goes
    }
    ASSERT_EQ(posted.size(), 1u);
    posted.front()();
    EXPECT_EQ(received, 0);
}

} // namespace
} // namespace approbe
