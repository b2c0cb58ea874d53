#pragma once

#include <atomic>
#include <chrono>
#include <optional>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>

#include "sockets.h"

namespace approbe {

// The sockets layer on POSIX. Handles are never reused, so a late Shutdown or Send from the UI
// thread can never reach a descriptor the system has since handed to someone else. Every blocking
// wait also watches an eventfd, which is how WakeReceiver and Abort reach a blocked worker.
class PosixSockets : public ISockets {
public:
    // The longest a connect may take before it counts as failed, so that a dead address fails in seconds, not minutes.
    static constexpr int kConnectTimeoutMs = 20000;

    explicit PosixSockets(int connectTimeoutMs = kConnectTimeoutMs);
    ~PosixSockets() override;
    PosixSockets(const PosixSockets&) = delete;
    PosixSockets& operator=(const PosixSockets&) = delete;

    int Startup(std::uint16_t requested, std::uint16_t& version) override;
    int Cleanup() override;
    int LastError() override;
    Socket CreateTcpSocket() override;
    std::uint32_t InetAddr(const std::string& text) override;
    bool LookupHost(const std::string& name, std::uint16_t& family, std::uint32_t& addr) override;
    int Connect(Socket s, const SockAddrIn& to) override;
    long Recv(Socket s, char* buf, std::size_t len, int timeoutMs) override;
    long WaitReady(Socket s, bool write, int timeoutMs) override;
    int NativeHandle(Socket s) override { return FdOf(s); }
    long Send(Socket s, const char* buf, std::size_t len) override;
    int Shutdown(Socket s, ShutdownHow how) override;
    int Close(Socket s) override;
    void WakeReceiver() override;
    void Abort() override;

    // Open sockets, for leak checks.
    std::size_t OpenCount() const;

    struct Lookup;

private:
    int FdOf(Socket s) const;
    using Clock = std::chrono::steady_clock;
    // Waits until fd is ready for events, the eventfd fires, or the deadline (if any) passes.
    enum class Wait { Ready, Woken, Aborted, TimedOut, Failed };
    static std::optional<Clock::time_point> DeadlineAfter(int timeoutMs); // none for kNoTimeout
    Wait WaitFor(int fd, short events, std::optional<Clock::time_point> deadline);

    mutable std::mutex m_mutex;
    std::map<Socket, int> m_fds;
    Socket m_nextHandle = 1;
    int m_wakeFd = -1;
    const int m_connectTimeoutMs;
    std::atomic<bool> m_aborted{false};
    std::shared_ptr<Lookup> m_lookup; // the lookup in flight, so Abort can cut its wait short
};

} // namespace approbe
