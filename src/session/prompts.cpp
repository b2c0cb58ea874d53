#include "prompts.h"

#include <algorithm>
#include <cstring>

#include "device_type.h"
#include "level_value.h"

namespace approbe::session {
namespace {

// Longer than any prompt; a piece of a reply cut at a blank is usually longer.
constexpr std::size_t kMaxShellPrompt = 64;

} // namespace

bool HasPrompt(const char* text, const char* label)
{
    const std::size_t length = std::strlen(label);
    for (const char* at = std::strstr(text, label); at; at = std::strstr(at + 1, label)) {
        const char* p = at + length;
        while (*p == ' ' || *p == '\t')
            ++p;
        if (*p == '\0' || *p == '\r' || *p == '\n')
            return true;
    }
    return false;
}

LoginPrompt FindLoginPrompt(const char* text)
{
    if (HasPrompt(text, kLoginLabel))
        return LoginPrompt::User;
    return HasPrompt(text, kPasswordLabel) ? LoginPrompt::Password : LoginPrompt::None;
}

std::string ShellPrompt(const char* text, const std::vector<std::string>& patterns)
{
    std::string prompt(text);
    auto trimEnd = [&] {
        while (!prompt.empty() && (prompt.back() == ' ' || prompt.back() == '\t'))
            prompt.pop_back();
    };
    trimEnd();
    // Escape sequences after it are no part of it: busybox's ash asks where the cursor is, a
    // coloured prompt resets its colour.
    for (auto esc = prompt.rfind('\x1b'); esc != std::string::npos && WithoutEscapes(prompt.substr(esc)).empty();
         esc = prompt.rfind('\x1b')) {
        prompt.erase(esc);
        trimEnd();
    }
    auto typed = [&] {
        return std::any_of(patterns.begin(), patterns.end(), [&](const std::string& p) { return MatchPattern(p, prompt); });
    };
    if (prompt.empty() || prompt.size() > kMaxShellPrompt || (!std::strchr(">#$%]", prompt.back()) && !typed()) ||
        FindLoginPrompt(text) != LoginPrompt::None)
        return {};
    for (char c : prompt) {
        // A terminal's escape sequences (ESC) may lead a prompt; other control characters do not.
        if (static_cast<unsigned char>(c) < 0x20 && c != '\x1b')
            return {};
    }
    return prompt;
}

} // namespace approbe::session
