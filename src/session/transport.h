#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "events.h"
#include "host.h"
#include "session_engine.h"
#include "setup.h"
#include "ssh_module.h"

// How the loop drives one attempt of a session over a connected socket: TCP with the telnet layer,
// or SSH. The loop connects, watches the socket and keeps every deadline; the transport does what
// its protocol asks and tells the session what came of it.
namespace approbe::session {

// What a transport tells its session; on the loop's thread, from within the transport's calls.
class ITransportEvents {
public:
    // Wait for these epoll events on the session's socket.
    virtual void WatchSocket(std::uint32_t events) = 0;
    virtual void Received(std::string_view bytes) = 0;
    // The transport logged in by itself and the shell is open.
    virtual void LoggedIn() = 0;
    virtual void LoginRejected() = 0;
    virtual void HostKeyRefused(const std::string& status) = 0;
    // The connection ended (PeerClosed) or failed (ReceiveFailed).
    virtual void Lost(SessionEnd why) = 0;
    virtual void Tell(SessionEvent event) = 0;

protected:
    ~ITransportEvents() = default;
};

// What the connection is once the session is over.
struct Leftover {
    bool drain = false;  // the access point is given its moment to close first (Farewells)
    std::string unsent;  // the farewell still to go out
    bool shut = false;   // our sending side is shut already
};

class ITransport {
public:
    enum class Shut {
        Waiting, // our sending side is shut: the access point closes within Disconnect's grace
        Failed,  // it could not be shut: the session goes on
        EndNow,  // this transport has no such wait: the session ends now
    };

    virtual ~ITransport() = default;
    // The engine's parameters for a shell over this transport: its line ends and telnet layer.
    virtual SessionParams Shell() const = 0;
    // The socket is connected and watched for input.
    virtual void Connected(int fd, ITransportEvents& events) = 0;
    virtual void OnReady(std::uint32_t epollEvents) = 0;
    // One step's bytes: they go out together at Flush, in one segment.
    virtual void Write(const std::string& bytes) = 0;
    virtual void Flush() = 0;
    // What was written could not go out (the access point stopped reading, or the link failed).
    virtual bool failed() const = 0;
    // Disconnect.
    virtual Shut ShutSending() = 0;
    // A question about the access point's key is with the front end (no deadline runs meanwhile).
    virtual bool asking() const = 0;
    virtual void AnswerHostKey(HostKeyAnswer answer) = 0;
    // The session is over: the transport lets go of the socket, which stays the caller's.
    virtual Leftover Close() = 0;
};

// SSH as a loop finds it: the first time a session needs it, then kept.
class SshModuleCache {
public:
    explicit SshModuleCache(SshModuleSource source) : m_source(source) {}
    // Null, with error set, when there is none.
    const ISshModule* Get(std::string& error)
    {
        if (!m_module)
            m_module = m_source(error);
        return m_module;
    }

private:
    const SshModuleSource m_source;
    const ISshModule* m_module = nullptr;
};

// The one place that picks a transport by what the host text names.
std::unique_ptr<ITransport> MakeTransport(const HostText& host, int port, const SessionSetup& setup,
                                          SshModuleCache& ssh);

} // namespace approbe::session
