#include "metrics_server.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <condition_variable>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <thread>
#include <unordered_map>
#include <vector>

#include "thread_priority.h"

namespace approbe::poller {
// Closes connections that have not sent a whole request in time. libmicrohttpd's own timeout
// counts from the last byte received, so a client sending a byte now and then would hold its
// place for ever; this counts from the connection's opening, or from the previous answer.
//
// When every place is taken, a new connection makes room: the one that has waited longest for a
// request (opened or answered earliest, its request not yet whole) is closed. Clients that hold
// half-sent requests from many addresses cannot then shut the scraper out: it sends its request at
// once, and only a newer connection's wait can push it out.
//
// The keeper's thread sleeps until the earliest deadline (for ever while no connection waits) and
// shuts a late connection's socket down; libmicrohttpd's thread then sees it end and closes it.
// libmicrohttpd reports a connection closed before it closes the socket, and the report waits for
// the keeper's lock, so a socket is never shut down after its number was reused.
class MetricsServer::Deadlines {
public:
    using Clock = std::chrono::steady_clock;

    Deadlines(std::chrono::milliseconds limit, std::size_t places)
        : m_limit(limit), m_places(places), m_thread([this] { Run(); })
    {
    }
    ~Deadlines()
    {
        {
            std::lock_guard lock(m_mutex);
            m_stop = true;
        }
        m_wake.notify_one();
        m_thread.join();
    }

    // A connection opened: its request is due within the limit. If that takes the last place, the
    // connection that has waited longest for its request is closed.
    void Due(MHD_Connection* c, int fd)
    {
        const auto at = Clock::now() + m_limit;
        std::lock_guard lock(m_mutex);
        if (m_open.size() - m_closing >= m_places)
            CloseLongestWaiting();
        m_open[c] = {fd, at};
        if (at < m_wakeAt)
            m_wake.notify_one();
    }
    // A connection answered its request: the next one is due within the limit.
    void Due(MHD_Connection* c)
    {
        const auto at = Clock::now() + m_limit;
        std::lock_guard lock(m_mutex);
        if (const auto it = m_open.find(c); it != m_open.end())
            it->second.deadline = at;
    }
    // A request arrived whole: no deadline while it is answered.
    void Serving(MHD_Connection* c)
    {
        std::lock_guard lock(m_mutex);
        if (const auto it = m_open.find(c); it != m_open.end())
            it->second.deadline = Clock::time_point::max();
    }
    void Closed(MHD_Connection* c)
    {
        std::lock_guard lock(m_mutex);
        if (const auto it = m_open.find(c); it != m_open.end()) {
            m_closing -= it->second.closing;
            m_open.erase(it);
        }
    }

private:
    struct Entry {
        int fd;
        Clock::time_point deadline; // max: answering a request, or shut down
        bool closing = false;       // shut down, until libmicrohttpd closes it
    };

    void ShutDown(Entry& e)
    {
        ::shutdown(e.fd, SHUT_RDWR);
        e.deadline = Clock::time_point::max();
        e.closing = true;
        ++m_closing;
    }

    // The earliest deadline is the longest wait, as every wait has the same limit.
    void CloseLongestWaiting()
    {
        Entry* oldest = nullptr;
        for (auto& [c, e] : m_open) {
            if (e.deadline != Clock::time_point::max() && (!oldest || e.deadline < oldest->deadline))
                oldest = &e;
        }
        if (oldest)
            ShutDown(*oldest);
        // else every place is answering a request: libmicrohttpd's own limit turns the newcomer away
    }

    void Run()
    {
        std::unique_lock lock(m_mutex);
        while (!m_stop) {
            const auto now = Clock::now();
            auto earliest = Clock::time_point::max();
            for (auto& [c, e] : m_open) {
                if (e.deadline <= now)
                    ShutDown(e);
                else if (e.deadline < earliest) {
                    earliest = e.deadline;
                }
            }
            m_wakeAt = earliest;
            if (earliest == Clock::time_point::max())
                m_wake.wait(lock);
            else
                m_wake.wait_until(lock, earliest);
        }
    }

    const std::chrono::milliseconds m_limit;
    const std::size_t m_places;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::unordered_map<MHD_Connection*, Entry> m_open;
    std::size_t m_closing = 0; // entries shut down and not closed yet
    Clock::time_point m_wakeAt = Clock::time_point::max();
    bool m_stop = false;
    std::thread m_thread; // last: it starts once the rest is made
};

// libmicrohttpd's callbacks, with the server as their closure.
struct Handlers {
    static MHD_Result Reply(MetricsServer& self, MHD_Connection* connection, unsigned status, const std::string& body,
                            const char* type, bool askForCredentials = false)
    {
        MHD_Response* response =
            MHD_create_response_from_buffer(body.size(), const_cast<char*>(body.data()), MHD_RESPMEM_MUST_COPY);
        return Queue(self, connection, status, response, type, askForCredentials);
    }

    // A page sent as its writer writes it (chunked): what is held at once is a piece, not the page.
    struct Streamed {
        PageWriter write;
        std::string pending; // written, and from taken on not yet handed over
        std::size_t taken = 0;
        bool done = false;
    };

    static MHD_Result Stream(MetricsServer& self, MHD_Connection* connection, PageWriter write, const char* type)
    {
        constexpr std::size_t kBlock = 32 * 1024;
        auto* page = new Streamed{std::move(write), {}, 0, false};
        MHD_Response* response = MHD_create_response_from_callback(
            MHD_SIZE_UNKNOWN, kBlock, &Read, page, [](void* p) { delete static_cast<Streamed*>(p); });
        if (!response)
            delete page;
        return Queue(self, connection, MHD_HTTP_OK, response, type);
    }

    static ssize_t Read(void* cls, std::uint64_t, char* buf, std::size_t max)
    {
        auto& page = *static_cast<Streamed*>(cls);
        page.pending.erase(0, page.taken); // what is left of the last piece: a line at most
        page.taken = 0;
        while (!page.done && page.pending.size() < max)
            page.done = !page.write(page.pending, max - page.pending.size());
        const std::size_t n = std::min(max, page.pending.size());
        if (n == 0)
            return MHD_CONTENT_READER_END_OF_STREAM;
        std::memcpy(buf, page.pending.data(), n);
        page.taken = n;
        return static_cast<ssize_t>(n);
    }

    static MHD_Result Queue(MetricsServer& self, MHD_Connection* connection, unsigned status, MHD_Response* response,
                            const char* type, bool askForCredentials = false)
    {
        if (!response)
            return MHD_NO;
        MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, type);
        for (const auto& [name, value] : self.m_options.web.headers)
            MHD_add_response_header(response, name.c_str(), value.c_str());
        if (status == MHD_HTTP_METHOD_NOT_ALLOWED)
            MHD_add_response_header(response, MHD_HTTP_HEADER_ALLOW, "GET, HEAD");
        const MHD_Result r = askForCredentials ? MHD_queue_basic_auth_fail_response(connection, "approbe-poller", response)
                                               : MHD_queue_response(connection, status, response);
        MHD_destroy_response(response);
        return r;
    }

    static bool Authorized(MetricsServer& self, MHD_Connection* connection)
    {
        if (!self.m_auth.Enabled())
            return true;
        char* password = nullptr;
        char* user = MHD_basic_auth_get_username_password(connection, &password);
        const bool ok = user && password && self.m_auth.Check(user, password);
        MHD_free(user);
        MHD_free(password);
        return ok;
    }

    static MHD_Result Answer(void* cls, MHD_Connection* connection, const char* url, const char* method, const char*,
                             const char*, std::size_t*, void** request)
    {
        auto& self = *static_cast<MetricsServer*>(cls);
        // Once on libmicrohttpd's thread: a scrape yields to the loop on a busy core.
        static thread_local const bool behindTheLoop = (RunBehindTheLoop(), true);
        (void)behindTheLoop;
        if (!*request) {
            // The request's head is in: it is answered now, whatever its body.
            static int seen;
            *request = &seen;
            self.m_deadlines->Serving(connection);
        }
        if (!Authorized(self, connection))
            return Reply(self, connection, MHD_HTTP_UNAUTHORIZED, "Unauthorized\n", "text/plain", true);
        if (std::strcmp(method, MHD_HTTP_METHOD_GET) != 0 && std::strcmp(method, MHD_HTTP_METHOD_HEAD) != 0)
            return Reply(self, connection, MHD_HTTP_METHOD_NOT_ALLOWED, "GET only\n", "text/plain");
        if (std::strcmp(url, "/metrics") == 0)
            return Stream(self, connection, self.m_render(), "text/plain; version=0.0.4; charset=utf-8");
        if (std::strcmp(url, "/") == 0)
            return Reply(self, connection, MHD_HTTP_OK, LandingPage(self.m_options.version), "text/html; charset=utf-8");
        return Reply(self, connection, MHD_HTTP_NOT_FOUND, "approbe-poller: see /metrics\n", "text/plain");
    }

    static std::string LandingPage(const std::string& version)
    {
        return "<!DOCTYPE html>\n<html lang=\"en\">\n<head><meta charset=\"utf-8\"><title>approbe-poller</title></head>\n"
               "<body>\n<h1>approbe-poller</h1>\n<p>Noise floor and RSSI of access points, for Prometheus. Version " +
               version + ".</p>\n<p><a href=\"metrics\">Metrics</a></p>\n</body>\n</html>\n";
    }

    static void Connection(void* cls, MHD_Connection* connection, void**, MHD_ConnectionNotificationCode code)
    {
        auto& deadlines = *static_cast<MetricsServer*>(cls)->m_deadlines;
        if (code == MHD_CONNECTION_NOTIFY_STARTED) {
            const MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
            if (info)
                deadlines.Due(connection, info->connect_fd);
        } else {
            deadlines.Closed(connection);
        }
    }

    static void Completed(void* cls, MHD_Connection* connection, void**, MHD_RequestTerminationCode)
    {
        static_cast<MetricsServer*>(cls)->m_deadlines->Due(connection);
    }

    // libmicrohttpd logs every connection it turns away: a line that repeats within a minute is
    // counted instead of printed, so that a flood cannot flood the journal too.
    static void Log(void* cls, const char* format, va_list args)
    {
        auto& self = *static_cast<MetricsServer*>(cls);
        char text[512];
        std::vsnprintf(text, sizeof text, format, args);
        const auto now = std::chrono::steady_clock::now();
        std::lock_guard lock(self.m_logMutex);
        if (self.m_lastLog == text && now - self.m_lastLogAt < std::chrono::minutes(1)) {
            ++self.m_logRepeats;
            return;
        }
        if (self.m_logRepeats)
            std::fprintf(stderr, "approbe-poller: http: the line above came %u more times\n", self.m_logRepeats);
        std::fprintf(stderr, "approbe-poller: http: %s", text);
        self.m_lastLog = text;
        self.m_lastLogAt = now;
        self.m_logRepeats = 0;
    }
};

MetricsServer::MetricsServer(std::function<PageWriter()> render, ServerOptions options)
    : m_render(std::move(render)), m_options(std::move(options)), m_auth(m_options.web.users)
{
}

MetricsServer::~MetricsServer()
{
    Stop();
}

bool MetricsServer::Start(const std::string& host, std::uint16_t port, std::string& error)
{
    sockaddr_storage addr{};
    auto* v4 = reinterpret_cast<sockaddr_in*>(&addr);
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&addr);
    bool ipv6 = false;
    if (::inet_pton(AF_INET, host.c_str(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(port);
    } else if (::inet_pton(AF_INET6, host.c_str(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(port);
        ipv6 = true;
    } else {
        error = "not an IP address: " + host;
        return false;
    }
    const WebConfig& web = m_options.web;
    if (web.Tls() && MHD_is_feature_supported(MHD_FEATURE_TLS) != MHD_YES) {
        error = "this libmicrohttpd was built without TLS";
        return false;
    }
    m_deadlines = std::make_unique<Deadlines>(m_options.requestDeadline, m_options.total);
    auto pointer = [](MHD_OPTION option, const void* p) {
        return MHD_OptionItem{option, 0, const_cast<void*>(p)};
    };
    auto number = [](MHD_OPTION option, unsigned v) { return MHD_OptionItem{option, static_cast<intptr_t>(v), nullptr}; };
    auto callback = [](MHD_OPTION option, auto* function, void* cls) {
        return MHD_OptionItem{option, reinterpret_cast<intptr_t>(function), cls};
    };
    std::vector<MHD_OptionItem> options = {
        callback(MHD_OPTION_EXTERNAL_LOGGER, &Handlers::Log, this), // first, or the others log their own way
        pointer(MHD_OPTION_SOCK_ADDR, &addr),
        // Between requests on a kept-alive connection, and for a client slow to take its answer.
        number(MHD_OPTION_CONNECTION_TIMEOUT, 10),
        number(MHD_OPTION_CONNECTION_LIMIT, m_options.ConnectionsAtMost()),
        number(MHD_OPTION_PER_IP_CONNECTION_LIMIT, m_options.perClient),
        callback(MHD_OPTION_NOTIFY_CONNECTION, &Handlers::Connection, this),
        callback(MHD_OPTION_NOTIFY_COMPLETED, &Handlers::Completed, this),
    };
    if (web.Tls()) {
        options.push_back(pointer(MHD_OPTION_HTTPS_MEM_CERT, web.certPem.c_str()));
        options.push_back(pointer(MHD_OPTION_HTTPS_MEM_KEY, web.keyPem.c_str()));
        options.push_back(pointer(MHD_OPTION_HTTPS_PRIORITIES, web.tlsPriorities.c_str()));
    }
    options.push_back({MHD_OPTION_END, 0, nullptr});
    // One internal thread with epoll: a scrape is rendered from a snapshot in a few milliseconds,
    // and epoll keeps the cost of many held connections off every wake-up.
    const unsigned flags = MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_EPOLL | MHD_USE_ERROR_LOG |
                           (web.Tls() ? static_cast<unsigned>(MHD_USE_TLS) : 0u) |
                           (ipv6 ? static_cast<unsigned>(MHD_USE_IPv6) : 0u);
    errno = 0;
    m_daemon = MHD_start_daemon(flags, port, nullptr, nullptr, &Handlers::Answer, this, MHD_OPTION_ARRAY,
                                options.data(), MHD_OPTION_END);
    if (!m_daemon) {
        error = "cannot serve on " + host + ":" + std::to_string(port) + ": " +
                (errno ? std::strerror(errno) : "libmicrohttpd refused the settings (see above)");
        m_deadlines.reset();
        return false;
    }
    const MHD_DaemonInfo* info = MHD_get_daemon_info(m_daemon, MHD_DAEMON_INFO_BIND_PORT);
    m_port = info ? info->port : port;
    return true;
}

void MetricsServer::Stop()
{
    if (m_daemon)
        MHD_stop_daemon(m_daemon);
    m_daemon = nullptr;
    m_deadlines.reset();
}

} // namespace approbe::poller
