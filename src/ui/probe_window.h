#pragma once

#include <string>
#include <vector>

#include "bars.h"
#include "host_key.h"

// The window operations the logic relies on, all called on the window's thread (the session's
// worker reaches the window only through the presenter's handoff). Every call has taken effect on
// screen before it returns.
namespace approbe::ui {


// The four settings texts as the edits hold them.
struct EditTexts {
    std::string host, port, user, password;
    friend bool operator==(const EditTexts&, const EditTexts&) = default;
};

class IProbeWindow;

// One window operation, kept for later: a block's effects travel to the window as one batch.
struct WindowOp {
    enum class Kind { Field, Log, ClearLog, Caption, EnableConnect, PauseCaption, BarRange, BarPos, BarColour,
                      Stale };
    Kind kind;
    int id = 0;    // control id, or the flag of EnableConnect
    int a = 0, b = 0; // range bounds, or the bar position in a
    Rgb colour{};
    std::string text;
};

// The window operations of one step, in the order they are to take effect.
class WindowBatch {
public:
    void SetField(int id, std::string text) { Add(WindowOp::Kind::Field, id, 0, 0, {}, std::move(text)); }
    void AppendLog(std::string line) { Add(WindowOp::Kind::Log, 0, 0, 0, {}, std::move(line)); }
    void ClearLog() { Add(WindowOp::Kind::ClearLog); }
    void SetCaption(std::string caption) { Add(WindowOp::Kind::Caption, 0, 0, 0, {}, std::move(caption)); }
    void EnableConnect(bool enable) { Add(WindowOp::Kind::EnableConnect, enable ? 1 : 0); }
    void SetPauseCaption(std::string caption) { Add(WindowOp::Kind::PauseCaption, 0, 0, 0, {}, std::move(caption)); }
    void SetBarRange(int id, int lo, int hi) { Add(WindowOp::Kind::BarRange, id, lo, hi); }
    void SetBarPos(int id, int pos) { Add(WindowOp::Kind::BarPos, id, pos); }
    void SetBarColour(int id, Rgb colour) { Add(WindowOp::Kind::BarColour, id, 0, 0, colour); }
    void SetStale(bool stale) { Add(WindowOp::Kind::Stale, stale ? 1 : 0); }

    bool empty() const { return m_ops.empty(); }
    const std::vector<WindowOp>& ops() const { return m_ops; }
    void clear() { m_ops.clear(); }

private:
    void Add(WindowOp::Kind kind, int id = 0, int a = 0, int b = 0, Rgb colour = {}, std::string text = {})
    {
        m_ops.push_back(WindowOp{kind, id, a, b, colour, std::move(text)});
    }
    std::vector<WindowOp> m_ops;
};

class IProbeWindow {
public:
    virtual ~IProbeWindow() = default;

    // Carries out a batch in its order, as one step: a window that can, applies it in one go and
    // paints once. This default makes the single calls.
    virtual void Apply(const WindowBatch& batch);

    // Value fields (read-only edits), by control id; repainted at once.
    virtual void SetField(int id, const std::string& text) = 0;

    virtual void AppendLog(const std::string& line) = 0;
    virtual void ClearLog() = 0;
    virtual void SetCaption(const std::string& caption) = 0;
    virtual void EnableConnect(bool enable) = 0;

    virtual std::string PauseCaption() = 0;
    // Sets the Pause button's caption and repaints it at once.
    virtual void SetPauseCaption(const std::string& caption) = 0;

    // Progress bars, by control id. A position outside the range shows empty (below) or full (above).
    virtual void SetBarRange(int id, int lo, int hi) = 0;
    virtual void SetBarPos(int id, int pos) = 0;
    virtual void SetBarColour(int id, Rgb colour) = 0;

    // The values shown are old (polls unanswered, or the session being started again): dimmed.
    virtual void SetStale(bool stale) = 0;

    // Raw access to the four settings edits for the field exchange; the exchange rules live with
    // the logic. PushEdits also limits typing in the port edit to portLimit characters.
    virtual void PushEdits(const EditTexts& texts, int portLimit) = 0;
    // False when the window can no longer be read (it is closing); out is then untouched.
    virtual bool PullEdits(EditTexts& out) = 0;
    // The message shown when a field is longer than its limit (modal in a real window).
    virtual void ShowTooLong(int limit) = 0;

    // Shows the question and returns without waiting for the answer, which the user gives
    // through the logic's AnswerHostKey. Withdraw closes it when the session stops waiting.
    virtual void AskHostKey(const session::HostKeyQuestion& question) = 0;
    virtual void WithdrawHostKeyQuestion() = 0;
    // A known access point showed another key: a warning the user must close, not a question.
    virtual void WarnHostKeyChanged(const session::HostKeyWarning& warning) = 0;
};

} // namespace approbe::ui
