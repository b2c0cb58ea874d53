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
    std::vector<const DeviceType*> asked = {m_chosen ? m_chosen : m_fallback};
    if (!m_chosen) {
        for (const DeviceType& t : BuiltInDeviceTypes()) {
            if (&t != m_fallback)
                asked.push_back(&t);
        }
    }
    Ask(std::move(asked));
    m_prompts.clear();
    for (const DeviceType* t : m_candidates)
        m_prompts.insert(m_prompts.end(), t->shellPrompts.begin(), t->shellPrompts.end());
    m_taken = nullptr;
    m_own.reset();
    m_stage = Stage::Untold;
}

void DeviceShell::Ask(std::vector<const DeviceType*> types)
{
    m_asked = std::move(types);
    m_promptEnds.clear();
    for (const DeviceType* t : m_asked) {
        for (const auto* patterns : {&t->loginPrompts, &t->passwordPrompts}) {
            for (const std::string& p : *patterns) {
                if (p.empty() || p.back() == '*' || p.back() == '?') {
                    m_promptEnds.clear();
                    return;
                }
                m_promptEnds += p.back();
            }
        }
    }
}

bool DeviceShell::MayBeLoginPrompt(const char* line) const
{
    // Every line of every reply is asked: one that ends otherwise than any prompt can is told
    // apart by its last character (as MatchPattern reads it, blanks and line ends after it aside).
    if (m_promptEnds.empty())
        return true;
    std::string_view text(line);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r' || text.back() == '\n'))
        text.remove_suffix(1);
    return !text.empty() && m_promptEnds.find(text.back()) != std::string::npos;
}

const DeviceType* DeviceShell::LoginPromptOf(const char* line, bool password) const
{
    return session::LoginPromptOf(m_asked, line, password);
}

std::string DeviceShell::PromptWaiting(const std::string& text) const
{
    return ShellPrompt(text.c_str(), m_taken ? m_taken->shellPrompts : m_prompts);
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
    if (type.interface.empty() && !type.interfaceQuery.empty()) {
        m_own = std::make_unique<DeviceType>(type);
        m_taken = m_own.get();
    } else {
        m_own.reset();
        m_taken = &type; // a built-in's, or one of m_user's, which the session holds
    }
    m_stage = Stage::Told;
    Ask({m_taken});
    std::vector<std::string>().swap(m_prompts); // the type's own count from here: no copy a session
}

void DeviceShell::SetInterface(std::string name)
{
    if (!m_own) {
        m_own = std::make_unique<DeviceType>(*m_taken);
        m_taken = m_own.get();
    }
    m_own->interface = std::move(name);
}

} // namespace approbe::session
