#pragma once

#include <string>

// Parts of the program that would cost every start-up their libraries (the aiming tone's audio
// output, SSH) live in modules of their own, in lib/approbe beside the program's bin/ (in the
// build tree as installed), loaded the first time they are needed.
namespace approbe {

// The folder the modules are in, from where the running program is.
std::string ModuleDir();

// Loads ModuleDir()/file unless it is loaded already (a module is never unloaded: what it made
// may outlive any one user) and returns its symbol; null, with error set, when either fails.
// Any thread.
void* ModuleSymbol(const std::string& file, const char* symbol, std::string& error);

} // namespace approbe
