#include "process_metrics.h"

#include <dirent.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

namespace approbe::poller {
namespace {

std::string ReadText(const char* path)
{
    std::ifstream in(path);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

} // namespace

std::optional<ProcessStats> ReadProcessStats()
{
    const std::string stat = ReadText("/proc/self/stat");
    const auto paren = stat.rfind(')');
    if (paren == std::string::npos)
        return std::nullopt;
    // The fields after the command's closing parenthesis, from field 3 (state) on: utime is field
    // 14, stime 15, starttime 22 (clock ticks since boot), vsize 23 (bytes), rss 24 (pages).
    std::istringstream rest(stat.substr(paren + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0, start = 0, vsize = 0, rss = 0;
    for (int i = 3; i <= 24 && rest >> field; ++i) {
        const unsigned long long v = std::strtoull(field.c_str(), nullptr, 10);
        if (i == 14)
            utime = v;
        else if (i == 15)
            stime = v;
        else if (i == 22)
            start = v;
        else if (i == 23)
            vsize = v;
        else if (i == 24)
            rss = v;
    }
    const std::string boot = ReadText("/proc/stat");
    const auto btime = boot.find("\nbtime ");
    if (btime == std::string::npos)
        return std::nullopt;
    const double ticks = static_cast<double>(::sysconf(_SC_CLK_TCK));

    ProcessStats p;
    p.cpuSeconds = static_cast<double>(utime + stime) / ticks;
    p.virtualBytes = vsize;
    p.residentBytes = rss * static_cast<unsigned long long>(::sysconf(_SC_PAGESIZE));
    p.startTimeSeconds = static_cast<double>(std::strtoull(boot.c_str() + btime + 7, nullptr, 10)) +
                         static_cast<double>(start) / ticks;
    if (DIR* fds = ::opendir("/proc/self/fd")) {
        while (const dirent* entry = ::readdir(fds))
            p.openFds += entry->d_name[0] != '.';
        ::closedir(fds);
        --p.openFds; // the one the listing itself held
    }
    if (rlimit files{}; ::getrlimit(RLIMIT_NOFILE, &files) == 0)
        p.maxFds = files.rlim_cur;
    return p;
}

} // namespace approbe::poller
