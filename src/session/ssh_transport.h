#pragma once

#include "transport.h"

// SSH: a link from the SSH module over the connected socket, which logs in by itself; the access
// point's host key is checked against the known_hosts files and the session's policy.
namespace approbe::session {

class SshTransport final : public ITransport {
public:
    SshTransport(const HostText& host, int port, const SessionSetup& setup, SshModuleCache& module)
        : m_name(host.name), m_port(port), m_setup(setup), m_module(module)
    {
    }

    SessionParams Shell() const override
    {
        return SessionParams::OverTerminal(m_setup.host, m_setup.user, m_setup.password);
    }
    void Connected(int fd, ITransportEvents& events) override;
    void OnReady(std::uint32_t epollEvents) override;
    void Write(const std::string& bytes) override;
    void Flush() override {} // every Write hands its bytes to the link at once
    bool failed() const override { return m_failed; }
    // A shell on a terminal takes no end of input as its end: nothing is waited for.
    Shut ShutSending() override { return Shut::EndNow; }
    bool asking() const override { return m_asking; }
    void AnswerHostKey(HostKeyAnswer answer) override;
    Leftover Close() override;

private:
    void Advance();
    // The key the access point showed: true to go on at once.
    bool CheckHostKey();
    void Read();
    void Watch();
    void Note(std::string text);

    const std::string m_name;
    const int m_port;
    const SessionSetup& m_setup;
    SshModuleCache& m_module;
    const ISshModule* m_ssh = nullptr;
    ITransportEvents* m_events = nullptr;
    std::unique_ptr<ISshLink> m_link; // null before the start and once closed
    bool m_open = false, m_asking = false, m_failed = false;
};

} // namespace approbe::session
