// Figure 2: the whole program from exec to its main window's first paint, and its peak resident
// memory, against a bare dialog with the same 36 controls. Both run on the offscreen platform
// and mark their first paint the same way (first_paint_probe.h), then exit.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "bench_support.h"
#include "benchmarks.h"

extern char** environ;

namespace approbe::bench {
namespace {

struct Launch {
    bool ok = false;
    double paintMs = 0; // exec to first paint
    double exitMs = 0;  // exec to exit
    double peakRssKb = 0;
};

Launch Run(const char* path, const std::vector<std::string>& env)
{
    Launch result;
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0)
        return result;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    std::vector<std::string> storage = env;
    std::vector<char*> envp;
    for (auto& e : storage)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    std::string arg0 = path;
    char* argv[] = {arg0.data(), nullptr};
    pid_t pid = -1;
    const std::int64_t start = NowNs();
    const int rc = ::posix_spawn(&pid, path, &actions, nullptr, argv, envp.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    if (rc != 0) {
        ::close(out[0]);
        std::fprintf(stderr, "startup: cannot start %s: %s\n", path, std::strerror(rc));
        return result;
    }
    std::string text;
    std::int64_t painted = -1;
    const auto deadline = Clock::now() + 20s;
    while (Clock::now() < deadline) {
        pollfd p{out[0], POLLIN, 0};
        if (::poll(&p, 1, 100) <= 0)
            continue;
        char buf[256];
        const ssize_t n = ::read(out[0], buf, sizeof buf);
        if (n <= 0)
            break;
        text.append(buf, static_cast<std::size_t>(n));
        const std::size_t at = text.find("first-paint ");
        if (at != std::string::npos && text.find('\n', at) != std::string::npos) {
            painted = std::atoll(text.c_str() + at + 12);
            break;
        }
    }
    if (painted < 0)
        ::kill(pid, SIGKILL);
    int status = 0;
    rusage usage{};
    // Bounded: after the paint it quits at once; if it does not within 10 s, it is killed.
    for (int i = 0; i < 1000 && ::wait4(pid, &status, WNOHANG, &usage) == 0; ++i)
        ::usleep(10000);
    if (::wait4(pid, &status, WNOHANG, &usage) == 0) {
        ::kill(pid, SIGKILL);
        ::wait4(pid, &status, 0, &usage);
    }
    const std::int64_t ended = NowNs();
    ::close(out[0]);
    if (painted < 0) {
        std::fprintf(stderr, "startup: %s printed no first paint within 20 s (built without APPROBE_BENCH_FIRST_PAINT?)\n",
                     path);
        return result;
    }
    result.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    if (!result.ok)
        std::fprintf(stderr, "startup: %s did not exit cleanly (status %d)\n", path, status);
    result.paintMs = static_cast<double>(painted - start) / 1e6;
    result.exitMs = static_cast<double>(ended - start) / 1e6;
    result.peakRssKb = static_cast<double>(usage.ru_maxrss);
    return result;
}

} // namespace

int RunStartup(const Options& o)
{
    const int runs = o.runs > 0 ? o.runs : 15;
    const char* tmp = std::getenv("TMPDIR");
    std::string dirTemplate = std::string(tmp && *tmp ? tmp : "/tmp") + "/approbe-bench-XXXXXX";
    const char* dir = ::mkdtemp(dirTemplate.data());
    if (!dir)
        return 1;
    // A profile like a user's: the program reads and writes it while starting.
    const std::string configDir = std::string(dir) + "/approbe";
    ::mkdir(configDir.c_str(), 0700);
    const std::string ini = configDir + "/approbe.ini";
    std::ofstream(ini) << "[Settings]\nHost=127.0.0.1\nPort=23\nUser=admin\nPass=admin\n";
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
        if (std::strncmp(*e, "QT_QPA_PLATFORM=", 16) != 0 && std::strncmp(*e, "XDG_CONFIG_HOME=", 16) != 0 &&
            std::strncmp(*e, "XDG_RUNTIME_DIR=", 16) != 0)
            env.emplace_back(*e);
    }
    env.push_back("QT_QPA_PLATFORM=offscreen");
    env.push_back(std::string("XDG_CONFIG_HOME=") + dir);
    env.push_back(std::string("XDG_RUNTIME_DIR=") + dir); // mkdtemp made it private

    std::vector<double> oursMs, floorMs, oursRss, floorRss, oursExit, floorExit;
    bool failed = false;
    // Two of each first, to fill the page cache; then alternate which goes first.
    for (int r = -2; r < runs && !failed; ++r) {
        for (int k = 0; k < 2 && !failed; ++k) {
            const bool ours = (k == 0) == (r % 2 == 0);
            const Launch l = Run(ours ? APPROBE_PATH : APPROBE_BARE_DIALOG_PATH, env);
            failed = !l.ok;
            if (r < 0 || failed)
                continue;
            (ours ? oursMs : floorMs).push_back(l.paintMs);
            (ours ? oursRss : floorRss).push_back(l.peakRssKb / 1024);
            (ours ? oursExit : floorExit).push_back(l.exitMs);
        }
    }
    std::remove(ini.c_str());
    ::rmdir(configDir.c_str());
    ::rmdir(dir);
    if (failed)
        return 1;
    Note("start-up over %d launches each: to first paint ms program p50 %.1f (min %.1f), floor p50 %.1f (min %.1f); "
         "to exit ms program %.1f, floor %.1f",
         runs, Median(oursMs), Percentile(oursMs, 0), Median(floorMs), Percentile(floorMs, 0), Median(oursExit),
         Median(floorExit));
    // Every launch, so that bench/run takes its medians over all launches of all runs.
    for (std::size_t i = 0; i < oursMs.size(); ++i) {
        Result("start_ms.ours", oursMs[i]);
        Result("start_ms.floor", floorMs[i]);
        Result("start_rss_mb.ours", oursRss[i]);
        Result("start_rss_mb.floor", floorRss[i]);
    }
    return 0;
}

} // namespace approbe::bench
