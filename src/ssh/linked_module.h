#pragma once

#include <string>

#include "ssh_module.h"

// This library as the session loop's SSH: linked into the poller and the tests, and built as the
// module the dialog loads (module_entry.cpp).
namespace approbe::ssh {

const session::ISshModule& Module();

// As a loop's source of SSH (session::SshModuleSource), for a program that links this library.
inline const session::ISshModule* LinkedModule(std::string&) { return &Module(); }

} // namespace approbe::ssh
