#include "transport.h"

#include "ssh_transport.h"
#include "tcp_transport.h"

namespace approbe::session {

std::unique_ptr<ITransport> MakeTransport(const HostText& host, int port, const SessionSetup& setup,
                                          SshModuleCache& ssh)
{
    if (host.transport == Transport::Ssh)
        return std::make_unique<SshTransport>(host, port, setup, ssh);
    return std::make_unique<TcpTransport>(setup);
}

} // namespace approbe::session
