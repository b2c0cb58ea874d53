#include "x_watch.h"

#include <xcb/damage.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <stdexcept>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace approbe::bench {

XWatch::XWatch()
{
    m_c = xcb_connect(nullptr, nullptr);
    if (xcb_connection_has_error(m_c))
        throw std::runtime_error("cannot connect to the X display $DISPLAY");
    const xcb_query_extension_reply_t* ext = xcb_get_extension_data(m_c, &xcb_damage_id);
    if (!ext || !ext->present)
        throw std::runtime_error("the X server has no DAMAGE extension");
    m_damageEvent = ext->first_event;
    free(xcb_damage_query_version_reply(m_c, xcb_damage_query_version(m_c, 1, 1), nullptr));
    m_root = xcb_setup_roots_iterator(xcb_get_setup(m_c)).data->root;
    const std::uint32_t mask = XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
    xcb_change_window_attributes(m_c, m_root, XCB_CW_EVENT_MASK, &mask);
    xcb_intern_atom_reply_t* atom = xcb_intern_atom_reply(m_c, xcb_intern_atom(m_c, 0, 11, "_NET_WM_PID"), nullptr);
    m_pidAtom = atom ? atom->atom : 0;
    free(atom);
    xcb_flush(m_c);
}

XWatch::~XWatch()
{
    xcb_disconnect(m_c);
}

pid_t XWatch::PidOf(std::uint32_t window)
{
    xcb_get_property_reply_t* r = xcb_get_property_reply(
        m_c, xcb_get_property(m_c, 0, window, m_pidAtom, XCB_ATOM_CARDINAL, 0, 1), nullptr);
    pid_t pid = 0;
    if (r && xcb_get_property_value_length(r) == 4)
        pid = static_cast<pid_t>(*static_cast<std::uint32_t*>(xcb_get_property_value(r)));
    free(r);
    return pid;
}

bool XWatch::Pump(Clock::time_point deadline)
{
    bool any = false;
    for (;;) {
        xcb_generic_event_t* e = xcb_poll_for_event(m_c);
        if (!e) {
            if (any || xcb_connection_has_error(m_c))
                return any;
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left <= 0)
                return false;
            pollfd p{xcb_get_file_descriptor(m_c), POLLIN, 0};
            ::poll(&p, 1, static_cast<int>(left));
            continue;
        }
        any = true;
        const std::int64_t now = NowNs();
        const std::uint8_t type = e->response_type & 0x7f;
        if (type == XCB_CREATE_NOTIFY) {
            // Watched from its creation, so that no paint can come before the watch.
            const auto* c = reinterpret_cast<xcb_create_notify_event_t*>(e);
            xcb_damage_create(m_c, xcb_generate_id(m_c), c->window, XCB_DAMAGE_REPORT_LEVEL_RAW_RECTANGLES);
            xcb_flush(m_c);
        } else if (type == XCB_MAP_NOTIFY) {
            const auto* m = reinterpret_cast<xcb_map_notify_event_t*>(e);
            m_mapped[m->window] = PidOf(m->window);
        } else if (type == m_damageEvent + XCB_DAMAGE_NOTIFY) {
            m_damage.push_back({reinterpret_cast<xcb_damage_notify_event_t*>(e)->drawable, now});
        }
        free(e);
    }
}

std::uint32_t XWatch::WaitMapped(pid_t pid, Clock::time_point deadline)
{
    for (;;) {
        for (const auto& [window, owner] : m_mapped)
            if (owner == pid)
                return window;
        if (!Pump(deadline) && Clock::now() >= deadline)
            return 0;
    }
}

std::int64_t XWatch::NextDamage(std::uint32_t window, Clock::time_point deadline)
{
    for (;;) {
        for (std::size_t i = 0; i < m_damage.size(); ++i) {
            if (window == 0 || m_damage[i].window == window) {
                const std::int64_t ns = m_damage[i].ns;
                m_damage.erase(m_damage.begin(), m_damage.begin() + static_cast<long>(i) + 1);
                return ns;
            }
        }
        m_damage.clear();
        if (!Pump(deadline) && Clock::now() >= deadline)
            return -1;
    }
}

std::int64_t XWatch::LastDamage(std::uint32_t window, Clock::time_point deadline, std::chrono::milliseconds quiet)
{
    std::int64_t last = NextDamage(window, deadline);
    while (last >= 0) {
        const std::int64_t next = NextDamage(window, std::min(deadline, Clock::now() + quiet));
        if (next < 0)
            break;
        last = next;
    }
    return last;
}

void XWatch::Forget()
{
    while (Pump(Clock::now())) {
    }
    m_damage.clear();
}

pid_t Spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env)
{
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    std::vector<std::string> a = argv, e = env;
    std::vector<char*> av, ev;
    for (auto& s : a)
        av.push_back(s.data());
    av.push_back(nullptr);
    for (auto& s : e)
        ev.push_back(s.data());
    ev.push_back(nullptr);
    pid_t pid = -1;
    const int rc = ::posix_spawnp(&pid, av[0], &actions, nullptr, av.data(), ev.data());
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0)
        throw std::runtime_error("cannot start " + argv[0] + ": " + std::strerror(rc));
    return pid;
}

std::vector<std::string> XEnv(const std::string& configHome)
{
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
        if (std::strncmp(*e, "QT_QPA_PLATFORM=", 16) != 0 && std::strncmp(*e, "XDG_CONFIG_HOME=", 16) != 0)
            env.emplace_back(*e);
    }
    env.push_back("QT_QPA_PLATFORM=xcb");
    env.push_back("XDG_CONFIG_HOME=" + configHome);
    return env;
}

long EndChild(pid_t pid)
{
    rusage usage{};
    int status = 0;
    ::kill(pid, SIGTERM);
    // Bounded: SIGKILL after 3 s.
    for (int i = 0; i < 300 && ::wait4(pid, &status, WNOHANG, &usage) == 0; ++i)
        ::usleep(10000);
    if (::wait4(pid, &status, WNOHANG, &usage) == 0) {
        ::kill(pid, SIGKILL);
        ::wait4(pid, &status, 0, &usage);
    }
    return usage.ru_maxrss;
}

bool RunHelper(const std::vector<std::string>& argv)
{
    const pid_t pid = Spawn(argv, std::vector<std::string>(environ, environ + [] {
                                       std::size_t n = 0;
                                       while (environ[n])
                                           ++n;
                                       return n;
                                   }()));
    int status = 0;
    for (int i = 0; i < 1000 && ::waitpid(pid, &status, WNOHANG) == 0; ++i)
        ::usleep(10000);
    if (::waitpid(pid, &status, WNOHANG) == 0) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
        return false;
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

} // namespace approbe::bench
