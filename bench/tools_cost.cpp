// xtools: what the field tools add to a polling session. Two approbe processes on Xvfb, each
// polling an approbe-sim of its own, measured side by side over the same windows so that the
// machine's noise hits both: one with every tool off, one with the trend window open and a
// recording running, both opened as a user does (Ctrl+T; Ctrl+R and Enter in the file chooser).
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <sys/stat.h>
#include <sys/wait.h>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "benchmarks.h"
#include "x_programs.h"

namespace approbe::bench {
namespace {

// The one CSV file in dir (empty when there is none yet).
std::string CsvIn(const std::string& dir)
{
    std::string found;
    if (DIR* d = ::opendir(dir.c_str())) {
        // Bounded: the folder is ours and holds one file.
        for (int i = 0; i < 100; ++i) {
            const dirent* e = ::readdir(d);
            if (!e)
                break;
            const std::string name = e->d_name;
            if (name.size() > 4 && name.compare(name.size() - 4, 4, ".csv") == 0)
                found = dir + "/" + name;
        }
        ::closedir(d);
    }
    return found;
}

long Rows(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return static_cast<long>(std::count(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>(), '\n'));
}

// Rows after the first `skip`, and how many of them carry a noise floor and a local RSSI (the
// bench's host has no comma, so the fields split plainly).
struct RecordedValues {
    long rows = 0, noise = 0, local = 0;
};
RecordedValues Recorded(const std::string& path, long skip)
{
    RecordedValues v;
    std::ifstream in(path, std::ios::binary);
    std::string line;
    for (long row = 0; std::getline(in, line); ++row) {
        if (row < skip)
            continue;
        std::vector<std::string> fields(1);
        for (char c : line) {
            if (c == ',')
                fields.emplace_back();
            else
                fields.back().push_back(c);
        }
        ++v.rows;
        v.noise += fields.size() > 2 && !fields[2].empty();
        v.local += fields.size() > 3 && !fields[3].empty();
    }
    return v;
}

std::string Key(const char* figure, int side) { return std::string(figure) + (side == 1 ? ".ours" : ".floor"); }

} // namespace

int RunXTools(const Options& o)
{
    const double seconds = o.seconds > 0 ? o.seconds : 60;
    const double straceSeconds = 10;
    const int port = o.port > 0 ? o.port : 923;
    XWatch x;
    // Both ports of three digits: the port edit takes three characters.
    SimChild sims[2] = {SimChild(port), SimChild(port + 1)};
    Profile plain(sims[0].port());
    // Where the file chooser proposes the recording: the folder last recorded to, as a user's
    // profile keeps it; nothing else of [Tools] is preset.
    Profile tools(sims[1].port());
    const std::string records = tools.dir + "/records";
    ::mkdir(records.c_str(), 0700);
    std::ofstream(tools.dir + "/approbe/approbe.ini", std::ios::app) << "[Tools]\nRecordFolder=" << records << "\n";

    Side sides[2];
    auto end = [&] {
        for (Side& s : sides)
            if (s.pid > 0)
                EndChild(s.pid), s.pid = -1;
    };
    auto fail = [&](const char* why) {
        std::fprintf(stderr, "xtools: %s\n", why);
        end();
        return 1;
    };
    sides[0] = StartProgram(x, plain);
    sides[0].name = "tools off";
    sides[1] = StartProgram(x, tools);
    sides[1].name = "tools on";
    std::this_thread::sleep_for(2s); // logged in and polling: the chooser proposes the host's name

    const std::string window = std::to_string(sides[1].window), pid = std::to_string(sides[1].pid);
    // --all: the pid AND the title (by default xdotool matches either).
    if (!RunHelper({"xdotool", "windowfocus", "--sync", window, "key", "ctrl+t"}) ||
        !RunHelper({"xdotool", "search", "--all", "--sync", "--onlyvisible", "--pid", pid, "--name", "^Trend"}))
        return fail("Ctrl+T showed no trend window within 10 s");
    if (!RunHelper({"xdotool", "windowfocus", "--sync", window, "key", "ctrl+r"}) ||
        !RunHelper({"xdotool", "search", "--all", "--sync", "--onlyvisible", "--pid", pid, "--name", "^Record readings to",
                    "windowfocus", "--sync", "key", "Return"}))
        return fail("Ctrl+R showed no file chooser within 10 s, or Enter could not be pressed in it");
    // Now and then Xvfb keeps Enter down after the chooser closes on its press and repeats it into
    // the trend window (about 150 key events a second: 10 ms/s of CPU); released for certain here.
    RunHelper({"xdotool", "keyup", "Return"});
    std::string csv;
    for (int i = 0; i < 100 && (csv.empty() || Rows(csv) < 2); ++i) {
        std::this_thread::sleep_for(100ms);
        csv = CsvIn(records);
    }
    if (csv.empty() || Rows(csv) < 2)
        return fail("Enter in the file chooser started no recording that wrote a row within 10 s");
    std::this_thread::sleep_for(2s); // the chooser gone, caches warm

    constexpr int kWindows = 6;
    const long rows0 = Rows(csv);
    const std::int64_t start = NowNs();
    const SideBySide m = MeasureSideBySide({sides[0].pid, sides[1].pid}, seconds, kWindows);
    if (!m.measured)
        return fail("an approbe could not be measured (ended?)");
    const auto& cpu = m.cpu;
    const auto& wakeups = m.wakeups;
    std::vector<double> excess;
    for (int w = 0; w < kWindows; ++w)
        excess.push_back(cpu[1][w] - cpu[0][w]);
    const double measured = static_cast<double>(NowNs() - start) / 1e9;
    const RecordedValues recorded = Recorded(csv, rows0);
    const double rowsPerS = static_cast<double>(recorded.rows) / measured;
    const double noisePerS = static_cast<double>(recorded.noise) / measured;
    const double localPerS = static_cast<double>(recorded.local) / measured;
    // Still open and recording all along. A poll brings a noise floor and a station table, as two
    // readings or, when both replies arrive in one block, as one: every poll's values are recorded.
    if (!RunHelper({"xdotool", "search", "--all", "--onlyvisible", "--pid", pid, "--name", "^Trend"}))
        return fail("the trend window was gone at the end of the windows");
    if (noisePerS < 0.95 || localPerS < 0.95)
        return fail("the recording missed readings while measured (fewer than one noise floor and one RSSI a poll)");

    // Then, after the windows (tracing wakes the threads itself), the system calls.
    long calls[2];
    CountSystemCalls({sides[0].pid, sides[1].pid}, straceSeconds, tools.dir, calls);
    end();

    std::string perWindow;
    for (double d : excess)
        perWindow += (perWindow.empty() ? "" : " ") + std::to_string(d).substr(0, 5);
    for (int k = 0; k < 2; ++k) {
        Note("%s on Xvfb, %.0f s side by side: CPU %.3f ms/s, %.1f wake-ups/s (medians of %d windows); %ld system "
             "calls in %.0f s",
             sides[k].name, seconds, Median(cpu[k]), Median(wakeups[k]), kWindows, calls[k], straceSeconds);
        Result(Key("tools_cpu_ms_per_s", k), Median(cpu[k]));
        Result(Key("tools_wakeups_per_s", k), Median(wakeups[k]));
        if (calls[k] >= 0)
            Result(Key("tools_syscalls_per_poll", k), static_cast<double>(calls[k]) / straceSeconds);
    }
    Note("tools on minus off, CPU ms/s per window: %s (median %.3f); the recording grew %.2f rows/s, %.2f noise "
         "floors and %.2f local RSSIs a second; trend window open throughout",
         perWindow.c_str(), Median(excess), rowsPerS, noisePerS, localPerS);
    if (calls[0] < 0 || calls[1] < 0) {
        std::fprintf(stderr, "xtools: strace counted nothing (is it installed, may it attach?)\n");
        return 1;
    }
    return 0;
}

} // namespace approbe::bench
