#include "linked_module.h"

#include "known_hosts.h"
#include "ssh_link.h"

namespace approbe::ssh {
namespace {

class SshModule final : public session::ISshModule {
public:
    std::unique_ptr<session::ISshLink> NewLink(int fd, session::SshLinkOptions options) const override
    {
        return std::make_unique<SshLink>(fd, std::move(options));
    }
    std::string KnownHostsName(const std::string& host, int port) const override
    {
        return ssh::KnownHostsName(host, port);
    }
    HostKeyVerdict CheckHostKey(const std::string& name, const std::string& type, std::string_view blob) const override
    {
        return ssh::CheckHostKey(ReadKnownHosts(), name, type, blob);
    }
    std::string Sha256Fingerprint(std::string_view blob) const override { return ssh::Sha256Fingerprint(blob); }
    bool SaveHostKey(const std::string& name, const std::string& type, std::string_view blob,
                     std::string& error) const override
    {
        return ssh::SaveHostKey(name, type, blob, error);
    }
    std::string AppKnownHostsPath() const override { return ssh::AppKnownHostsPath(); }
};

} // namespace

const session::ISshModule& Module()
{
    static const SshModule module;
    return module;
}

} // namespace approbe::ssh
