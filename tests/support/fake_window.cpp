#include "fake_window.h"

#include <algorithm>

namespace approbe::test {

void FakeWindow::Record(std::string line)
{
    std::lock_guard lock(m_mutex);
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

void FakeWindow::keepValueEvents(bool keep)
{
    std::lock_guard lock(m_mutex);
    m_keepValues = keep;
}

std::string FakeWindow::latest(const std::string& key)
{
    std::lock_guard lock(m_mutex);
    const auto it = m_latest.find(key);
    return it == m_latest.end() ? std::string() : it->second;
}

void FakeWindow::SetField(int id, const std::string& text)
{
    std::lock_guard ui(m_uiMutex);
    Record("field " + std::to_string(id) + " " + text);
}

void FakeWindow::AppendLog(const std::string& line)
{
    std::lock_guard ui(m_uiMutex);
    Record("log " + line);
}

void FakeWindow::ClearLog()
{
    std::lock_guard ui(m_uiMutex);
    Record("clearlog");
}

void FakeWindow::SetCaption(const std::string& caption)
{
    std::lock_guard ui(m_uiMutex);
    {
        std::lock_guard lock(m_mutex);
        m_caption = caption;
    }
    Record("caption " + caption);
}

void FakeWindow::EnableConnect(bool enable)
{
    std::lock_guard ui(m_uiMutex);
    {
        std::lock_guard lock(m_mutex);
        m_connectEnabled = enable;
    }
    Record(enable ? "connect 1" : "connect 0");
}

std::string FakeWindow::PauseCaption()
{
    std::lock_guard ui(m_uiMutex);
    std::lock_guard lock(m_mutex);
    return m_pause;
}

void FakeWindow::SetPauseCaption(const std::string& caption)
{
    std::lock_guard ui(m_uiMutex);
    {
        std::lock_guard lock(m_mutex);
        m_pause = caption;
    }
    Record("pause " + caption);
}

void FakeWindow::SetBarRange(int id, int lo, int hi)
{
    std::lock_guard ui(m_uiMutex);
    Record("range " + std::to_string(id) + " " + std::to_string(lo) + " " + std::to_string(hi));
}

void FakeWindow::SetBarPos(int id, int pos)
{
    std::lock_guard ui(m_uiMutex);
    Record("pos " + std::to_string(id) + " " + std::to_string(pos));
}

void FakeWindow::SetBarColour(int id, Rgb c)
{
    std::lock_guard ui(m_uiMutex);
    Record("colour " + std::to_string(id) + " " + std::to_string(c.r) + "," + std::to_string(c.g) + "," +
           std::to_string(c.b));
}

unsigned FakeWindow::StartTimer()
{
    std::lock_guard ui(m_uiMutex);
    {
        std::lock_guard lock(m_mutex);
        m_timerRunning = true;
    }
    Record("timer start");
    return 1;
}

void FakeWindow::StopTimer(unsigned)
{
    std::lock_guard ui(m_uiMutex);
    {
        std::lock_guard lock(m_mutex);
        m_timerRunning = false;
    }
    Record("timer stop");
}

void FakeWindow::PushEdits(const EditTexts& texts, int)
{
    std::lock_guard ui(m_uiMutex);
    {
        std::lock_guard lock(m_mutex);
        m_edits = texts;
    }
    Record("push");
}

bool FakeWindow::PullEdits(EditTexts& out)
{
    std::lock_guard ui(m_uiMutex);
    {
        std::lock_guard lock(m_mutex);
        out = m_edits;
    }
    Record("pull");
    return true;
}

void FakeWindow::ShowTooLong(int limit)
{
    std::lock_guard ui(m_uiMutex);
    Record("toolong " + std::to_string(limit));
}

void FakeWindow::setEdits(const EditTexts& texts)
{
    std::lock_guard lock(m_mutex);
    m_edits = texts;
}

EditTexts FakeWindow::edits()
{
    std::lock_guard lock(m_mutex);
    return m_edits;
}

std::vector<std::string> FakeWindow::events()
{
    std::lock_guard lock(m_mutex);
    return m_events;
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

void FakeWindow::clearEvents()
{
    std::lock_guard lock(m_mutex);
    m_events.clear();
}

bool FakeWindow::connectEnabled()
{
    std::lock_guard lock(m_mutex);
    return m_connectEnabled;
}

bool FakeWindow::timerRunning()
{
    std::lock_guard lock(m_mutex);
    return m_timerRunning;
}

std::string FakeWindow::caption()
{
    std::lock_guard lock(m_mutex);
    return m_caption;
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
