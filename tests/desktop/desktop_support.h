#pragma once

// A child process with its own environment, and a virtual X display run by a real window
// manager, for the tests of what the desktop sees of approbe.
#include <sys/types.h>
#include <xcb/xcb.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "temp_dir.h"

namespace approbe::test {

// Started with posix_spawnp; output goes to /dev/null unless outFd is given. Ended with SIGTERM
// (SIGKILL after 3 s) when destroyed.
class Child {
public:
    Child(std::vector<std::string> argv, const std::vector<std::string>& extraEnv = {}, int outFd = -1,
          int passFd = -1);
    ~Child();
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    bool started() const { return m_pid > 0; }
    // Waits for the child to exit; its status as waitpid gives it, or -1 if it is still running.
    int wait(std::chrono::milliseconds timeout);

private:
    pid_t m_pid = -1;
};

// Whether a program is on the PATH.
bool OnPath(const std::string& program);

// Xvfb on a free display number, openbox managing it, and an xcb connection to it.
class VirtualDesktop {
public:
    // The reason the desktop cannot run here (Xvfb or openbox missing), or empty.
    static std::string Missing();
    VirtualDesktop();
    ~VirtualDesktop();
    bool ready() const { return m_conn != nullptr && m_wmRunning; }
    const std::string& display() const { return m_display; }
    xcb_connection_t* conn() const { return m_conn; }
    xcb_window_t root() const { return m_root; }

    xcb_atom_t atom(const char* name) const;
    // A property's items as 32-bit values (8-bit ones as bytes), empty when absent.
    std::vector<std::uint32_t> property(xcb_window_t window, const char* name) const;
    std::string text(xcb_window_t window, const char* name) const;
    // The top-level client the window manager lists whose WM_CLASS is cls, once it has been
    // framed; 0 at the timeout.
    xcb_window_t waitForClient(const std::string& cls, std::chrono::milliseconds timeout) const;
    xcb_get_geometry_reply_t geometry(xcb_window_t window) const;

private:
    TempDir m_dir; // where the window manager says it has started
    std::unique_ptr<Child> m_server, m_wm;
    std::string m_display;
    xcb_connection_t* m_conn = nullptr;
    xcb_window_t m_root = 0;
    bool m_wmRunning = false;
};

} // namespace approbe::test
