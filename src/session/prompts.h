#pragma once

#include <string>
#include <vector>

namespace approbe::session {

// True if text holds label where it waits for input: nothing but blanks follows it up to the end
// of its line (CR or LF) or of the text. "ap1 login: " is a login prompt; "Last login: Tue ..."
// and "ap1 login: get station" (a prompt that has already taken typed-ahead input) are not.
// Case-sensitive; text ends at its zero.
bool HasPrompt(const char* text, const char* label);

// The login program's two prompts.
inline constexpr const char* kLoginLabel = "login:";
inline constexpr const char* kPasswordLabel = "Password:";
enum class LoginPrompt { None, User, Password };
// Which of them text holds where it waits for input (HasPrompt); the user name's if both.
LoginPrompt FindLoginPrompt(const char* text);

// A shell's prompt as it waits for a command at the end of what came: a short text without
// control characters that ends, blanks aside, in one of > # $ % ] ("AP> ", "root@ap1:~# ",
// "[admin@ap1] > "), and is no login or password prompt. What it is known by afterwards: the
// text without the trailing blanks and escape sequences (a prompt may come back with a command's
// echo after it).
// Empty if text is no such prompt. Text ends at its zero. A device type's own prompt patterns
// (see MatchPattern) may end otherwise ("radio: ").
std::string ShellPrompt(const char* text, const std::vector<std::string>& patterns = {});

} // namespace approbe::session
