#include "resolver.h"

#include <netdb.h>

#include <cstring>
#include <thread>

namespace approbe::session {
namespace {

int Resolve(const std::string& name, int port, int flags, Addresses& out)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = flags | AI_NUMERICSERV;
    addrinfo* result = nullptr;
    const int error = ::getaddrinfo(name.c_str(), std::to_string(port).c_str(), &hints, &result);
    if (error == 0) {
        out = CopyAddresses(result);
        ::freeaddrinfo(result);
    }
    return error;
}

} // namespace

Addresses CopyAddresses(const addrinfo* list)
{
    Addresses out;
    for (const addrinfo* a = list; a; a = a->ai_next) {
        Address address;
        std::memcpy(&address.storage, a->ai_addr, a->ai_addrlen);
        address.length = a->ai_addrlen;
        out.push_back(address);
    }
    return out;
}

std::optional<Addresses> NumericAddresses(const std::string& name, int port)
{
    Addresses out;
    if (name.empty() || Resolve(name, port, AI_NUMERICHOST, out) != 0)
        return std::nullopt;
    return out;
}

bool Lookup::Done() const
{
    std::lock_guard lock(m_mutex);
    return m_done;
}

Addresses Lookup::addresses() const
{
    std::lock_guard lock(m_mutex);
    return m_addresses;
}

std::string Lookup::error() const
{
    std::lock_guard lock(m_mutex);
    return ::gai_strerror(m_addresses.empty() ? (m_error ? m_error : EAI_NONAME) : 0);
}

// Shared with the threads, which may outlive the Resolver by one lookup each.
struct Resolver::Queue {
    struct Job {
        std::weak_ptr<Lookup> lookup;
        std::string name;
        int port;
    };
    std::function<void()> wake;
    std::mutex mutex;
    std::deque<Job> jobs; // under mutex, like threads
    int threads = 0;

    // A thread takes jobs until none is left, then ends: an idle program keeps no thread.
    static void Work(std::shared_ptr<Queue> queue)
    {
        for (;;) {
            Job job;
            {
                std::lock_guard lock(queue->mutex);
                if (queue->jobs.empty()) {
                    --queue->threads;
                    return;
                }
                job = std::move(queue->jobs.front());
                queue->jobs.pop_front();
            }
            if (job.lookup.expired())
                continue; // given up while it waited its turn
            // No AI_ADDRCONFIG: it hides ::1 where only loopback has IPv6, and an address that
            // cannot be reached fails at once and the next is tried.
            Addresses found;
            const int error = Resolve(job.name, job.port, 0, found);
            if (const auto lookup = job.lookup.lock()) {
                std::lock_guard lock(lookup->m_mutex);
                lookup->m_error = error;
                lookup->m_addresses = std::move(found);
                lookup->m_done = true;
            }
            queue->wake();
        }
    }
};

Resolver::Resolver(std::function<void()> wake) : m_queue(std::make_shared<Queue>())
{
    m_queue->wake = std::move(wake);
}

Resolver::~Resolver()
{
    std::lock_guard lock(m_queue->mutex);
    m_queue->jobs.clear(); // the threads end after the lookup each is making
}

std::shared_ptr<Lookup> Resolver::Start(const std::string& name, int port)
{
    auto lookup = std::make_shared<Lookup>();
    bool spawn = false;
    {
        std::lock_guard lock(m_queue->mutex);
        m_queue->jobs.push_back({lookup, name, port});
        if (m_queue->threads < kMaxThreads) {
            ++m_queue->threads;
            spawn = true;
        }
    }
    if (spawn)
        std::thread(Queue::Work, m_queue).detach();
    return lookup;
}

} // namespace approbe::session
