#pragma once

// The benchmarks bench/run runs; each prints "RESULT key value" lines and returns 0 when it ran.
namespace approbe::bench {

struct Options {
    long replies = 0;   // xsession: latency replies a side
    long memory = 0;    // xsession: replies for the memory figure
    double seconds = 0; // flood, xsession (flood), xidle
    int runs = 0;       // xstartup, trendredraw
    int port = 0;       // xsession, xidle: approbe's port (3 digits: inside a private network namespace)
};

// On the X display ($DISPLAY), the real programs watched from outside.
int RunXStartup(const Options& o);
int RunXSession(const Options& o);
int RunXIdle(const Options& o);
// The same session with every field tool off and with the trend window open and recording on.
int RunXTools(const Options& o);
// In this process on the X display: the trend window redrawing a 30-minute history.
int RunTrendRedraw(const Options& o);
// In this process on the offscreen platform: the dialog under a flood, Disconnect meanwhile.
int RunFlood(const Options& o);

} // namespace approbe::bench
