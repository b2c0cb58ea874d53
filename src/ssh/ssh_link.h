#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "ssh_module.h"

struct ssh_session_struct;
struct ssh_channel_struct;

// One SSH connection to an access point's shell over libssh's non-blocking API (see ISshLink). It
// never reads the user's ssh configuration.
namespace approbe::ssh {

using LinkOptions = session::SshLinkOptions;

class SshLink final : public session::ISshLink {
public:
    // fd: a connected TCP socket. The link works on a duplicate, which libssh closes; fd stays the
    // caller's.
    SshLink(int fd, LinkOptions options);
    ~SshLink() override;
    SshLink(const SshLink&) = delete;
    SshLink& operator=(const SshLink&) = delete;

    Step Advance() override;
    const std::string& keyType() const override { return m_keyType; }
    const std::string& keyBlob() const override { return m_keyBlob; }
    void TrustHostKey() override;
    ReadResult Read(std::string& out) override;
    bool Write(std::string_view data) override;
    void Close() override;
    bool WantsWrite() const override;
    void FlushOutput() override;
    std::string error() const override;

private:
    // No more input for the shell.
    void SendEof();
    enum class Phase { Connect, KeyCheck, AuthNone, AuthAgent, AuthPassword, AuthKbdint, ChannelOpen, Pty, Shell, Open, Closed };
    // What an authentication call's result means: a step to return, or nothing to go on.
    std::optional<Step> Auth(int rc, Phase next);
    // The same for a channel request: on success the phase becomes next.
    std::optional<Step> Request(int rc, Phase next);
    // Moves past the methods the server does not offer; false when none is left.
    bool SkipUnoffered();

    LinkOptions m_options;
    ssh_session_struct* m_session = nullptr;
    // The socket handed to libssh (a duplicate of the caller's) and what it is, so that the
    // destructor can close it when libssh did not, without touching a number reused since.
    int m_socket = -1;
    unsigned long m_socketDev = 0, m_socketIno = 0;
    ssh_channel_struct* m_channel = nullptr;
    Phase m_phase = Phase::Connect;
    int m_methods = 0;
    bool m_passwordTried = false;
    bool m_eofSent = false;
    int m_kbdintRounds = 0;
    std::string m_keyType, m_keyBlob;
    std::string m_error;
};

} // namespace approbe::ssh
