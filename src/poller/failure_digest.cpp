#include "failure_digest.h"

#include <algorithm>
#include <cctype>

namespace approbe::poller {

FailureDigest::FailureDigest(std::function<void(const std::string&)> log, std::chrono::milliseconds window)
    : m_log(std::move(log)), m_window(window)
{
}

void FailureDigest::Failed(const std::string& name, const std::string& why, const std::string& line,
                           Clock::time_point now)
{
    const auto [it, fresh] = m_kinds.try_emplace(why);
    if (fresh) {
        it->second.since = now;
        m_log(line + " (the same at other access points within a minute is counted)");
        return;
    }
    Kind& kind = it->second;
    if (kind.aps.insert(name).second && kind.first.size() < kNamesShown)
        kind.first.push_back(name);
}

FailureDigest::Clock::time_point FailureDigest::Flush(Clock::time_point now)
{
    auto next = Clock::time_point::max();
    for (auto it = m_kinds.begin(); it != m_kinds.end();) {
        Kind& kind = it->second;
        if (now - kind.since < m_window) {
            next = std::min(next, kind.since + m_window);
            ++it;
            continue;
        }
        if (kind.aps.empty()) {
            it = m_kinds.erase(it);
            continue;
        }
        std::string names;
        for (const std::string& n : kind.first)
            names += (names.empty() ? "" : ", ") + n;
        if (kind.aps.size() > kind.first.size())
            names += " and " + std::to_string(kind.aps.size() - kind.first.size()) + " more";
        m_log(it->first + ": " + std::to_string(kind.aps.size()) +
              (kind.aps.size() == 1 ? " access point" : " access points") + " in the last minute (" + names + ")");
        kind = Kind{now, {}, {}};
        next = std::min(next, now + m_window);
        ++it;
    }
    return next;
}

std::string StartFailureReason(const std::string& systemText)
{
    std::string text = systemText;
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    if (text.find("refused") != std::string::npos)
        return "connection refused";
    if (text.find("no route") != std::string::npos || text.find("unreachable") != std::string::npos)
        return "no route to host";
    if (text.find("timed out") != std::string::npos)
        return "timed out";
    if (text.find("not known") != std::string::npos || text.find("no address associated") != std::string::npos ||
        text.find("no host given") != std::string::npos)
        return "name not found";
    return text;
}

} // namespace approbe::poller
