#pragma once

#include <sys/socket.h>

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

struct addrinfo;

// Names looked up off the loop, on a few threads at most: the resolver blocks, for seconds when a
// name server does not answer, and a thousand access points named by name must not mean a
// thousand threads.
namespace approbe::session {

struct Address {
    sockaddr_storage storage{};
    socklen_t length = 0;
};
using Addresses = std::vector<Address>;

// Every address of a resolver's answer, in its order.
Addresses CopyAddresses(const addrinfo* list);
// A numeric address (IPv4, IPv6 with its scope) needs no resolver: its addresses at once, or none.
std::optional<Addresses> NumericAddresses(const std::string& name, int port);

// One lookup. Its owner drops it when it no longer waits; a lookup nobody holds is not made.
class Lookup {
public:
    bool Done() const;
    // Once done: the addresses, or the resolver's reason for having none.
    Addresses addresses() const;
    std::string error() const;

private:
    friend class Resolver;
    mutable std::mutex m_mutex;
    bool m_done = false;
    int m_error = 0;
    Addresses m_addresses;
};

class Resolver {
public:
    static constexpr int kMaxThreads = 4;

    // wake: from a lookup's thread once its answer is in. It must stay callable after the
    // Resolver is gone: a thread still waiting for a name server finishes alone.
    explicit Resolver(std::function<void()> wake);
    ~Resolver();
    Resolver(const Resolver&) = delete;
    Resolver& operator=(const Resolver&) = delete;

    std::shared_ptr<Lookup> Start(const std::string& name, int port);

private:
    struct Queue;
    std::shared_ptr<Queue> m_queue;
};

} // namespace approbe::session
