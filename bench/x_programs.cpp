#include "x_programs.h"

#include <cstdlib>
#include <ctime>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <csignal>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace approbe::bench {

Profile::Profile(int port)
{
    const char* tmp = std::getenv("TMPDIR");
    std::string dirTemplate = std::string(tmp && *tmp ? tmp : "/tmp") + "/approbe-bench-XXXXXX";
    if (!::mkdtemp(dirTemplate.data()))
        throw std::runtime_error("cannot make a profile directory");
    dir = dirTemplate;
    ::mkdir((dir + "/approbe").c_str(), 0700);
    std::ofstream(dir + "/approbe/approbe.ini")
        << "[Settings]\nHost=127.0.0.1\nPort=" << port << "\nUser=admin\nPass=admin\n";
}

Profile::~Profile() { (void)!std::system(("rm -rf '" + dir + "'").c_str()); }

Side StartProgram(XWatch& x, const Profile& profile)
{
    Side s{"approbe"};
    s.pid = Spawn({APPROBE_PATH}, XEnv(profile.dir));
    s.window = x.WaitMapped(s.pid, Clock::now() + 20s);
    if (!s.window)
        throw std::runtime_error("approbe mapped no window within 20 s");
    x.NextDamage(s.window, Clock::now() + 5s); // painted, so it takes keys
    if (!RunHelper({"xdotool", "windowfocus", "--sync", std::to_string(s.window), "key", "Return"}))
        throw std::runtime_error("xdotool could not press Connect");
    return s;
}

Side StartFloor(XWatch& x, const Profile& profile, int port)
{
    Side s{"floor"};
    s.pid = Spawn({APPROBE_BARE_DIALOG_PATH, "--port", std::to_string(port)}, XEnv(profile.dir));
    s.window = x.WaitMapped(s.pid, Clock::now() + 20s);
    if (!s.window)
        throw std::runtime_error("the floor mapped no window within 20 s");
    return s;
}

double CpuMs(pid_t pid)
{
    clockid_t clock;
    timespec t{};
    if (::clock_getcpuclockid(pid, &clock) != 0 || ::clock_gettime(clock, &t) != 0)
        return -1;
    return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

SideBySide MeasureSideBySide(const pid_t (&pids)[2], double seconds, int windows)
{
    SideBySide m;
    const auto length = std::chrono::milliseconds(static_cast<long>(seconds * 1000 / windows));
    for (int w = 0; w < windows; ++w) {
        double c0[2], s0[2];
        for (int k = 0; k < 2; ++k)
            c0[k] = CpuMs(pids[k]), s0[k] = static_cast<double>(ContextSwitches(pids[k]));
        const std::int64_t t0 = NowNs();
        std::this_thread::sleep_for(length);
        const double secs = static_cast<double>(NowNs() - t0) / 1e9;
        for (int k = 0; k < 2; ++k) {
            const double c1 = CpuMs(pids[k]);
            m.measured = m.measured && c0[k] >= 0 && c1 >= 0;
            m.cpu[k].push_back((c1 - c0[k]) / secs);
            m.wakeups[k].push_back((static_cast<double>(ContextSwitches(pids[k])) - s0[k]) / secs);
        }
    }
    return m;
}

namespace {

// The "total" calls of an strace -c summary, or -1.
long StraceTotal(const std::string& path)
{
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::vector<std::string> f;
        for (std::string w; fields >> w;)
            f.push_back(w);
        if (f.size() >= 4 && f.back() == "total")
            return std::atol(f[3].c_str());
    }
    return -1;
}

} // namespace

void CountSystemCalls(const pid_t (&pids)[2], double seconds, const std::string& dir, long (&calls)[2])
{
    pid_t tracers[2];
    std::string outs[2];
    for (int k = 0; k < 2; ++k) {
        outs[k] = dir + "/strace-" + std::to_string(k);
        tracers[k] = Spawn({"strace", "-f", "-c", "-q", "-p", std::to_string(pids[k]), "-o", outs[k]}, XEnv(dir));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(static_cast<long>(seconds * 1000)));
    for (int k = 0; k < 2; ++k) {
        ::kill(tracers[k], SIGINT);
        int status = 0;
        for (int i = 0; i < 500 && ::waitpid(tracers[k], &status, WNOHANG) == 0; ++i)
            ::usleep(10000);
        if (::waitpid(tracers[k], &status, WNOHANG) == 0)
            ::kill(tracers[k], SIGKILL), ::waitpid(tracers[k], &status, 0);
        calls[k] = StraceTotal(outs[k]);
    }
}

} // namespace approbe::bench
