#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "probe_window.h"

namespace approbe::test {

// A window that records every operation as one line of text, in order, from any thread.
//   field <id> <text> | log <text> | clearlog | caption <text> | connect <0|1> | pause <text>
//   range <id> <lo> <hi> | pos <id> <pos> | colour <id> <r>,<g>,<b> | timer start | timer stop
//   push | pull | toolong <limit>
class FakeWindow : public IProbeWindow {
public:
    void SetField(int id, const std::string& text) override;
    void AppendLog(const std::string& line) override;
    void ClearLog() override;
    void SetCaption(const std::string& caption) override;
    void EnableConnect(bool enable) override;
    std::string PauseCaption() override;
    void SetPauseCaption(const std::string& caption) override;
    void SetBarRange(int id, int lo, int hi) override;
    void SetBarPos(int id, int pos) override;
    void SetBarColour(int id, Rgb colour) override;
    unsigned StartTimer() override;
    void StopTimer(unsigned id) override;
    void PushEdits(const EditTexts& texts, int portLimit) override;
    bool PullEdits(EditTexts& out) override;
    void ShowTooLong(int limit) override;

    // Runs f as the UI thread would: never at the same time as a window operation. The session's
    // window calls are synchronous with the UI thread, and this keeps that order for the test thread.
    template <typename F> void onUiThread(F&& f)
    {
        std::lock_guard lock(m_uiMutex);
        f();
    }

    // Off: field, bar position and bar colour events are not kept in events(), only the latest
    // of each control (see latest), so that floods and soaks run in bounded memory.
    void keepValueEvents(bool keep);
    // The text after "field <id> ", "pos <id> " or "colour <id> " of the latest such event, or
    // "" if none; key is e.g. "field 1002".
    std::string latest(const std::string& key);

    // What the user has typed.
    void setEdits(const EditTexts& texts);
    EditTexts edits();

    std::vector<std::string> events();
    // Only the events that start with prefix, e.g. "log " or "caption ".
    std::vector<std::string> events(const std::string& prefix);
    void clearEvents();
    bool connectEnabled();
    bool timerRunning();
    std::string caption();
    // Waits until pred holds on the events recorded so far.
    bool waitFor(const std::function<bool(const std::vector<std::string>&)>& pred,
                 std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // Waits for an event equal to line.
    bool waitForEvent(const std::string& line, std::chrono::milliseconds timeout = std::chrono::seconds(10));

private:
    void Record(std::string line);

    std::recursive_mutex m_uiMutex;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<std::string> m_events;
    std::map<std::string, std::string> m_latest;
    bool m_keepValues = true;
    EditTexts m_edits;
    std::string m_pause = "Pause";
    std::string m_caption;
    bool m_connectEnabled = true;
    bool m_timerRunning = false;
};

} // namespace approbe::test
