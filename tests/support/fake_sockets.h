#pragma once

#include <atomic>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "posix_sockets.h"

namespace approbe::test {

// The real POSIX layer with knobs to make each start-up step fail, a record of every send, and
// optionally received blocks served from a list instead of the network (exact block boundaries).
class FakeSockets : public ISockets {
public:
    explicit FakeSockets(int connectTimeoutMs = PosixSockets::kConnectTimeoutMs) : m_real(connectTimeoutMs) {}

    // Start-up: a non-zero result fails it; version is what it reports.
    int startupResult = 0;
    std::uint16_t version = 0x0101;
    std::optional<int> createError; // CreateTcpSocket fails with this error
    // When set, Connect succeeds without a network and Recv serves these blocks, then 0.
    std::optional<std::deque<std::string>> blocks;
    // When set, name lookups never reach the resolver (nor DNS): a name listed resolves to its
    // IPv4 address (network order); any other, like a name with only IPv6 addresses, has none.
    std::optional<std::map<std::string, std::uint32_t>> hosts;

    std::vector<std::string> lookups() { return Copy(m_lookups); } // names looked up so far
    std::vector<std::string> sends() { return Copy(m_sends); }
    std::string sentText(); // all sends concatenated
    void clearSends() { std::lock_guard lock(m_mutex); m_sends.clear(); }
    int startups() const { return m_startups; }
    int cleanups() const { return m_cleanups; }
    std::size_t openSockets() const { return m_real.OpenCount(); }

    int Startup(std::uint16_t requested, std::uint16_t& ver) override;
    int Cleanup() override { ++m_cleanups; return m_real.Cleanup(); }
    int LastError() override { return createError ? *createError : m_real.LastError(); }
    Socket CreateTcpSocket() override { return createError ? kInvalidSocket : m_real.CreateTcpSocket(); }
    std::uint32_t InetAddr(const std::string& text) override { return m_real.InetAddr(text); }
    bool LookupHost(const std::string& name, std::uint16_t& family, std::uint32_t& addr) override;
    int Connect(Socket s, const SockAddrIn& to) override { return blocks ? 0 : m_real.Connect(s, to); }
    long Recv(Socket s, char* buf, std::size_t len, int timeoutMs) override;
    long WaitReady(Socket s, bool write, int timeoutMs) override { return m_real.WaitReady(s, write, timeoutMs); }
    int NativeHandle(Socket s) override { return m_real.NativeHandle(s); }
    long Send(Socket s, const char* buf, std::size_t len) override;
    int Shutdown(Socket s, ShutdownHow how) override { return m_real.Shutdown(s, how); }
    int Close(Socket s) override { return m_real.Close(s); }
    void WakeReceiver() override { m_real.WakeReceiver(); }
    void Abort() override { m_real.Abort(); }

private:
    std::vector<std::string> Copy(const std::vector<std::string>& v)
    {
        std::lock_guard lock(m_mutex);
        return v;
    }

    PosixSockets m_real;
    std::mutex m_mutex;
    std::vector<std::string> m_sends;
    std::vector<std::string> m_lookups;
    std::atomic<int> m_startups{0};
    std::atomic<int> m_cleanups{0};
};

} // namespace approbe::test
