#include "device_shell.h"

#include "prompts.h"

namespace approbe::session {

void DeviceShell::Begin(const DeviceChoice& choice)
{
    static const std::vector<DeviceType> kNone;
    m_user = choice.userTypes;
    const std::vector<DeviceType>& user = m_user ? *m_user : kNone;
    m_fallback = FindDeviceType({}, kDefaultDeviceType);
    m_chosen = choice.name == kAutomaticDeviceType ? nullptr : FindDeviceType(user, choice.name);
    if (!m_chosen && choice.name != kAutomaticDeviceType)
        m_chosen = m_fallback; // checked where it was chosen; a name gone since reads as the default
    m_candidates.clear();
    if (m_chosen) {
        m_candidates.push_back(m_chosen);
    } else {
        // The user's types first: one written for a shell is asked before a built-in is.
        for (const auto* list : {&user, &BuiltInDeviceTypes()}) {
            for (const DeviceType& t : *list)
                m_candidates.push_back(&t);
        }
    }
    m_detector.emplace(m_candidates, *m_fallback);
    // Until the type is told, the default's login prompts come first: on a tie it wins, so a shell
    // that has not told its type gets today's answers. A prompt only another built-in has (routeros's
    // "Login:") is answered too, with that type's user-name suffix.
    m_asked = {m_chosen ? m_chosen : m_fallback};
    if (!m_chosen) {
        for (const DeviceType& t : BuiltInDeviceTypes()) {
            if (&t != m_fallback)
                m_asked.push_back(&t);
        }
    }
    m_prompts.clear();
    for (const DeviceType* t : m_candidates)
        m_prompts.insert(m_prompts.end(), t->shellPrompts.begin(), t->shellPrompts.end());
    m_taken.reset();
    m_stage = Stage::Untold;
}

const DeviceType* DeviceShell::LoginPromptOf(const char* line, bool password) const
{
    return session::LoginPromptOf(m_asked, line, password);
}

std::string DeviceShell::PromptWaiting(const std::string& text) const
{
    return ShellPrompt(text.c_str(), m_prompts);
}

const std::string* DeviceShell::PagerKey(const std::string& text) const
{
    if (!m_taken)
        return nullptr;
    for (const PagerPrompt& p : m_taken->pagers) {
        if (MatchPattern(p.pattern, text))
            return &p.key;
    }
    return nullptr;
}

DetectVerdict DeviceShell::AtPrompt(const std::string& prompt)
{
    return m_detector->AtPrompt(prompt);
}

void DeviceShell::Take(const DeviceType& type)
{
    m_taken = type;
    m_stage = Stage::Told;
    m_asked = {&*m_taken};
    m_prompts = m_taken->shellPrompts;
}

} // namespace approbe::session
