#include "metrics_server.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netinet/in.h>

#include <cstring>

namespace approbe::poller {
namespace {

MHD_Result Reply(MHD_Connection* connection, unsigned status, std::string body, const char* type)
{
    // The response takes the rendered text over instead of copying it: a scrape of a thousand
    // access points is over half a megabyte.
    auto* owned = new std::string(std::move(body));
    MHD_Response* response = MHD_create_response_from_buffer_with_free_callback_cls(
        owned->size(), owned->data(), [](void* text) { delete static_cast<std::string*>(text); }, owned);
    if (!response) {
        delete owned;
        return MHD_NO;
    }
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, type);
    const MHD_Result r = MHD_queue_response(connection, status, response);
    MHD_destroy_response(response);
    return r;
}

MHD_Result Answer(void* render, MHD_Connection* connection, const char* url, const char* method, const char*,
                  const char*, std::size_t*, void**)
{
    if (std::strcmp(method, MHD_HTTP_METHOD_GET) != 0 && std::strcmp(method, MHD_HTTP_METHOD_HEAD) != 0)
        return Reply(connection, MHD_HTTP_METHOD_NOT_ALLOWED, "GET only\n", "text/plain");
    if (std::strcmp(url, "/metrics") != 0)
        return Reply(connection, MHD_HTTP_NOT_FOUND, "approbe-poller: see /metrics\n", "text/plain");
    return Reply(connection, MHD_HTTP_OK, (*static_cast<std::function<std::string()>*>(render))(),
                 "text/plain; version=0.0.4; charset=utf-8");
}

} // namespace

bool MetricsServer::Start(const std::string& host, std::uint16_t port, std::string& error)
{
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    if (::inet_pton(AF_INET, host.c_str(), &addr.sin_addr) != 1) {
        error = "not an IPv4 address: " + host;
        return false;
    }
    // One internal thread with poll: a scrape is a few kilobytes, rendered from a snapshot.
    m_daemon = MHD_start_daemon(MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_POLL | MHD_USE_ERROR_LOG, port, nullptr,
                                nullptr, &Answer, &m_render,
                                MHD_OPTION_SOCK_ADDR, reinterpret_cast<sockaddr*>(&addr),
                                MHD_OPTION_CONNECTION_TIMEOUT, 10u, MHD_OPTION_END);
    if (!m_daemon) {
        error = "cannot listen on " + host + ":" + std::to_string(port) + ": " + std::strerror(errno);
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
}

} // namespace approbe::poller
