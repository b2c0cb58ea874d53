#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "device_type.h"

// Automatic detection: a shell's type told from its prompt, else from one harmless probe command.
namespace approbe::session {

struct DetectVerdict {
    const DeviceType* type = nullptr; // the type taken; null while a probe is out
    std::string why;                  // for the log and --probe
    std::string probe;                // the command to send when the prompt could not tell
};

// The type a login (or password) prompt is of: the one whose LoginPrompt (PasswordPrompt) matches
// the line most closely, the first on a tie; null if none does. Its UserSuffix is the one to send.
const DeviceType* LoginPromptOf(const std::vector<const DeviceType*>& types, std::string_view line, bool password);

// types are asked in their order: on a tie the first wins, and fallback is taken when nothing
// claims the shell.
class DeviceDetector {
public:
    DeviceDetector(std::vector<const DeviceType*> types, const DeviceType& fallback);

    // The shell waits at prompt: the type whose Claim matches it as seen (without escape
    // sequences) most closely (the pattern with the most text of its own), else the probe of
    // every type that has one, joined into one command line, else the fallback.
    DetectVerdict AtPrompt(std::string_view prompt);
    // The probe's reply as it came: the first type, in order, with a ProbeReply one of its lines
    // matches, else the fallback.
    DetectVerdict ProbeReplied(std::string_view reply) const;
    // No prompt to tell by (the shell stayed quiet, or shows none): the fallback.
    DetectVerdict Untold() const;

private:
    DetectVerdict Taken(const DeviceType& type, std::string why) const { return {&type, std::move(why), {}}; }

    std::vector<const DeviceType*> m_types;
    const DeviceType& m_fallback;
    std::vector<const DeviceType*> m_probed; // the types the probe asks
    std::string m_probe;
};

} // namespace approbe::session
