#pragma once

#include <chrono>

#include "session_engine.h"

// When an attempt that ended without anyone asking is made again, and how many start a second.
namespace approbe::session {

using std::chrono::milliseconds;

struct RetryPolicy {
    bool enabled = false;
    milliseconds first{1000}, max{30000}; // refused or failed: first, doubling up to max
    bool jitter = false;                  // into [half, whole], so that many do not retry together
    // After a silence or a connect time-out the link itself was gone; it may be back any moment.
    // Jittered too, into [half, whole]: a network-wide outage silences every session at once.
    milliseconds afterSilence{1000};
    // Attempts, first ones and retries alike, that a loop's sessions of this policy start a second
    // at most (0: no limit), so that thousands starting together reach the network spread out.
    double startsPerSecond = 0;

    // Attempts that end this way are made again; the user's Disconnect, a rejected login, a
    // refused host key and a removed session are not.
    static bool Retries(SessionEnd why)
    {
        return why == SessionEnd::StartFailed || why == SessionEnd::PeerClosed || why == SessionEnd::ReceiveFailed ||
               why == SessionEnd::Silent;
    }
    // Before attempt failures + 1; unit in [0, 1] for the jitter.
    milliseconds Delay(int failures, bool linkLost, double unit) const;

    static RetryPolicy Dialog() { return {true, milliseconds(1000), milliseconds(30000), false, milliseconds(1000)}; }
    static RetryPolicy Poller(double startsPerSecond = kPollerStartsPerSecond)
    {
        return {true, milliseconds(1000), milliseconds(60000), true, milliseconds(6000), startsPerSecond};
    }
    static constexpr double kPollerStartsPerSecond = 500;
};

// The slots of a loop's attempts: an attempt due now takes the next free one, at least
// 1 / perSecond after the one before.
class StartPacer {
public:
    // When the attempt due at now may start (its slot is taken): now, or later while the slots up
    // to now are taken. perSecond 0: now.
    std::chrono::steady_clock::time_point Take(std::chrono::steady_clock::time_point now, double perSecond);
    // Whether an attempt whose slot this was comes too late to start in it at now (more than half
    // a gap after it, the loop having been held up): the slots after it are others', due as well,
    // and starting them all at once would burst past the rate. It takes a slot anew.
    static bool Missed(std::chrono::steady_clock::time_point slot, std::chrono::steady_clock::time_point now,
                       double perSecond);

private:
    static std::chrono::steady_clock::duration Gap(double perSecond);
    std::chrono::steady_clock::time_point m_next{};
};

} // namespace approbe::session
