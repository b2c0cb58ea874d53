#include "posix_sockets.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace approbe {
namespace {

thread_local int t_lastError = 0;

int Fail(int error)
{
    t_lastError = error;
    return -1;
}

} // namespace

// getaddrinfo cannot be interrupted, so it runs on a thread of its own that shares only this
// state; a closing program stops waiting for it and lets it finish alone.
struct PosixSockets::Lookup {
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    bool cancelled = false;
    bool found = false;
    std::uint32_t addr = 0;
};

PosixSockets::PosixSockets(int connectTimeoutMs)
    : m_wakeFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)), m_connectTimeoutMs(connectTimeoutMs)
{
}

PosixSockets::~PosixSockets()
{
    for (const auto& [handle, fd] : m_fds)
        ::close(fd);
    if (m_wakeFd >= 0)
        ::close(m_wakeFd);
}

int PosixSockets::Startup(std::uint16_t, std::uint16_t& version)
{
    // Nothing to start on POSIX; report the version the session asks for.
    version = 0x0101;
    return m_wakeFd >= 0 ? 0 : Fail(EMFILE);
}

int PosixSockets::Cleanup()
{
    return 0;
}

int PosixSockets::LastError()
{
    return t_lastError;
}

Socket PosixSockets::CreateTcpSocket()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, IPPROTO_TCP);
    if (fd < 0) {
        Fail(errno);
        return kInvalidSocket;
    }
    // Poll commands are a few bytes each and must leave at once.
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    std::lock_guard lock(m_mutex);
    const Socket handle = m_nextHandle++;
    m_fds[handle] = fd;
    return handle;
}

std::uint32_t PosixSockets::InetAddr(const std::string& text)
{
    return ::inet_addr(text.c_str());
}

bool PosixSockets::LookupHost(const std::string& name, std::uint16_t& family, std::uint32_t& addr)
{
    auto lookup = std::make_shared<Lookup>();
    {
        std::lock_guard lock(m_mutex);
        if (m_aborted)
            return false;
        m_lookup = lookup;
    }
    std::thread([lookup, name] {
        addrinfo hints{};
        hints.ai_family = AF_INET;
        hints.ai_socktype = SOCK_STREAM;
        addrinfo* result = nullptr;
        const bool found = ::getaddrinfo(name.c_str(), nullptr, &hints, &result) == 0 && result;
        std::uint32_t first = 0;
        if (found)
            first = reinterpret_cast<const sockaddr_in*>(result->ai_addr)->sin_addr.s_addr;
        if (result)
            ::freeaddrinfo(result);
        std::lock_guard lock(lookup->mutex);
        lookup->finished = true;
        lookup->found = found;
        lookup->addr = first;
        lookup->done.notify_all();
    }).detach();

    std::unique_lock lock(lookup->mutex);
    lookup->done.wait(lock, [&] { return lookup->finished || lookup->cancelled; });
    const bool found = lookup->finished && lookup->found;
    if (found) {
        family = kAfInet;
        addr = lookup->addr;
    }
    lock.unlock();
    std::lock_guard layerLock(m_mutex);
    m_lookup.reset();
    return found;
}

std::optional<PosixSockets::Clock::time_point> PosixSockets::DeadlineAfter(int timeoutMs)
{
    if (timeoutMs == kNoTimeout)
        return std::nullopt;
    return Clock::now() + std::chrono::milliseconds(timeoutMs);
}

PosixSockets::Wait PosixSockets::WaitFor(int fd, short events, std::optional<Clock::time_point> deadline)
{
    for (;;) {
        if (m_aborted)
            return Wait::Aborted;
        int remaining = -1;
        if (deadline) {
            // Rounded up: poll must not come back before the deadline.
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline - Clock::now());
            if (left.count() <= 0)
                return Wait::TimedOut;
            remaining = static_cast<int>(left.count());
        }
        pollfd fds[2] = {{fd, events, 0}, {m_wakeFd, POLLIN, 0}};
        const int n = ::poll(fds, 2, remaining);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            Fail(errno);
            return Wait::Failed;
        }
        if (n == 0)
            continue; // the deadline check above decides
        if (fds[1].revents) {
            std::uint64_t count;
            [[maybe_unused]] const auto drained = ::read(m_wakeFd, &count, sizeof count);
            return m_aborted ? Wait::Aborted : Wait::Woken;
        }
        return Wait::Ready;
    }
}

int PosixSockets::Connect(Socket s, const SockAddrIn& to)
{
    const int fd = FdOf(s);
    if (fd < 0)
        return Fail(EBADF);
    sockaddr_in addr{};
    addr.sin_family = to.family;
    addr.sin_port = to.port;
    addr.sin_addr.s_addr = to.addr;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0)
        return 0;
    if (errno != EINPROGRESS)
        return Fail(errno);

    const auto deadline = Clock::now() + std::chrono::milliseconds(m_connectTimeoutMs);
    for (;;) {
        // A Disconnect click while connecting has no lasting effect, so a wake-up only restarts the wait.
        switch (WaitFor(fd, POLLOUT, deadline)) {
        case Wait::Ready: {
            int error = 0;
            socklen_t len = sizeof error;
            if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) != 0)
                return Fail(errno);
            return error == 0 ? 0 : Fail(error);
        }
        case Wait::Woken: continue;
        case Wait::TimedOut: return Fail(ETIMEDOUT);
        case Wait::Aborted: return Fail(ECANCELED);
        case Wait::Failed: return -1;
        }
    }
}

long PosixSockets::Recv(Socket s, char* buf, std::size_t len, int timeoutMs)
{
    const int fd = FdOf(s);
    if (fd < 0)
        return Fail(EBADF);
    const std::optional<Clock::time_point> deadline = DeadlineAfter(timeoutMs);
    for (;;) {
        switch (WaitFor(fd, POLLIN, deadline)) {
        case Wait::Ready: break;
        case Wait::Woken: return kRecvWoken;
        case Wait::TimedOut: return kRecvTimedOut;
        case Wait::Aborted: return Fail(ECANCELED);
        case Wait::Failed: return -1;
        }
        const ssize_t n = ::recv(fd, buf, len, 0);
        if (n >= 0)
            return n;
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
            return Fail(errno);
    }
}

long PosixSockets::WaitReady(Socket s, bool write, int timeoutMs)
{
    const int fd = FdOf(s);
    if (fd < 0)
        return Fail(EBADF);
    const std::optional<Clock::time_point> deadline = DeadlineAfter(timeoutMs);
    switch (WaitFor(fd, static_cast<short>(POLLIN | (write ? POLLOUT : 0)), deadline)) {
    case Wait::Ready: return 1;
    case Wait::Woken: return kRecvWoken;
    case Wait::TimedOut: return kRecvTimedOut;
    case Wait::Aborted: return Fail(ECANCELED);
    case Wait::Failed: break;
    }
    return -1;
}

long PosixSockets::Send(Socket s, const char* buf, std::size_t len)
{
    // Under the lock, so that Close cannot free the descriptor in the middle of the call.
    std::lock_guard lock(m_mutex);
    const auto it = m_fds.find(s);
    if (it == m_fds.end())
        return Fail(EBADF);
    const ssize_t n = ::send(it->second, buf, len, MSG_NOSIGNAL | MSG_DONTWAIT);
    return n < 0 ? Fail(errno) : n;
}

int PosixSockets::Shutdown(Socket s, ShutdownHow how)
{
    std::lock_guard lock(m_mutex);
    const auto it = m_fds.find(s);
    if (it == m_fds.end())
        return Fail(EBADF);
    const int mode = how == ShutdownHow::Receive ? SHUT_RD : how == ShutdownHow::Send ? SHUT_WR : SHUT_RDWR;
    return ::shutdown(it->second, mode) == 0 ? 0 : Fail(errno);
}

int PosixSockets::Close(Socket s)
{
    std::lock_guard lock(m_mutex);
    const auto it = m_fds.find(s);
    if (it == m_fds.end())
        return Fail(EBADF);
    ::close(it->second);
    m_fds.erase(it);
    return 0;
}

void PosixSockets::WakeReceiver()
{
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto written = ::write(m_wakeFd, &one, sizeof one);
}

void PosixSockets::Abort()
{
    {
        std::lock_guard lock(m_mutex);
        m_aborted = true;
        if (m_lookup) {
            std::lock_guard lookupLock(m_lookup->mutex);
            m_lookup->cancelled = true;
            m_lookup->done.notify_all();
        }
    }
    WakeReceiver();
}

std::size_t PosixSockets::OpenCount() const
{
    std::lock_guard lock(m_mutex);
    return m_fds.size();
}

int PosixSockets::FdOf(Socket s) const
{
    std::lock_guard lock(m_mutex);
    const auto it = m_fds.find(s);
    return it == m_fds.end() ? -1 : it->second;
}

} // namespace approbe
