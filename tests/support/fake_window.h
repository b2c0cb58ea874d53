#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "probe_window.h"

namespace approbe::test {

// A window that records every operation as one line of text, in order, from any thread.
//   field <id> <text> | log <text> | clearlog | caption <text> | connect <0|1> | pause <text>
//   range <id> <lo> <hi> | pos <id> <pos> | colour <id> <r>,<g>,<b> | stale <0|1>
//   push | pull | toolong <limit>
class FakeWindow : public ui::IProbeWindow {
public:
    // A batch is one step of the UI thread: no test action runs in the middle of it.
    void Apply(const ui::WindowBatch& batch) override
    {
        std::lock_guard ui(m_uiMutex);
        m_inBatch = true;
        ui::IProbeWindow::Apply(batch);
        m_inBatch = false;
        // A click whose line came in this batch lands after it, as it would in the real window.
        if (std::function<void()> hook = std::exchange(m_batchHook, {}))
            hook();
    }
    void SetField(int id, const std::string& text) override { Record("field " + N(id) + " " + text); }
    void AppendLog(const std::string& line) override { Record("log " + line); }
    void ClearLog() override { Record("clearlog"); }
    void SetCaption(const std::string& c) override { Record("caption " + c, [&] { m_caption = c; }); }
    void EnableConnect(bool on) override { Record(on ? "connect 1" : "connect 0", [&] { m_connectEnabled = on; }); }
    std::string PauseCaption() override
    {
        std::lock_guard ui(m_uiMutex);
        return Get(m_pause);
    }
    void SetPauseCaption(const std::string& c) override { Record("pause " + c, [&] { m_pause = c; }); }
    void SetBarRange(int id, int lo, int hi) override { Record("range " + N(id) + " " + N(lo) + " " + N(hi)); }
    void SetBarPos(int id, int pos) override { Record("pos " + N(id) + " " + N(pos)); }
    void SetBarColour(int id, Rgb c) override
    {
        Record("colour " + N(id) + " " + N(c.r) + "," + N(c.g) + "," + N(c.b));
    }
    void SetStale(bool stale) override { Record(stale ? "stale 1" : "stale 0"); }
    void PushEdits(const ui::EditTexts& texts, int) override { Record("push", [&] { m_edits = texts; }); }
    bool PullEdits(ui::EditTexts& out) override
    {
        Record("pull", [&] { out = m_edits; });
        return true;
    }
    void ShowTooLong(int limit) override { Record("toolong " + N(limit)); }
    // "hostkey ask <host> <port> <type> <fingerprint>", then onHostKeyQuestion (if set) answers.
    void AskHostKey(const session::HostKeyQuestion& q) override
    {
        Record("hostkey ask " + q.host + " " + N(q.port) + " " + q.keyType + " " + q.fingerprint);
        std::function<void(const session::HostKeyQuestion&)> answer;
        {
            std::lock_guard lock(m_mutex);
            answer = m_onHostKey;
        }
        if (answer)
            answer(q);
    }
    void WithdrawHostKeyQuestion() override { Record("hostkey withdraw"); }
    // "hostkey changed <host> <fingerprint> <known fingerprint> <file>:<line>"
    void WarnHostKeyChanged(const session::HostKeyWarning& w) override
    {
        Record("hostkey changed " + w.host + " " + w.fingerprint + " " + w.knownFingerprint + " " + w.file + ":" +
               N(w.line));
    }
    void onHostKeyQuestion(std::function<void(const session::HostKeyQuestion&)> answer) { Set(m_onHostKey, answer); }

    // Runs f as the UI thread would: never at the same time as a window operation. The session's
    // window calls are synchronous with the UI thread, and this keeps that order for the test thread.
    template <typename F> void onUiThread(F&& f)
    {
        std::lock_guard lock(m_uiMutex);
        f();
    }

    // Off: field, bar position and bar colour events are not kept in events(), only the latest
    // of each control (see latest), so that floods and soaks run in bounded memory.
    void keepValueEvents(bool keep) { Set(m_keepValues, keep); }
    // The text after "field <id> ", "pos <id> " or "colour <id> " of the latest such event, or
    // "" if none; key is e.g. "field 1002".
    std::string latest(const std::string& key);

    // What the user has typed.
    void setEdits(const ui::EditTexts& texts) { Set(m_edits, texts); }
    ui::EditTexts edits() { return Get(m_edits); }

    std::vector<std::string> events() { return Get(m_events); }
    // Only the events that start with prefix, e.g. "log " or "caption ".
    std::vector<std::string> events(const std::string& prefix);
    void clearEvents() { Set(m_events, {}); }
    bool connectEnabled() { return Get(m_connectEnabled); }
    std::string caption() { return Get(m_caption); }
    // Runs action once, right after the event equal to line is recorded, or after the batch that
    // recorded it, and before the window call returns: a click the UI thread handles between two
    // of the presenter's calls.
    void whenRecorded(const std::string& line, std::function<void()> action)
    {
        std::lock_guard lock(m_mutex);
        m_hookLine = line;
        m_hook = std::move(action);
    }
    // Waits until pred holds on the events recorded so far.
    bool waitFor(const std::function<bool(const std::vector<std::string>&)>& pred,
                 std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // Waits for an event equal to line.
    bool waitForEvent(const std::string& line, std::chrono::milliseconds timeout = std::chrono::seconds(10));

private:
    static std::string N(int n) { return std::to_string(n); }
    // Applies update to the window's state and records line, as one step.
    template <typename F> void Record(std::string line, F update)
    {
        std::lock_guard ui(m_uiMutex);
        std::function<void()> hook;
        {
            std::lock_guard lock(m_mutex);
            update();
            if (m_hook && line == m_hookLine)
                hook = std::exchange(m_hook, {});
            Keep(std::move(line));
        }
        if (hook && m_inBatch)
            m_batchHook = std::move(hook);
        else if (hook)
            hook();
    }
    void Record(std::string line) { Record(std::move(line), [] {}); }
    void Keep(std::string line); // under m_mutex
    template <typename T> T Get(const T& member)
    {
        std::lock_guard lock(m_mutex);
        return member;
    }
    template <typename T> void Set(T& member, const T& value)
    {
        std::lock_guard lock(m_mutex);
        member = value;
    }

    std::recursive_mutex m_uiMutex;
    bool m_inBatch = false;            // under m_uiMutex
    std::function<void()> m_batchHook; // under m_uiMutex: to run once the batch is applied
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<std::string> m_events;
    std::map<std::string, std::string> m_latest;
    bool m_keepValues = true;
    std::string m_hookLine;
    std::function<void()> m_hook;
    std::function<void(const session::HostKeyQuestion&)> m_onHostKey;
    ui::EditTexts m_edits;
    std::string m_pause = "Pause";
    std::string m_caption;
    bool m_connectEnabled = true;
};

} // namespace approbe::test
