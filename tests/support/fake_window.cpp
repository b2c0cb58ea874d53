#include "fake_window.h"

#include <algorithm>

namespace approbe::test {

void FakeWindow::Keep(std::string line)
{
    const bool value = line.rfind("field ", 0) == 0 || line.rfind("pos ", 0) == 0 || line.rfind("colour ", 0) == 0;
    if (value) {
        const auto keyEnd = line.find(' ', line.find(' ') + 1);
        if (keyEnd != std::string::npos)
            m_latest[line.substr(0, keyEnd)] = line.substr(keyEnd + 1);
    }
    if (m_keepValues || !value)
        m_events.push_back(std::move(line));
    m_changed.notify_all();
}

std::string FakeWindow::latest(const std::string& key)
{
    std::lock_guard lock(m_mutex);
    const auto it = m_latest.find(key);
    return it == m_latest.end() ? std::string() : it->second;
}

std::vector<std::string> FakeWindow::events(const std::string& prefix)
{
    std::vector<std::string> out;
    for (const std::string& e : events()) {
        if (e.rfind(prefix, 0) == 0)
            out.push_back(e);
    }
    return out;
}

bool FakeWindow::waitFor(const std::function<bool(const std::vector<std::string>&)>& pred,
                         std::chrono::milliseconds timeout)
{
    std::unique_lock lock(m_mutex);
    return m_changed.wait_for(lock, timeout, [&] { return pred(m_events); });
}

bool FakeWindow::waitForEvent(const std::string& line, std::chrono::milliseconds timeout)
{
    return waitFor([&](const auto& ev) { return std::find(ev.begin(), ev.end(), line) != ev.end(); }, timeout);
}

} // namespace approbe::test
