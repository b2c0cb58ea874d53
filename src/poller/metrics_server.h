#pragma once

#include <cstdint>
#include <functional>
#include <string>

struct MHD_Daemon;

namespace approbe::poller {

// Serves GET /metrics on its own thread (libmicrohttpd's); every other path is 404. The page
// comes from render, which runs on that thread and must only take a short lock.
class MetricsServer {
public:
    explicit MetricsServer(std::function<std::string()> render) : m_render(std::move(render)) {}
    ~MetricsServer() { Stop(); }
    MetricsServer(const MetricsServer&) = delete;
    MetricsServer& operator=(const MetricsServer&) = delete;

    // Listens on host (IPv4) and port (0: any free one); false with error set if it cannot.
    bool Start(const std::string& host, std::uint16_t port, std::string& error);
    void Stop();
    std::uint16_t port() const { return m_port; }

private:
    std::function<std::string()> m_render;
    MHD_Daemon* m_daemon = nullptr;
    std::uint16_t m_port = 0;
};

} // namespace approbe::poller
