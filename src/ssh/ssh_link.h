#pragma once

#include <optional>
#include <string>
#include <string_view>

struct ssh_session_struct;
struct ssh_channel_struct;

// One SSH connection to an access point's shell over libssh's non-blocking API, so that one
// thread can drive it from its own wait (the dialog's worker) or many from one event loop (the
// poller). It never blocks and never reads the user's ssh configuration. Not thread-safe: every
// call for a link is made on the one thread that drives it.
namespace approbe::ssh {

struct LinkOptions {
    std::string host; // the name the access point is known by, without the ssh:// prefix
    int port = 22;
    std::string user, password;
};

class SshLink {
public:
    enum class Step {
        Working,      // waiting for the access point: wait for the socket, then Advance again
        HostKeyCheck, // the access point showed its key: check it, then TrustHostKey or drop the link
        Open,         // the shell is running
        Rejected,     // every way of logging in was refused
        Failed,       // see error()
    };
    enum class ReadResult { Data, Nothing, Ended, Failed };

    // fd: a connected TCP socket. The link works on a duplicate, which libssh closes; fd stays the
    // caller's.
    SshLink(int fd, LinkOptions options);
    ~SshLink();
    SshLink(const SshLink&) = delete;
    SshLink& operator=(const SshLink&) = delete;

    // Goes as far as it can without blocking.
    Step Advance();
    // The access point's host key, once Advance has said HostKeyCheck.
    const std::string& keyType() const { return m_keyType; }
    const std::string& keyBlob() const { return m_keyBlob; }
    void TrustHostKey();

    // Once Open: appends what the shell sent to out.
    ReadResult Read(std::string& out);
    // Once Open; false if the link failed.
    bool Write(std::string_view data);
    // Closes the channel and says goodbye, without waiting for the access point.
    void Close();

    // libssh has output it could not hand to the socket yet: wait for writability too.
    bool WantsWrite() const;
    // Hands pending output to the socket as far as it takes it.
    void FlushOutput();
    std::string error() const;

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
