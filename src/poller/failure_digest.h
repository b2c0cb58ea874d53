#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace approbe::poller {

// Why sessions failed, said without a line per access point per attempt: the first failure of a
// kind is a line of its own, at once; the same failure at other access points (or the same one
// again) within the next minute is counted, and said once when the minute is over as a count and
// a few names. A kind quiet for a whole minute starts afresh.
class FailureDigest {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::size_t kNamesShown = 3;

    explicit FailureDigest(std::function<void(const std::string&)> log,
                           std::chrono::milliseconds window = std::chrono::minutes(1));

    // The session of name failed, why says how ("cannot start: connection refused", "silent");
    // line is what the log says when it is the first of its kind.
    void Failed(const std::string& name, const std::string& why, const std::string& line, Clock::time_point now);
    // Says every count whose minute is over; returns when to call again (max while nothing is counted).
    Clock::time_point Flush(Clock::time_point now);

private:
    struct Kind {
        Clock::time_point since;   // the window's start
        std::set<std::string> aps; // failed within the window after its first line
        std::vector<std::string> first; // the first few of them, in the order they failed
    };

    std::function<void(const std::string&)> m_log;
    std::chrono::milliseconds m_window;
    std::map<std::string, Kind> m_kinds;
};

// A short reason for a connect or lookup failure, from the system's text: "connection refused",
// "no route to host", "timed out", "name not found"; anything else lower-cased as it came.
std::string StartFailureReason(const std::string& systemText);

} // namespace approbe::poller
