#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "device_catalog.h"
#include "device_detect.h"

// A session's device type as its engine uses it: the one chosen, or the one told automatically
// from the shell's prompt or one probe's reply; until then the default reads what comes.
namespace approbe::session {

class DeviceShell {
public:
    enum class Stage {
        Untold,  // the shell has not told its type yet
        Probing, // the probe is out
        Told,
    };

    void Begin(const DeviceChoice& choice);

    Stage stage() const { return m_stage; }
    // The type taken; before that, the one chosen, else the default: what lines are read by.
    const DeviceType& type() const { return m_taken ? *m_taken : m_chosen ? *m_chosen : *m_fallback; }
    // The type chosen by name, if one was (not automatic).
    const DeviceType* chosen() const { return m_chosen; }

    // The type of a login (or password) prompt among those the session may meet; null if the line
    // is none. Lines by the thousand ask MayBeLoginPrompt first.
    const DeviceType* LoginPromptOf(const char* line, bool password) const;
    // False when the line can be no login or password prompt: the first test, cheap.
    bool MayBeLoginPrompt(const char* line) const;
    // The shell's prompt waiting at the end of text (see ShellPrompt), by the type's own patterns too.
    std::string PromptWaiting(const std::string& text) const;
    // The key that answers a pager's prompt waiting at the end of text; null if it is none.
    const std::string* PagerKey(const std::string& text) const;

    // Automatic detection (see DeviceDetector).
    DetectVerdict AtPrompt(const std::string& prompt);
    DetectVerdict ProbeReplied(const std::string& reply) const { return m_detector->ProbeReplied(reply); }
    DetectVerdict Untold() const { return m_detector->Untold(); }
    void Probing() { m_stage = Stage::Probing; }

    // The type is known. A session takes its own copy only while its interface is still to be
    // found: thousands of sessions share a type otherwise.
    void Take(const DeviceType& type);
    // The interface found for the type taken.
    void SetInterface(std::string name);

private:
    // Whose login prompts count from now on.
    void Ask(std::vector<const DeviceType*> types);

    std::shared_ptr<const std::vector<DeviceType>> m_user;
    std::vector<const DeviceType*> m_candidates; // those the session may meet, in detection order
    std::vector<const DeviceType*> m_asked;      // whose login prompts count: the candidates, then the type taken
    // The last characters the asked login and password prompts can end with (see Ask); empty when
    // one of them may end with any.
    std::string m_promptEnds;
    std::vector<std::string> m_prompts;          // the candidates' shell prompt patterns, until a type is taken
    const DeviceType* m_chosen = nullptr;
    const DeviceType* m_fallback = nullptr;
    std::optional<DeviceDetector> m_detector;
    const DeviceType* m_taken = nullptr;
    std::unique_ptr<DeviceType> m_own; // the copy Take makes, when it makes one: most sessions need none
    Stage m_stage = Stage::Untold;
};

} // namespace approbe::session
