#include "desktop_support.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <thread>

#include "loopback.h"

extern char** environ;

namespace approbe::test {

using namespace std::chrono_literals;

Child::Child(std::vector<std::string> argv, const std::vector<std::string>& extraEnv, int outFd, int passFd)
{
    std::vector<std::string> env = extraEnv;
    for (char** e = environ; *e; ++e) {
        const std::string entry = *e;
        const std::string key = entry.substr(0, entry.find('=') + 1);
        bool overridden = false;
        for (const std::string& extra : extraEnv)
            overridden |= extra.rfind(key, 0) == 0;
        if (!overridden)
            env.push_back(entry);
    }
    std::vector<char*> args, envp;
    for (std::string& a : argv)
        args.push_back(a.data());
    args.push_back(nullptr);
    for (std::string& e : env)
        envp.push_back(e.data());
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    if (outFd >= 0) {
        posix_spawn_file_actions_adddup2(&actions, outFd, 1);
        posix_spawn_file_actions_adddup2(&actions, outFd, 2);
    } else {
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    }
    if (passFd >= 0)
        posix_spawn_file_actions_adddup2(&actions, passFd, 3);
    if (::posix_spawnp(&m_pid, args[0], &actions, nullptr, args.data(), envp.data()) != 0)
        m_pid = -1;
    posix_spawn_file_actions_destroy(&actions);
}

Child::~Child()
{
    if (m_pid <= 0)
        return;
    ::kill(m_pid, SIGTERM);
    if (wait(3s) == -1) {
        ::kill(m_pid, SIGKILL);
        ::waitpid(m_pid, nullptr, 0);
    }
}

int Child::wait(std::chrono::milliseconds timeout)
{
    int status = -1;
    if (m_pid <= 0)
        return status;
    WaitUntil([&] { return ::waitpid(m_pid, &status, WNOHANG) == m_pid; }, timeout,
              [] { std::this_thread::sleep_for(5ms); });
    if (status != -1)
        m_pid = -1;
    return status;
}

bool OnPath(const std::string& program)
{
    const char* path = std::getenv("PATH");
    std::string dirs = path ? path : "/usr/bin:/bin";
    for (std::size_t start = 0, end; start <= dirs.size(); start = end + 1) {
        end = dirs.find(':', start);
        if (end == std::string::npos)
            end = dirs.size();
        if (::access((dirs.substr(start, end - start) + "/" + program).c_str(), X_OK) == 0)
            return true;
    }
    return false;
}

std::string VirtualDesktop::Missing()
{
    std::string missing;
    for (const char* program : {"Xvfb", "openbox"})
        if (!OnPath(program))
            missing += std::string(missing.empty() ? "" : " and ") + program;
    return missing.empty() ? missing : missing + " not installed (scripts/test installs them)";
}

VirtualDesktop::VirtualDesktop()
{
    // Xvfb picks a free display number and writes it to the descriptor given.
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        return;
    m_server = std::make_unique<Child>(std::vector<std::string>{"Xvfb", "-displayfd", "3", "-nolisten", "tcp",
                                                                "-screen", "0", "800x600x24"},
                                       std::vector<std::string>{}, -1, fds[1]);
    ::close(fds[1]);
    std::string number;
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (number.find('\n') == std::string::npos && std::chrono::steady_clock::now() < deadline) {
        pollfd p{fds[0], POLLIN, 0};
        char buf[16];
        ssize_t n = 0;
        if (::poll(&p, 1, 100) > 0 && (n = ::read(fds[0], buf, sizeof buf)) <= 0)
            break;
        number.append(buf, static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
    }
    ::close(fds[0]);
    if (number.find('\n') == std::string::npos)
        return;
    m_display = ":" + number.substr(0, number.find('\n'));
    m_conn = xcb_connect(m_display.c_str(), nullptr);
    if (xcb_connection_has_error(m_conn)) {
        xcb_disconnect(m_conn);
        m_conn = nullptr;
        return;
    }
    m_root = xcb_setup_roots_iterator(xcb_get_setup(m_conn)).data->root;
    // The window manager's own settings, not the user's. It names itself on the root window
    // before it handles requests to map: a window mapped in between stays unmapped for good. Its
    // startup command runs once it is ready.
    const std::string started = m_dir.file("started");
    m_wm = std::make_unique<Child>(std::vector<std::string>{"openbox", "--sm-disable", "--startup", "touch " + started},
                                   std::vector<std::string>{"DISPLAY=" + m_display, "XDG_CONFIG_HOME=/nonexistent"});
    m_wmRunning = WaitUntil([&] { return ::access(started.c_str(), F_OK) == 0; }, 10s,
                            [] { std::this_thread::sleep_for(10ms); });
}

VirtualDesktop::~VirtualDesktop()
{
    if (m_conn)
        xcb_disconnect(m_conn);
    m_wm.reset();
    m_server.reset();
}

xcb_atom_t VirtualDesktop::atom(const char* name) const
{
    xcb_intern_atom_reply_t* reply = xcb_intern_atom_reply(
        m_conn, xcb_intern_atom(m_conn, 0, static_cast<std::uint16_t>(std::strlen(name)), name), nullptr);
    const xcb_atom_t atom = reply ? reply->atom : xcb_atom_t{XCB_ATOM_NONE};
    std::free(reply);
    return atom;
}

std::vector<std::uint32_t> VirtualDesktop::property(xcb_window_t window, const char* name) const
{
    std::vector<std::uint32_t> items;
    xcb_get_property_reply_t* reply = xcb_get_property_reply(
        m_conn, xcb_get_property(m_conn, 0, window, atom(name), XCB_GET_PROPERTY_TYPE_ANY, 0, 4096), nullptr);
    if (!reply)
        return items;
    const int length = xcb_get_property_value_length(reply);
    const auto* value = static_cast<const unsigned char*>(xcb_get_property_value(reply));
    if (reply->format == 32) {
        const auto* words = reinterpret_cast<const std::uint32_t*>(value);
        items.assign(words, words + length / 4);
    } else if (reply->format == 8) {
        items.assign(value, value + length);
    }
    std::free(reply);
    return items;
}

std::string VirtualDesktop::text(xcb_window_t window, const char* name) const
{
    const std::vector<std::uint32_t> bytes = property(window, name);
    return std::string(bytes.begin(), bytes.end());
}

xcb_window_t VirtualDesktop::waitForClient(const std::string& cls, std::chrono::milliseconds timeout) const
{
    xcb_window_t found = 0;
    WaitUntil(
        [&] {
            for (std::uint32_t client : property(m_root, "_NET_CLIENT_LIST")) {
                // WM_CLASS is instance and class, each ending in a zero byte.
                if (text(client, "WM_CLASS").find(cls + '\0') != std::string::npos &&
                    !property(client, "_NET_FRAME_EXTENTS").empty()) {
                    found = client;
                    return true;
                }
            }
            return false;
        },
        timeout, [] { std::this_thread::sleep_for(10ms); });
    return found;
}

xcb_get_geometry_reply_t VirtualDesktop::geometry(xcb_window_t window) const
{
    xcb_get_geometry_reply_t geometry{};
    if (xcb_get_geometry_reply_t* reply = xcb_get_geometry_reply(m_conn, xcb_get_geometry(m_conn, window), nullptr)) {
        geometry = *reply;
        std::free(reply);
    }
    return geometry;
}

} // namespace approbe::test
