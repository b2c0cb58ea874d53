#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "web_config.h"

struct MHD_Daemon;
struct MHD_Connection;

namespace approbe::poller {

struct ServerOptions {
    WebConfig web;            // TLS and basic authentication (none by default)
    std::string version;      // shown on the landing page
    unsigned perClient = 16;  // connections at once from one address: a scraper needs one or two
    // Connections at once from everyone; a newcomer beyond it closes the connection that has waited
    // longest for its request.
    unsigned total = 256;
    // A connection must send each request head whole within this, counted from its opening or
    // from the previous answer (TLS handshake included); a connection that dawdles is closed.
    std::chrono::milliseconds requestDeadline{5000};

    // Connections open at most: the total, and those closed to make room that libmicrohttpd has
    // not reaped yet (sockets shut down in one turn of its loop are closed in its next).
    unsigned ConnectionsAtMost() const { return total + 64; }
};

// A page written a piece at a time: each call appends the next piece, of about want bytes, to out
// and says whether more is to come. A page of megabytes is sent as it is written, never held whole.
using PageWriter = std::function<bool(std::string& out, std::size_t want)>;

// Serves GET /metrics and a landing page at / on libmicrohttpd's thread, over TLS and behind basic
// authentication when the web config asks; every other path is 404, every other method 405. The
// metrics come from render, which runs on that thread, as does its writer; they must only take
// short locks.
//
// Anyone who can reach the port must not be able to blind the monitoring by holding connections
// open: connections are limited per client address and in total, one that has not sent its request
// within the deadline is closed, and when every place is taken a newcomer closes the one that has
// waited longest for its request, so a scrape finds a place at once.
class MetricsServer {
public:
    explicit MetricsServer(std::function<PageWriter()> render, ServerOptions options = {});
    ~MetricsServer();
    MetricsServer(const MetricsServer&) = delete;
    MetricsServer& operator=(const MetricsServer&) = delete;

    // Listens on host (IPv4) and port (0: any free one); false with error set if it cannot.
    bool Start(const std::string& host, std::uint16_t port, std::string& error);
    void Stop();
    std::uint16_t port() const { return m_port; }
    const char* scheme() const { return m_options.web.Tls() ? "https" : "http"; }

private:
    class Deadlines;
    friend struct Handlers;
    std::function<PageWriter()> m_render;
    ServerOptions m_options;
    BasicAuth m_auth;
    std::unique_ptr<Deadlines> m_deadlines;
    MHD_Daemon* m_daemon = nullptr;
    std::uint16_t m_port = 0;
    std::mutex m_logMutex;
    std::string m_lastLog;
    std::chrono::steady_clock::time_point m_lastLogAt;
    unsigned m_logRepeats = 0;
};

} // namespace approbe::poller
