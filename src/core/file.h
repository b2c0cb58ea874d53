#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace approbe {

// The whole file into out; false, with error set to the errno, when it cannot be read. Plain
// read(2) rather than a file stream: the first stream a program opens sets up the C++ locales,
// about 300 kB of the dialog's start-up memory for one small file.
bool ReadFile(const std::string& path, std::string& out, int& error);
// The same, with why as the error's text.
bool ReadFile(const std::string& path, std::string& out, std::string& why);

// Lines as getline gives them (a last line without its end counts, a final line end adds none),
// each without the CR of a CR LF.
std::vector<std::string> SplitLines(std::string_view text);

} // namespace approbe
