#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// The sockets layer the session runs on: a small, WinSock-shaped set of calls, so that tests can
// put a fake behind it and make any step fail.
namespace approbe {

using Socket = int;
inline constexpr Socket kInvalidSocket = -1;
inline constexpr std::uint32_t kInaddrNone = 0xFFFFFFFFu;
inline constexpr std::uint16_t kAfInet = 2;

// IPv4 socket address; port and address in network byte order.
struct SockAddrIn {
    std::uint16_t family = 0;
    std::uint16_t port = 0;
    std::uint32_t addr = 0;
};

enum class ShutdownHow { Receive, Send, Both };

// Recv results besides a byte count, 0 (closed by the peer) and -1 (error).
inline constexpr long kRecvTimedOut = -2;
inline constexpr long kRecvWoken = -3;
inline constexpr int kNoTimeout = -1;

class ISockets {
public:
    virtual ~ISockets() = default;

    // Starts the layer; version receives the version in use (major in the low byte). 0 on success.
    virtual int Startup(std::uint16_t requested, std::uint16_t& version) = 0;
    virtual int Cleanup() = 0;
    // The calling thread's last error code.
    virtual int LastError() = 0;

    virtual Socket CreateTcpSocket() = 0;
    // A dotted IPv4 address as inet_addr reads it, in network byte order; kInaddrNone if it is none.
    virtual std::uint32_t InetAddr(const std::string& text) = 0;
    // IPv4 name lookup; false if the name has no IPv4 address or the layer was aborted.
    virtual bool LookupHost(const std::string& name, std::uint16_t& family, std::uint32_t& addr) = 0;
    // 0 on success, -1 on failure (refused, unreachable, timed out, aborted).
    virtual int Connect(Socket s, const SockAddrIn& to) = 0;
    // Waits for data up to timeoutMs (kNoTimeout: no limit). Returns the byte count, 0 when the
    // peer closed, -1 on error or abort, kRecvTimedOut, or kRecvWoken after WakeReceiver.
    virtual long Recv(Socket s, char* buf, std::size_t len, int timeoutMs) = 0;
    // Waits until s is readable, or also writable when write is set, up to timeoutMs: for a
    // protocol library that reads and writes the descriptor itself. Returns 1 when ready, and
    // otherwise as Recv: -1 on error or abort, kRecvTimedOut, kRecvWoken.
    virtual long WaitReady(Socket s, bool write, int timeoutMs) = 0;
    // The descriptor behind s, for such a library; -1 if s is not open.
    virtual int NativeHandle(Socket s) = 0;
    // Never blocks: what the connection cannot take now fails.
    virtual long Send(Socket s, const char* buf, std::size_t len) = 0;
    // Shutdown and Close act only on a socket that is still open: a stale handle is ignored.
    virtual int Shutdown(Socket s, ShutdownHow how) = 0;
    virtual int Close(Socket s) = 0;

    // Callable from any thread. WakeReceiver makes the current or next Recv or WaitReady return kRecvWoken
    // once. Abort makes every blocking call, now and later, fail at once.
    virtual void WakeReceiver() = 0;
    virtual void Abort() = 0;
};

} // namespace approbe
