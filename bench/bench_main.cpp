// approbe-bench NAME [options]: one benchmark, run once; bench/run runs each several times.
#include <QApplication>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>
#include <unistd.h>

#include "benchmarks.h"

namespace {

int Usage()
{
    std::fputs("usage: approbe-bench xstartup [--runs N] | xsession [--port P] [--replies N] [--memory N] [--seconds S]\n"
               "                     | xidle [--port P] [--seconds S] | xtools [--port P] [--seconds S] | flood [--seconds S]\n"
               "                     | trendredraw [--runs N]\n",
               stderr);
    return 2;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2)
        return Usage();
    const std::string name = argv[1];
    approbe::bench::Options o;
    for (int i = 2; i < argc; ++i) {
        const std::string arg = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        if (arg == "--memory" && value) {
            o.memory = std::atol(value), ++i;
        } else if (arg == "--port" && value) {
            o.port = std::atoi(value), ++i;
        } else if (arg == "--replies" && value) {
            o.replies = std::atol(value), ++i;
        } else if (arg == "--seconds" && value) {
            o.seconds = std::atof(value), ++i;
        } else if (arg == "--runs" && value) {
            o.runs = std::atoi(value), ++i;
        } else {
            return Usage();
        }
    }
    // Whatever happens, the benchmark ends by itself.
    ::alarm(600);
    try {
        if (name == "xstartup")
            return approbe::bench::RunXStartup(o);
        if (name == "xsession")
            return approbe::bench::RunXSession(o);
        if (name == "xidle")
            return approbe::bench::RunXIdle(o);
        if (name == "xtools")
            return approbe::bench::RunXTools(o);
        if (name == "trendredraw") {
            // What users see: painted and flushed to the X display.
            qputenv("QT_QPA_PLATFORM", "xcb");
            QApplication app(argc, argv);
            return approbe::bench::RunTrendRedraw(o);
        }
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
            qputenv("QT_QPA_PLATFORM", "offscreen");
        QApplication app(argc, argv);
        if (name == "flood")
            return approbe::bench::RunFlood(o);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "approbe-bench %s: %s\n", name.c_str(), e.what());
        return 1;
    }
    return Usage();
}
