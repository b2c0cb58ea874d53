#pragma once

#include <chrono>

#include "session_engine.h"

// When an attempt that ended without anyone asking is made again.
namespace approbe::session {

using std::chrono::milliseconds;

struct RetryPolicy {
    bool enabled = false;
    milliseconds first{1000}, max{30000}; // refused or failed: first, doubling up to max
    bool jitter = false;                  // into [half, whole], so that many do not retry together
    // After a silence or a connect time-out the link itself was gone; it may be back any moment.
    milliseconds afterSilence{1000};

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
    static RetryPolicy Poller() { return {true, milliseconds(1000), milliseconds(60000), true, milliseconds(6000)}; }
};

} // namespace approbe::session
