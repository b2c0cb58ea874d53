#pragma once

// The programs measured on the X display, started the way a user starts them: a private settings
// profile, the window mapped and painted, Connect pressed. Shared by the figures on Xvfb.

#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

#include "x_watch.h"

namespace approbe::bench {

// A settings profile in a private directory, as a user's.
struct Profile {
    explicit Profile(int port);
    ~Profile();
    Profile(const Profile&) = delete;
    Profile& operator=(const Profile&) = delete;
    std::string dir;
};

// One program with its window on the display.
struct Side {
    const char* name;
    pid_t pid = -1;
    std::uint32_t window = 0;
};

// Starts approbe with the profile and presses Connect in its window (Enter: the focus starts there).
Side StartProgram(XWatch& x, const Profile& profile);
// Starts the floor, approbe-bench-bare-dialog, logging in to 127.0.0.1:port.
Side StartFloor(XWatch& x, const Profile& profile, int port);

// CPU time of a process, all threads, in milliseconds; -1 when it cannot be read.
double CpuMs(pid_t pid);
// CPU ms/s and wake-ups/s of two processes over the same windows, one value per window and side,
// so that the machine's noise falls on both; measured is false when a CPU time could not be read.
struct SideBySide {
    std::vector<double> cpu[2], wakeups[2];
    bool measured = true;
};
SideBySide MeasureSideBySide(const pid_t (&pids)[2], double seconds, int windows);
// The system calls of both processes (all threads) while traced side by side for seconds, by
// strace -f -c with its summaries in dir; -1 for one strace counted nothing.
void CountSystemCalls(const pid_t (&pids)[2], double seconds, const std::string& dir, long (&calls)[2]);

} // namespace approbe::bench
