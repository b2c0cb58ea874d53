#pragma once

// The benchmarks bench/run runs; each prints "RESULT key value" lines and returns 0 when it ran.
namespace approbe::bench {

struct Options {
    long replies = 0;   // latency, memory
    double seconds = 0; // flood, idle
    int runs = 0;       // startup
    bool floor = false; // idle: the floor instead of the program
};

int RunLatency(const Options& o);
int RunStartup(const Options& o);
int RunIdle(const Options& o);
int RunFlood(const Options& o);
int RunMemory(const Options& o);

} // namespace approbe::bench
