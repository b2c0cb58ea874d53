#pragma once

namespace approbe {

// True if text holds label where it waits for input: nothing but blanks follows it up to the end
// of its line (CR or LF) or of the text. "ap1 login: " is a login prompt; "Last login: Tue ..."
// and "ap1 login: get station" (a prompt that has already taken typed-ahead input) are not.
// Case-sensitive; text ends at its zero.
bool HasPrompt(const char* text, const char* label);

} // namespace approbe
