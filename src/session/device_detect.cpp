#include "device_detect.h"

#include "device_reply.h"
#include "level_value.h"
#include "text.h"

namespace approbe::session {

const DeviceType* LoginPromptOf(const std::vector<const DeviceType*>& types, std::string_view line, bool password)
{
    const DeviceType* best = nullptr;
    std::size_t bestWeight = 0;
    for (const DeviceType* t : types) {
        for (const std::string& p : password ? t->passwordPrompts : t->loginPrompts) {
            if (MatchPattern(p, line) && (!best || PatternWeight(p) > bestWeight)) {
                best = t;
                bestWeight = PatternWeight(p);
            }
        }
    }
    return best;
}

DeviceDetector::DeviceDetector(std::vector<const DeviceType*> types, const DeviceType& fallback)
    : m_types(std::move(types)), m_fallback(fallback)
{
}

DetectVerdict DeviceDetector::AtPrompt(std::string_view prompt)
{
    // Claims are of the prompt as the user sees it: colours and terminal modes are no part of it.
    const std::string shown = Trim(WithoutEscapes(prompt));
    const DeviceType* best = nullptr;
    const std::string* bestClaim = nullptr;
    bool tie = false;
    for (const DeviceType* t : m_types) {
        for (const std::string& claim : t->claims) {
            if (!MatchPattern(claim, shown))
                continue;
            if (!best || PatternWeight(claim) > PatternWeight(*bestClaim)) {
                tie = false;
                best = t;
                bestClaim = &claim;
            } else if (t != best && PatternWeight(claim) == PatternWeight(*bestClaim)) {
                tie = true;
            }
        }
    }
    if (best && !tie)
        return Taken(*best, "the prompt '" + shown + "' is " + best->name + "'s (" + *bestClaim + ")");
    m_probed.clear();
    m_probe.clear();
    for (const DeviceType* t : m_types) {
        if (t->probe.empty())
            continue;
        m_probed.push_back(t);
        m_probe += (m_probe.empty() ? "" : "; ") + t->probe;
    }
    if (m_probed.empty())
        return Taken(m_fallback, "the prompt '" + shown + "' tells no type and none has a probe");
    return {nullptr, "the prompt '" + shown + "' tells no type: probing", m_probe};
}

DetectVerdict DeviceDetector::ProbeReplied(std::string_view reply) const
{
    const std::vector<std::string> lines = ReplyLines(m_fallback, reply, {m_probe});
    for (const DeviceType* t : m_probed) {
        for (const std::string& line : lines) {
            // As on screen, like the prompts' claims: a shell may send escapes after its prompt.
            const std::string shown = Trim(WithoutEscapes(line));
            for (const std::string& pattern : t->probeReplies) {
                if (MatchPattern(pattern, shown))
                    return Taken(*t, "the probe's reply '" + shown + "' is " + t->name + "'s (" + pattern + ")");
            }
        }
    }
    return Taken(m_fallback, "the probe's reply claims no type");
}

DetectVerdict DeviceDetector::Untold() const
{
    return Taken(m_fallback, "the shell showed no prompt to tell its type by");
}

} // namespace approbe::session
