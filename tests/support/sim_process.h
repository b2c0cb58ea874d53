#pragma once
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <sys/types.h>
#include <thread>
#include <vector>
namespace approbe::test {
class TempDir;

// A script for a simulator that takes any user and password, then polls normally.
inline const char* const kAnyLogin = "send login:\\x20\nexpect \\r\nsend Password:\\x20\nexpect \\r\n"
                                     "send \\r\\nAP>\\x20\nvalues -88 -55 -66\nshell\n";

// A simulator script for an access point with two stations: the normal login, then polls times
// the replies of one poll (each ending with the prompt), station 1 first in the table, then
// silence. pauseMs > 0 sends the table in two pieces, the second row that long after the first.
std::string TwoStationScript(int polls, int local1, int remote1, int local2, int remote2, int noise, int pauseMs = 0);

// A short simulator run whose exit status matters.
struct SimExit {
    int code = -1; // -1: still running at the deadline (then killed), or killed by a signal
    std::string out, err;
};
SimExit RunSim(std::vector<std::string> args, std::chrono::milliseconds timeout);

// Runs approbe-sim as a child process on 127.0.0.1 with --port 0 and --verbose.
class SimProcess {
public:
    // extraArgs e.g. {"--user","u","--password","p"}; scriptText, if not empty, is written to a
    // temporary file and passed as --script. Throws std::runtime_error if it does not start listening in 5 s.
    explicit SimProcess(std::vector<std::string> extraArgs = {}, std::string scriptText = {});
    ~SimProcess();
    SimProcess(const SimProcess&) = delete; SimProcess& operator=(const SimProcess&) = delete;
    int port() const { return port_; }
    pid_t pid() const { return pid_; }
    // The ports of the first count access points of an --aps simulator (fewer if it ends first).
    std::vector<int> ports(std::size_t count, std::chrono::milliseconds timeout);
    // SIGTERM, wait (SIGKILL after 3 s), remove temp files; returns the exit code as SimExit's.
    int stop();
    // Everything the server has received so far on all connections, unescaped and concatenated in order.
    std::string received();
    // Waits until received() contains needle or the timeout passes; returns whether it does.
    bool waitReceived(const std::string& needle, std::chrono::milliseconds timeout);
    // Waits until stderr holds needle after from (a position in it); returns the whole of stderr
    // then, or nothing if the timeout passes first.
    std::optional<std::string> waitLog(const std::string& needle, std::size_t from, std::chrono::milliseconds timeout);
    // Number of "[conn N] closed" lines logged so far.
    int closedConnections();
    bool waitClosedConnections(int n, std::chrono::milliseconds timeout);
    static std::string path();           // APPROBE_SIM_PATH

private:
    void takeStderrLine(const std::string& line);

    pid_t pid_ = -1;
    int fds_[2] = {-1, -1}; // the child's stdout and stderr
    int port_ = 0;
    std::vector<int> ports_;  // one per access point, in order
    std::unique_ptr<TempDir> scriptDir_;
    std::thread reader_;
    std::mutex mu_;
    std::condition_variable changed_;
    std::string received_;  // guarded by mu_, like the members below
    std::string log_;       // whole stderr, for error messages
    int closed_ = 0;
    bool ended_ = false;    // both pipes closed: the child has exited
};
}
