#include "ssh_link.h"

#include <libssh/libssh.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>

#include "known_hosts.h"

namespace approbe::ssh {
namespace {

// A server that keeps asking keyboard-interactive questions is not let go on for ever.
constexpr int kMaxKbdintRounds = 4;

bool AsksForPassword(const char* prompt)
{
    std::string lower = prompt ? prompt : "";
    for (char& c : lower)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return lower.find("password") != std::string::npos || lower.find("passcode") != std::string::npos;
}

} // namespace

SshLink::SshLink(int fd, LinkOptions options) : m_options(std::move(options))
{
    m_session = ssh_new();
    const int copy = fd >= 0 ? ::fcntl(fd, F_DUPFD_CLOEXEC, 0) : -1;
    if (!m_session || copy < 0) {
        if (copy >= 0)
            ::close(copy);
        m_error = "cannot start an SSH session";
        m_phase = Phase::Closed;
        return;
    }
    m_socket = copy;
    if (struct stat st{}; ::fstat(copy, &st) == 0) {
        m_socketDev = st.st_dev;
        m_socketIno = st.st_ino;
    }
    // Replies are a few bytes each: without this they wait for the previous segment's ACK.
    const int one = 1, zero = 0;
    ::setsockopt(copy, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    const socket_t sock = copy;
    const unsigned port = static_cast<unsigned>(m_options.port);
    const long timeoutSeconds = 20;
    ssh_options_set(m_session, SSH_OPTIONS_FD, &sock);
    ssh_options_set(m_session, SSH_OPTIONS_HOST, m_options.host.c_str());
    ssh_options_set(m_session, SSH_OPTIONS_PORT, &port);
    ssh_options_set(m_session, SSH_OPTIONS_USER, m_options.user.c_str());
    ssh_options_set(m_session, SSH_OPTIONS_NODELAY, &one);
    // The user's ssh configuration must not change what approbe does.
    ssh_options_set(m_session, SSH_OPTIONS_PROCESS_CONFIG, &zero);
    ssh_options_set(m_session, SSH_OPTIONS_TIMEOUT, &timeoutSeconds);
    // Key types known for this host are asked for first, as OpenSSH does, so that a host known
    // by one of its keys is not refused for offering another.
    const std::string app = AppKnownHostsPath(), user = UserKnownHostsPath();
    ssh_options_set(m_session, SSH_OPTIONS_KNOWNHOSTS, app.c_str());
    ssh_options_set(m_session, SSH_OPTIONS_GLOBAL_KNOWNHOSTS, user.c_str());
    ssh_set_blocking(m_session, 0);
}

SshLink::~SshLink()
{
    if (m_channel)
        ssh_channel_free(m_channel);
    if (m_session)
        ssh_free(m_session); // closes the duplicate socket once libssh has connected on it
    // A session that ended before that leaves it open: a leak, and an epoll registration that
    // lives on with it.
    if (struct stat st{}; m_socket >= 0 && ::fstat(m_socket, &st) == 0 && st.st_dev == m_socketDev &&
                          st.st_ino == m_socketIno)
        ::close(m_socket);
}

std::string SshLink::error() const
{
    if (!m_error.empty())
        return m_error;
    return m_session ? ssh_get_error(m_session) : "no SSH session";
}

bool SshLink::WantsWrite() const
{
    return m_session && m_phase != Phase::Closed && (ssh_get_poll_flags(m_session) & SSH_WRITE_PENDING) != 0;
}

void SshLink::FlushOutput()
{
    if (m_session && m_phase != Phase::Closed)
        ssh_blocking_flush(m_session, 0);
}

void SshLink::TrustHostKey()
{
    if (m_phase == Phase::KeyCheck)
        m_phase = Phase::AuthNone;
}

std::optional<SshLink::Step> SshLink::Auth(int rc, Phase next)
{
    switch (rc) {
    case SSH_AUTH_SUCCESS: m_phase = Phase::ChannelOpen; return std::nullopt;
    case SSH_AUTH_AGAIN: return Step::Working;
    case SSH_AUTH_ERROR: m_phase = Phase::Closed; return Step::Failed;
    default:
        m_phase = next;
        if (SkipUnoffered())
            return std::nullopt;
        m_phase = Phase::Closed;
        return Step::Rejected;
    }
}

std::optional<SshLink::Step> SshLink::Request(int rc, Phase next)
{
    if (rc == SSH_AGAIN)
        return Step::Working;
    if (rc != SSH_OK) {
        m_phase = Phase::Closed;
        return Step::Failed;
    }
    m_phase = next;
    return std::nullopt;
}

bool SshLink::SkipUnoffered()
{
    const char* agent = std::getenv("SSH_AUTH_SOCK");
    if (m_phase == Phase::AuthAgent && (!(m_methods & SSH_AUTH_METHOD_PUBLICKEY) || !agent || !*agent))
        m_phase = Phase::AuthPassword;
    if (m_phase == Phase::AuthPassword && !(m_methods & SSH_AUTH_METHOD_PASSWORD))
        m_phase = Phase::AuthKbdint;
    // A password the server has just refused is not typed again through another method.
    if (m_phase == Phase::AuthKbdint && (!(m_methods & SSH_AUTH_METHOD_INTERACTIVE) || m_passwordTried))
        return false;
    return m_phase != Phase::Closed;
}

SshLink::Step SshLink::Advance()
{
    for (;;) {
        switch (m_phase) {
        case Phase::Closed: return Step::Failed;
        case Phase::Connect: {
            const int rc = ssh_connect(m_session);
            if (rc == SSH_AGAIN)
                return Step::Working;
            if (rc != SSH_OK) {
                m_phase = Phase::Closed;
                return Step::Failed;
            }
            ssh_key key = nullptr;
            char* b64 = nullptr;
            if (ssh_get_server_publickey(m_session, &key) == SSH_OK && ssh_pki_export_pubkey_base64(key, &b64) == SSH_OK)
                m_keyBlob = DecodeBase64(b64).value_or("");
            ssh_string_free_char(b64);
            ssh_key_free(key);
            m_keyType = BlobKeyType(m_keyBlob);
            if (m_keyType.empty()) {
                m_error = "the access point's host key cannot be read";
                m_phase = Phase::Closed;
                return Step::Failed;
            }
            m_phase = Phase::KeyCheck;
            return Step::HostKeyCheck;
        }
        case Phase::KeyCheck: return Step::HostKeyCheck;
        case Phase::AuthNone: {
            const int rc = ssh_userauth_none(m_session, nullptr);
            if (rc == SSH_AUTH_DENIED || rc == SSH_AUTH_PARTIAL)
                m_methods = ssh_userauth_list(m_session, nullptr);
            if (const auto step = Auth(rc, Phase::AuthAgent))
                return *step;
            continue;
        }
        case Phase::AuthAgent:
            if (const auto step = Auth(ssh_userauth_agent(m_session, nullptr), Phase::AuthPassword))
                return *step;
            continue;
        case Phase::AuthPassword: {
            const int rc = ssh_userauth_password(m_session, nullptr, m_options.password.c_str());
            if (rc != SSH_AUTH_AGAIN)
                m_passwordTried = rc != SSH_AUTH_SUCCESS;
            if (const auto step = Auth(rc, Phase::AuthKbdint))
                return *step;
            continue;
        }
        case Phase::AuthKbdint: {
            const int rc = ssh_userauth_kbdint(m_session, nullptr, nullptr);
            if (rc != SSH_AUTH_INFO) {
                if (const auto step = Auth(rc, Phase::Closed))
                    return *step;
                continue;
            }
            if (++m_kbdintRounds > kMaxKbdintRounds) {
                m_phase = Phase::Closed;
                return Step::Rejected;
            }
            const int n = ssh_userauth_kbdint_getnprompts(m_session);
            for (int i = 0; i < n; ++i) {
                char echo = 0;
                const char* prompt = ssh_userauth_kbdint_getprompt(m_session, static_cast<unsigned>(i), &echo);
                // Only a question for the password gets it; anything else cannot be answered.
                if (echo || !AsksForPassword(prompt)) {
                    m_phase = Phase::Closed;
                    return Step::Rejected;
                }
                ssh_userauth_kbdint_setanswer(m_session, static_cast<unsigned>(i), m_options.password.c_str());
            }
            continue; // the answers go with the next call
        }
        case Phase::ChannelOpen: {
            if (!m_channel && !(m_channel = ssh_channel_new(m_session))) {
                m_phase = Phase::Closed;
                return Step::Failed;
            }
            if (const auto step = Request(ssh_channel_open_session(m_channel), Phase::Pty))
                return *step;
            continue;
        }
        case Phase::Pty:
            if (const auto step = Request(ssh_channel_request_pty_size(m_channel, "vt100", 80, 24), Phase::Shell))
                return *step;
            continue;
        case Phase::Shell:
            if (const auto step = Request(ssh_channel_request_shell(m_channel), Phase::Open))
                return *step;
            continue;
        case Phase::Open: return Step::Open;
        }
    }
}

SshLink::ReadResult SshLink::Read(std::string& out)
{
    if (m_phase != Phase::Open)
        return ReadResult::Failed;
    bool any = false;
    char buf[4096];
    for (;;) {
        const int n = ssh_channel_read_nonblocking(m_channel, buf, sizeof buf, 0);
        if (n > 0) {
            out.append(buf, static_cast<std::size_t>(n));
            any = true;
            continue;
        }
        if (n == SSH_ERROR)
            return any ? ReadResult::Data : ReadResult::Failed;
        if (any)
            return ReadResult::Data;
        return ssh_channel_is_eof(m_channel) || ssh_channel_is_closed(m_channel) ? ReadResult::Ended
                                                                                : ReadResult::Nothing;
    }
}

bool SshLink::Write(std::string_view data)
{
    if (m_phase != Phase::Open || m_eofSent)
        return false;
    return ssh_channel_write(m_channel, data.data(), static_cast<std::uint32_t>(data.size())) == static_cast<int>(data.size());
}

void SshLink::SendEof()
{
    if (m_phase == Phase::Open && !m_eofSent) {
        m_eofSent = true;
        ssh_channel_send_eof(m_channel);
    }
}

void SshLink::Close()
{
    if (!m_session || m_phase == Phase::Closed)
        return;
    if (m_channel && m_phase == Phase::Open) {
        SendEof();
        ssh_channel_close(m_channel);
    }
    // Disconnecting frees the session's channels: ours goes first, so nothing frees it twice.
    if (m_channel)
        ssh_channel_free(m_channel);
    m_channel = nullptr;
    m_phase = Phase::Closed;
    ssh_disconnect(m_session);
}

} // namespace approbe::ssh
