// The figures measured on a real X server with the real programs, from outside them: the bench is
// the access point (or runs approbe-sim) and watches the screen through the X server.
//   xstartup  exec to the first change of the program's window on screen, and peak RSS
//   xsession  reply-to-screen latency, memory over many readings, throughput under a flood
//   xidle     CPU, wake-ups and system calls of a polling session against approbe-sim
// The floor in each is approbe-bench-bare-dialog: the same controls, and with --port the least
// work a session needs (one receive, one parse, one hand-off, one repaint).
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "benchmarks.h"
#include "x_programs.h"

namespace approbe::bench {

int RunXStartup(const Options& o)
{
    const int runs = o.runs > 0 ? o.runs : 15;
    XWatch x;
    Profile profile(23);
    std::vector<double> ms[2], rss[2];
    // Two of each first, to fill the page cache; then alternate which goes first.
    for (int r = -2; r < runs; ++r) {
        for (int k = 0; k < 2; ++k) {
            const int side = (k == 0) == (r % 2 == 0) ? 0 : 1;
            x.Forget();
            const std::int64_t start = NowNs();
            const pid_t pid = Spawn({side == 0 ? APPROBE_PATH : APPROBE_BARE_DIALOG_PATH}, XEnv(profile.dir));
            // The first change on screen of any window made since: the first paint.
            const std::int64_t painted = x.NextDamage(0, Clock::now() + 20s);
            const long peak = EndChild(pid);
            if (painted < 0) {
                std::fprintf(stderr, "xstartup: %s painted nothing within 20 s\n", side == 0 ? "approbe" : "the floor");
                return 1;
            }
            if (r < 0)
                continue;
            ms[side].push_back(static_cast<double>(painted - start) / 1e6);
            rss[side].push_back(static_cast<double>(peak) / 1024);
        }
    }
    Note("start-up on Xvfb over %d launches each: to first paint ms approbe p50 %.1f (min %.1f), floor p50 %.1f (min %.1f)",
         runs, Median(ms[0]), Percentile(ms[0], 0), Median(ms[1]), Percentile(ms[1], 0));
    for (std::size_t i = 0; i < ms[0].size() && i < ms[1].size(); ++i) {
        Result("start_ms.ours", ms[0][i]);
        Result("start_ms.floor", ms[1][i]);
        Result("start_rss_mb.ours", rss[0][i]);
        Result("start_rss_mb.floor", rss[1][i]);
    }
    return 0;
}

int RunXSession(const Options& o)
{
    const long replies = o.replies > 0 ? o.replies : 120;
    const long memoryReplies = o.memory > 0 ? o.memory : 20000;
    const double floodSeconds = o.seconds > 0 ? o.seconds : 5;
    XWatch x;
    Peer peers[2] = {Peer(o.port > 0 ? o.port : 923), Peer()};
    Profile profile(peers[0].port());
    Side sides[2];
    sides[0] = StartProgram(x, profile);
    if (!peers[0].AcceptAndLogin(10s))
        throw std::runtime_error("approbe did not connect and log in within 10 s");
    sides[1] = StartFloor(x, profile, peers[1].port());
    if (!peers[1].AcceptAndLogin(10s))
        throw std::runtime_error("the floor did not connect and log in within 10 s");
    auto end = [&] {
        for (Side& s : sides)
            if (s.pid > 0)
                EndChild(s.pid), s.pid = -1;
    };

    // The sides' sessions stay up throughout: each poll is answered, as an access point does,
    // whichever side is measured. Every answer and block brings new values.
    long next[2] = {0, 0};
    auto answerPoll = [&](int side) {
        if (peers[side].Drain())
            peers[side].Send(ReplyText(ReadingFor(next[side]++)));
    };

    // Latency: from the send of a poll's answer to the last change on screen it causes (a burst
    // ends after 20 ms without a change). Each side polls once a second, so the sides are
    // measured in turn as their polls come; the first few answers warm up.
    constexpr long kWarm = 3;
    std::vector<double> lat[2];
    long answered[2] = {0, 0};
    const auto latencyEnd = Clock::now() + std::chrono::seconds(replies + kWarm + 30);
    while (answered[0] < replies + kWarm || answered[1] < replies + kWarm) {
        if (Clock::now() > latencyEnd) {
            std::fprintf(stderr, "xsession: %ld and %ld polls answered, not %ld a side, in %ld s\n", answered[0],
                         answered[1], replies + kWarm, replies + kWarm + 30);
            end();
            return 1;
        }
        pollfd wait[2] = {{peers[0].fd(), POLLIN, 0}, {peers[1].fd(), POLLIN, 0}};
        ::poll(wait, 2, 100);
        for (int side = 0; side < 2; ++side) {
            if (!peers[side].Drain())
                continue;
            x.Forget();
            const std::int64_t sent = NowNs();
            const bool delivered = peers[side].Send(ReplyText(ReadingFor(next[side]++)));
            const std::int64_t shown = delivered ? x.LastDamage(sides[side].window, Clock::now() + 2s, 20ms) : -1;
            if (shown < 0) {
                std::fprintf(stderr, "xsession: %s showed no change within 2 s of an answer\n", sides[side].name);
                end();
                return 1;
            }
            if (answered[side]++ >= kWarm)
                lat[side].push_back(static_cast<double>(shown - sent) / 1e3);
        }
    }
    Note("reply-to-screen on Xvfb, %zu answers a side: approbe us p50 %.0f p90 %.0f p99 %.0f max %.0f; floor us "
         "p50 %.0f p90 %.0f p99 %.0f max %.0f",
         lat[0].size(), Percentile(lat[0], 50), Percentile(lat[0], 90), Percentile(lat[0], 99),
         Percentile(lat[0], 100), Percentile(lat[1], 50), Percentile(lat[1], 90), Percentile(lat[1], 99),
         Percentile(lat[1], 100));
    Result("lat_p50_us.ours", Percentile(lat[0], 50));
    Result("lat_p50_us.floor", Percentile(lat[1], 50));
    Result("lat_p99_us.ours", Percentile(lat[0], 99));
    Result("lat_p99_us.floor", Percentile(lat[1], 99));

    // Memory: RSS after 1,000 and after memoryReplies readings. Faster than polls come: blocks
    // between the polls (each read on its own), each sent once the last is on screen, with every
    // poll answered first so that no block falls into a poll that already has its values.
    for (int side = 0; side < 2; ++side) {
        long early = 0;
        const std::int64_t start = NowNs();
        for (long n = 1; n <= memoryReplies; ++n) {
            answerPoll(1 - side);
            answerPoll(side);
            x.Forget();
            if (!peers[side].Send(BlockText(ReadingFor(next[side]++))) ||
                x.NextDamage(sides[side].window, Clock::now() + 2s) < 0) {
                std::fprintf(stderr, "xsession memory: %s showed no change within 2 s of a block\n", sides[side].name);
                end();
                return 1;
            }
            if (n == 1000)
                early = RssKb(sides[side].pid);
        }
        const long late = RssKb(sides[side].pid);
        Note("%s: RSS %ld kB after 1000 readings, %ld kB after %ld (%.0f readings/s)", sides[side].name, early, late,
             memoryReplies, static_cast<double>(memoryReplies) / (static_cast<double>(NowNs() - start) / 1e9));
        if (memoryReplies > 1000) // the growth after the first thousand
            Result(std::string("mem_growth_kb.") + (side == 0 ? "ours" : "floor"), static_cast<double>(late - early));
    }

    // Flood: the peer sends labelled text as fast as the connection takes it; what the program
    // reads per second, in steady state (after 1 s), from what was sent and is still unacknowledged.
    std::string text;
    for (long k = 0; text.size() < 65536; ++k)
        text += BlockText(ReadingFor(k));
    for (int side = 0; side < 2; ++side) {
        std::atomic<bool> stop{false};
        std::atomic<long long> progress{0};
        const auto length = std::chrono::milliseconds(static_cast<long>(floodSeconds * 1000));
        std::thread flooder([&] { peers[side].Flood(text, stop, Clock::now() + length + 2s, &progress); });
        auto wait = [&](Clock::duration d) {
            for (const auto until = Clock::now() + d; Clock::now() < until; std::this_thread::sleep_for(50ms))
                if (side == 0)
                    answerPoll(1);
        };
        wait(1s);
        const long long taken0 = progress - peers[side].Unacked();
        const std::int64_t t0 = NowNs();
        wait(length);
        const long long taken1 = progress - peers[side].Unacked();
        const double secs = static_cast<double>(NowNs() - t0) / 1e9;
        stop = true;
        flooder.join();
        // It would go on with what its socket holds: ended before the other side floods.
        EndChild(sides[side].pid);
        sides[side].pid = -1;
        const double kbs = static_cast<double>(taken1 - taken0) / 1e3 / secs;
        Note("flood %s: %.0f kB/s read over %.1f s", sides[side].name, kbs, secs);
        Result(std::string("flood_kb_per_s.") + (side == 0 ? "ours" : "floor"), kbs);
    }
    end();
    return 0;
}

int RunXIdle(const Options& o)
{
    const double seconds = o.seconds > 0 ? o.seconds : 60;
    const double straceSeconds = 10;
    XWatch x;
    SimChild sims[2] = {SimChild(o.port > 0 ? o.port : 923), SimChild()};
    Profile profile(sims[0].port());
    Side sides[2];
    sides[0] = StartProgram(x, profile);
    sides[1] = StartFloor(x, profile, sims[1].port());
    auto end = [&] {
        for (Side& s : sides)
            if (s.pid > 0)
                EndChild(s.pid), s.pid = -1;
    };
    std::this_thread::sleep_for(4s); // logged in, polling, caches warm

    constexpr int kWindows = 6;
    const SideBySide m = MeasureSideBySide({sides[0].pid, sides[1].pid}, seconds, kWindows);
    const auto& cpu = m.cpu;
    const auto& wakeups = m.wakeups;
    if (cpu[0].back() < 0 || wakeups[0].back() <= 0) {
        std::fprintf(stderr, "xidle: approbe could not be measured (ended?)\n");
        end();
        return 1;
    }
    // Then, after the windows above (tracing wakes the threads itself), the system calls.
    long calls[2];
    CountSystemCalls({sides[0].pid, sides[1].pid}, straceSeconds, profile.dir, calls);
    end();
    for (int k = 0; k < 2; ++k) {
        const char* key = k == 0 ? "ours" : "floor";
        Note("idle %s on Xvfb, %.0f s: CPU %.3f ms/s, %.1f wake-ups/s (medians of %d windows); %ld system calls in "
             "%.0f s",
             sides[k].name, seconds, Median(cpu[k]), Median(wakeups[k]), kWindows, calls[k], straceSeconds);
        Result(std::string("idle_cpu_ms_per_s.") + key, Median(cpu[k]));
        Result(std::string("idle_wakeups_per_s.") + key, Median(wakeups[k]));
        if (calls[k] >= 0)
            Result(std::string("idle_syscalls_per_poll.") + key, static_cast<double>(calls[k]) / straceSeconds);
    }
    if (calls[0] < 0) {
        std::fprintf(stderr, "xidle: strace counted nothing (is it installed, may it attach?)\n");
        return 1;
    }
    return 0;
}

} // namespace approbe::bench
