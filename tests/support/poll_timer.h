#pragma once

#include <atomic>
#include <chrono>
#include <optional>
#include <thread>

#include "session_rig.h"

namespace approbe::test {

// The dialog's one-second poll timer for a session rig: ticks a second after each start, while it runs.
class PollTimer {
public:
    explicit PollTimer(SessionRig& rig) : m_thread([this, &rig] { Run(rig); }) {}
    ~PollTimer()
    {
        m_stop = true;
        m_thread.join();
    }
    PollTimer(const PollTimer&) = delete;
    PollTimer& operator=(const PollTimer&) = delete;

private:
    void Run(SessionRig& rig)
    {
        using Clock = std::chrono::steady_clock;
        std::optional<Clock::time_point> next;
        while (!m_stop) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            if (!rig.window.timerRunning()) {
                next.reset();
            } else if (!next) {
                next = Clock::now() + std::chrono::seconds(1);
            } else if (Clock::now() >= *next) {
                rig.Tick();
                *next += std::chrono::seconds(1);
            }
        }
    }
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

} // namespace approbe::test
