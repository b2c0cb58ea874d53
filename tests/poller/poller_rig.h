#pragma once

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "child_process.h"
#include "loopback.h"
#include "temp_dir.h"

namespace approbe::test {

// A simulator script: the normal login, then the shell with fixed values.
inline std::string ValuesScript(int noise, int local, int remote)
{
    return "login\nvalues " + std::to_string(noise) + " " + std::to_string(local) + " " + std::to_string(remote) + "\nshell\n";
}

// An access point's section for the config.
inline std::string ApSection(const std::string& name, int port, const std::string& pass = "admin")
{
    return "[" + name + "]\nHost = 127.0.0.1\nPort = " + std::to_string(port) + "\nUser = admin\nPass = " + pass + "\n";
}

// The real approbe-poller on a private config, serving /metrics on a loopback port of its choice.
class PollerRig {
    TempDir m_dir; // first: config is made from it

public:
    const std::string config = m_dir.file("poller.ini");

    void WriteConfig(const std::string& text) const
    {
        WriteFile(config, text);
        ::chmod(config.c_str(), 0600);
    }
    // Starts it; false if it did not announce its /metrics port (http or https) within 5 s.
    bool Start(std::vector<std::string> extra = {})
    {
        std::vector<std::string> args = {APPROBE_POLLER_PATH, "--config", config, "--listen", "127.0.0.1:0"};
        args.insert(args.end(), extra.begin(), extra.end());
        process = std::make_unique<ChildProcess>(args);
        const std::string mark = "/metrics";
        if (!process->waitLog(mark, std::chrono::seconds(5)))
            return false;
        const std::string log = process->log();
        const auto colon = log.rfind(':', log.find(mark));
        port = colon == std::string::npos ? 0 : std::atoi(log.c_str() + colon + 1);
        return port > 0;
    }
    std::string Metrics() const { return HttpGet(port, "/metrics"); }
    // The value of metric{ap="name"}, if /metrics has it.
    std::optional<std::string> Sample(const std::string& metric, const std::string& name) const
    {
        const std::string text = Metrics(), head = metric + "{ap=\"" + name + "\"} ";
        const auto at = text.find(head);
        if (at == std::string::npos)
            return std::nullopt;
        return text.substr(at + head.size(), text.find('\n', at) - at - head.size());
    }
    long Count(const std::string& metric, const std::string& name) const
    {
        const auto v = Sample(metric, name);
        return v ? std::atol(v->c_str()) : -1;
    }
    bool WaitSample(const std::string& metric, const std::string& name, const std::string& value,
                    std::chrono::milliseconds timeout = std::chrono::seconds(10)) const
    {
        return WaitUntil([&] { return Sample(metric, name) == value; }, timeout,
                         [] { std::this_thread::sleep_for(std::chrono::milliseconds(20)); });
    }

    std::unique_ptr<ChildProcess> process;
    int port = 0;
};

// Connections to 127.0.0.1:port from the loopback address from, each sending head (which never
// ends a request) or nothing: what a client trying to blind the monitoring holds open.
class HeldConnections {
public:
    static constexpr const char* kUnfinishedRequest = "GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\n";

    // Raises this process's descriptor limit so that it can hold count connections; false if it cannot.
    static bool Allow(int count)
    {
        rlimit files{};
        ::getrlimit(RLIMIT_NOFILE, &files);
        files.rlim_cur = std::min<rlim_t>(files.rlim_max, static_cast<rlim_t>(count) + 1024);
        return ::setrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur >= static_cast<rlim_t>(count) + 200;
    }

    HeldConnections(int port, const std::string& from, int count, const std::string& head = "")
    {
        sockaddr_in to{AF_INET, htons(static_cast<std::uint16_t>(port)), {htonl(INADDR_LOOPBACK)}, {}};
        sockaddr_in source{AF_INET, 0, {}, {}};
        ::inet_pton(AF_INET, from.c_str(), &source.sin_addr);
        for (int i = 0; i < count; ++i) {
            const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            if (fd < 0)
                break;
            m_fds.push_back(fd);
            if (::bind(fd, reinterpret_cast<sockaddr*>(&source), sizeof source) == 0 &&
                ::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0 && !head.empty())
                ::send(fd, head.data(), head.size(), MSG_NOSIGNAL);
            ::fcntl(fd, F_SETFL, O_NONBLOCK);
        }
    }
    ~HeldConnections()
    {
        for (int fd : m_fds)
            ::close(fd);
    }
    std::size_t size() const { return m_fds.size(); }
    // Sends one more byte of the header on each connection the server has not closed; returns how
    // many it has not.
    std::size_t Trickle()
    {
        std::size_t open = 0;
        for (int& fd : m_fds) {
            char c;
            if (fd < 0)
                continue;
            const ssize_t n = ::recv(fd, &c, 1, 0);
            if (n == 0 || (n < 0 && errno != EAGAIN) || ::send(fd, "x", 1, MSG_NOSIGNAL) != 1) {
                ::close(fd);
                fd = -1;
            } else {
                ++open;
            }
        }
        return open;
    }

private:
    std::vector<int> m_fds;
};

} // namespace approbe::test
