#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

#include "temp_dir.h"

namespace approbe::test {

// A program run by a test, its stdout and stderr going to a log file; killed (SIGKILL) and
// reaped at the end of the test if it is still running.
class ChildProcess {
public:
    explicit ChildProcess(std::vector<std::string> argv);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    std::string log() const;
    // Waits until the log holds needle; returns whether it does.
    bool waitLog(const std::string& needle, std::chrono::milliseconds timeout) const;
    void signal(int sig) const;
    // Waits for the exit: its code, -1 if a signal ended it, -2 if still running at the deadline.
    int wait(std::chrono::milliseconds timeout);
    bool running() const { return m_pid > 0; }
    pid_t pid() const { return m_pid; }
    // CPU time (user + system) the program has used so far, in milliseconds.
    long CpuMs() const;

private:
    TempDir m_dir;
    std::string m_logPath;
    pid_t m_pid = -1;
};

// An answer over plain HTTP: status 0 if none came.
struct HttpReply {
    int status = 0;
    std::string head, body; // head: the status line and header lines
};
// method target to 127.0.0.1:port over a plain loopback socket from the loopback address from
// (from ::1, to [::1]:port).
HttpReply HttpRequest(int port, const std::string& method, const std::string& target,
                      const std::string& from = "127.0.0.1");
// The body of GET http://127.0.0.1:port/target ("" if it fails or is not 200).
std::string HttpGet(int port, const std::string& target);

// A loopback port that was free a moment ago, for a program that cannot take port 0.
int FreePort();

// The absolute path of program found on PATH (also /usr/sbin, /sbin); empty if none.
std::string FindProgram(const std::string& program);

} // namespace approbe::test
