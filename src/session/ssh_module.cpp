#include "ssh_module.h"

#include "module_loader.h"

namespace approbe::session {

const ISshModule* LoadSshModule(std::string& error)
{
    const auto entry = reinterpret_cast<SshModuleEntry>(ModuleSymbol("libapprobe-ssh.so", kSshModuleSymbol, error));
    return entry ? entry() : nullptr;
}

} // namespace approbe::session
