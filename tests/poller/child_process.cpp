#include "child_process.h"

#include <fstream>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <stdexcept>

#include "loopback.h"

extern char** environ;

namespace approbe::test {

ChildProcess::ChildProcess(std::vector<std::string> argv) : m_logPath(m_dir.file("log"))
{
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, m_logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    // The test's own signal mask is not the program's.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK);
    std::vector<char*> args;
    for (auto& a : argv)
        args.push_back(a.data());
    args.push_back(nullptr);
    const int rc = ::posix_spawn(&m_pid, args[0], &actions, &attr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    if (rc != 0) {
        m_pid = -1;
        throw std::runtime_error("cannot start " + argv[0] + ": " + std::strerror(rc));
    }
}

ChildProcess::~ChildProcess()
{
    if (m_pid > 0) {
        ::kill(m_pid, SIGKILL);
        wait(std::chrono::seconds(5));
    }
}

std::string ChildProcess::log() const
{
    return ReadFile(m_logPath);
}

bool ChildProcess::waitLog(const std::string& needle, std::chrono::milliseconds timeout) const
{
    return WaitUntil([&] { return log().find(needle) != std::string::npos; }, timeout,
                     [] { std::this_thread::sleep_for(std::chrono::milliseconds(10)); });
}

void ChildProcess::signal(int sig) const
{
    if (m_pid > 0)
        ::kill(m_pid, sig);
}

int ChildProcess::wait(std::chrono::milliseconds timeout)
{
    int status = 0, code = -2;
    WaitUntil([&] {
        const pid_t r = m_pid > 0 ? ::waitpid(m_pid, &status, WNOHANG) : -1;
        if (r == 0)
            return false;
        if (r == m_pid)
            code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        m_pid = -1;
        return true;
    }, timeout, [] { std::this_thread::sleep_for(std::chrono::milliseconds(5)); });
    return code;
}

HttpReply HttpRequest(int port, const std::string& method, const std::string& target, const std::string& from)
{
    // From an IPv6 address, to ::1.
    const bool v6 = from.find(':') != std::string::npos;
    const int fd = ::socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_storage to{}, source{};
    socklen_t length = sizeof(sockaddr_in);
    if (v6) {
        auto* t = reinterpret_cast<sockaddr_in6*>(&to);
        auto* f = reinterpret_cast<sockaddr_in6*>(&source);
        t->sin6_family = f->sin6_family = AF_INET6;
        t->sin6_port = htons(static_cast<std::uint16_t>(port));
        t->sin6_addr = in6addr_loopback;
        ::inet_pton(AF_INET6, from.c_str(), &f->sin6_addr);
        length = sizeof(sockaddr_in6);
    } else {
        auto* t = reinterpret_cast<sockaddr_in*>(&to);
        auto* f = reinterpret_cast<sockaddr_in*>(&source);
        t->sin_family = f->sin_family = AF_INET;
        t->sin_port = htons(static_cast<std::uint16_t>(port));
        t->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::inet_pton(AF_INET, from.c_str(), &f->sin_addr);
    }
    timeval limit{5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    std::string response;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&source), length) == 0 &&
        ::connect(fd, reinterpret_cast<sockaddr*>(&to), length) == 0) {
        const std::string request = method + " " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
        if (::send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size())) {
            char buf[16384];
            for (ssize_t n; (n = ::recv(fd, buf, sizeof buf, 0)) > 0;)
                response.append(buf, static_cast<std::size_t>(n));
        }
    }
    ::close(fd);
    HttpReply reply;
    const auto body = response.find("\r\n\r\n");
    if (response.rfind("HTTP/1.1 ", 0) != 0 || body == std::string::npos)
        return reply;
    reply.status = std::atoi(response.c_str() + 9);
    reply.head = response.substr(0, body + 2);
    std::string content = response.substr(body + 4);
    if (reply.head.find("Transfer-Encoding: chunked") == std::string::npos) {
        reply.body = content;
        return reply;
    }
    for (std::size_t at = 0; at < content.size();) {
        const auto eol = content.find("\r\n", at);
        const std::size_t size = std::strtoul(content.c_str() + at, nullptr, 16);
        if (eol == std::string::npos || size == 0)
            break;
        reply.body += content.substr(eol + 2, size);
        at = eol + 2 + size + 2;
    }
    return reply;
}

std::string HttpGet(int port, const std::string& target)
{
    HttpReply reply = HttpRequest(port, "GET", target);
    return reply.status == 200 ? std::move(reply.body) : std::string();
}

int FreePort()
{
    return Listener().port();
}

std::string FindProgram(const std::string& program)
{
    std::string path = std::getenv("PATH") ? std::getenv("PATH") : "";
    path += ":/usr/sbin:/sbin:/usr/bin";
    std::istringstream dirs(path);
    for (std::string dir; std::getline(dirs, dir, ':');) {
        const std::string candidate = dir + "/" + program;
        if (!dir.empty() && ::access(candidate.c_str(), X_OK) == 0)
            return candidate;
    }
    return {};
}

long ChildProcess::CpuMs() const
{
    std::ifstream stat("/proc/" + std::to_string(m_pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    // Fields after the command's closing parenthesis: state is field 3, utime 14, stime 15.
    std::istringstream rest(text.substr(text.rfind(')') + 2));
    std::string field;
    long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && rest >> field; ++i) {
        if (i == 14)
            utime = std::atol(field.c_str());
        if (i == 15)
            stime = std::atol(field.c_str());
    }
    return (utime + stime) * 1000 / ::sysconf(_SC_CLK_TCK);
}

} // namespace approbe::test
