#pragma once

#include "transport.h"

// Telnet: the engine's telnet layer over the TCP connection itself.
namespace approbe::session {

class TcpTransport final : public ITransport {
public:
    explicit TcpTransport(const SessionSetup& setup) : m_setup(setup) {}

    SessionParams Shell() const override { return {m_setup.host, m_setup.user, m_setup.password}; }
    void Connected(int fd, ITransportEvents& events) override;
    void OnReady(std::uint32_t epollEvents) override;
    void Write(const std::string& bytes) override;
    void Flush() override;
    bool failed() const override { return m_overflow; }
    Shut ShutSending() override;
    bool asking() const override { return false; }
    void AnswerHostKey(HostKeyAnswer) override {}
    Leftover Close() override;

private:
    void Read();

    const SessionSetup& m_setup;
    int m_fd = -1; // -1 once closed
    ITransportEvents* m_events = nullptr;
    std::string m_unsent;
    bool m_writeWait = false, m_overflow = false, m_writeShut = false, m_peerClosed = false;
};

} // namespace approbe::session
