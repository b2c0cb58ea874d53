#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "host_key.h"

// What the session loop needs of SSH: a link over a connected socket, and the host keys on file.
// Its one implementation (src/ssh) links libssh and libcrypto, about 2.4 MB of memory and a few
// milliseconds that a program which never goes over SSH should not pay at start-up: the poller
// links it, the dialog loads it from a module (lib/approbe/libapprobe-ssh.so) for its first SSH
// session.
namespace approbe::session {

struct SshLinkOptions {
    std::string host; // the name the access point is known by, without the ssh:// prefix
    int port = 22;
    std::string user, password;
};

// One SSH connection to an access point's shell that never blocks, so that one thread can drive
// it from its own wait or many from one event loop. Every call for a link is made on the one
// thread that drives it.
class ISshLink {
public:
    enum class Step {
        Working,      // waiting for the access point: wait for the socket, then Advance again
        HostKeyCheck, // the access point showed its key: check it, then TrustHostKey or drop the link
        Open,         // the shell is running
        Rejected,     // every way of logging in was refused
        Failed,       // see error()
    };
    enum class ReadResult { Data, Nothing, Ended, Failed };

    virtual ~ISshLink() = default;
    // Goes as far as it can without blocking.
    virtual Step Advance() = 0;
    // The access point's host key, once Advance has said HostKeyCheck.
    virtual const std::string& keyType() const = 0;
    virtual const std::string& keyBlob() const = 0;
    virtual void TrustHostKey() = 0;
    // Once Open: appends what the shell sent to out.
    virtual ReadResult Read(std::string& out) = 0;
    // Once Open; false if the link failed.
    virtual bool Write(std::string_view data) = 0;
    // Closes the channel and says goodbye, without waiting for the access point.
    virtual void Close() = 0;
    // There is output the socket has not taken yet: wait for writability too.
    virtual bool WantsWrite() const = 0;
    // Hands pending output to the socket as far as it takes it.
    virtual void FlushOutput() = 0;
    virtual std::string error() const = 0;
};

// SSH for the loop: links, and the known_hosts files as OpenSSH keeps them (src/ssh/known_hosts.h
// says how). One instance for the program's life; any thread.
class ISshModule {
public:
    // fd: a connected TCP socket. The link works on a duplicate; fd stays the caller's.
    virtual std::unique_ptr<ISshLink> NewLink(int fd, SshLinkOptions options) const = 0;

    // The name a host is filed under.
    virtual std::string KnownHostsName(const std::string& host, int port) const = 0;
    // The key against both files as they are now.
    virtual HostKeyVerdict CheckHostKey(const std::string& name, const std::string& type,
                                        std::string_view blob) const = 0;
    // "SHA256:...", as ssh-keygen -l prints it.
    virtual std::string Sha256Fingerprint(std::string_view blob) const = 0;
    // Adds the key to the file approbe writes; false with error set when it cannot.
    virtual bool SaveHostKey(const std::string& name, const std::string& type, std::string_view blob,
                             std::string& error) const = 0;
    virtual std::string AppKnownHostsPath() const = 0;

protected:
    ~ISshModule() = default;
};

// Where a loop finds SSH the first time a session needs it: null, with error set, when it cannot.
using SshModuleSource = const ISshModule* (*)(std::string& error);

// The module's one entry point.
using SshModuleEntry = const ISshModule* (*)();
inline constexpr const char* kSshModuleSymbol = "approbe_ssh_module";

// The dialog's source: lib/approbe/libapprobe-ssh.so, loaded on first use and kept.
const ISshModule* LoadSshModule(std::string& error);

} // namespace approbe::session
