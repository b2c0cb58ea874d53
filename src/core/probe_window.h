#pragma once

#include <string>

// The window operations the logic relies on. Every call has taken effect on screen before it
// returns, also when made from the session's worker thread.
namespace approbe {

struct Rgb {
    int r = 0, g = 0, b = 0;
    friend bool operator==(const Rgb&, const Rgb&) = default;
};

// The four settings texts as the edits hold them.
struct EditTexts {
    std::string host, port, user, password;
    friend bool operator==(const EditTexts&, const EditTexts&) = default;
};

class IProbeWindow {
public:
    virtual ~IProbeWindow() = default;

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

    // The repeating 1000 ms poll timer; each tick reaches the logic's OnTimer on the UI thread.
    virtual unsigned StartTimer() = 0;
    virtual void StopTimer(unsigned id) = 0;

    // Raw access to the four settings edits for the field exchange; the exchange rules live with
    // the logic. PushEdits also limits typing in the port edit to portLimit characters.
    virtual void PushEdits(const EditTexts& texts, int portLimit) = 0;
    // False when the window can no longer be read (it is closing); out is then untouched.
    virtual bool PullEdits(EditTexts& out) = 0;
    // The message shown when a field is longer than its limit (modal in a real window).
    virtual void ShowTooLong(int limit) = 0;
};

} // namespace approbe
