// The entry point of lib/approbe/libapprobe-ssh.so, the only symbol it exports (see ssh_module.h).
#include "linked_module.h"

extern "C" __attribute__((visibility("default"))) const approbe::session::ISshModule* approbe_ssh_module()
{
    return &approbe::ssh::Module();
}
