#include "process_metrics.h"

#include <dirent.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
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

// Since Linux 6.2 the size of /proc/self/fd is the number of open descriptors, counted in the
// kernel's bitmap at once; before, it is 0 and the directory is listed, a few microseconds each.
std::uint64_t OpenDescriptors()
{
    if (struct stat st{}; ::stat("/proc/self/fd", &st) == 0 && st.st_size > 0)
        return static_cast<std::uint64_t>(st.st_size);
    std::uint64_t open = 0;
    if (DIR* fds = ::opendir("/proc/self/fd")) {
        while (const dirent* entry = ::readdir(fds))
            open += entry->d_name[0] != '.';
        ::closedir(fds);
        --open; // the one the listing itself held
    }
    return open;
}

} // namespace

std::uint64_t DescriptorLimit()
{
    rlimit files{};
    return ::getrlimit(RLIMIT_NOFILE, &files) == 0 ? files.rlim_cur : 0;
}

std::uint64_t DescriptorsNeeded(std::size_t sessions, unsigned httpConnections)
{
    constexpr std::uint64_t kOwn = 64; // standard streams, epoll, signalfd, eventfds, the listener, lookups
    return sessions + httpConnections + kOwn;
}

std::uint64_t RecordingFilesOpenAtMost(std::size_t sessions, unsigned httpConnections)
{
    const std::uint64_t need = DescriptorsNeeded(sessions, httpConnections), limit = DescriptorLimit();
    return limit > need ? limit - need : 0;
}

std::string DescriptorShortfall(std::size_t sessions, bool recording, unsigned httpConnections)
{
    const std::uint64_t withoutFiles = DescriptorsNeeded(sessions, httpConnections),
                        need = withoutFiles + (recording ? sessions : 0), limit = DescriptorLimit();
    if (limit >= need)
        return {};
    const std::uint64_t held = std::min<std::uint64_t>(RecordingFilesOpenAtMost(sessions, httpConnections), sessions);
    std::string what;
    if (limit < withoutFiles)
        what = recording ? "some sessions will fail to connect, and every recording is reopened for each row"
                         : "some sessions will fail to connect";
    else
        what = "the recordings of " + std::to_string(held) + " access points are held open, those of the other " +
               std::to_string(sessions - held) + " reopened for each row";
    return "the descriptor limit is " + std::to_string(limit) + ", below the " + std::to_string(need) +
           " this config needs (" + std::to_string(sessions) + " access points" +
           (recording ? " with their recordings" : "") + ", /metrics and the process): " + what +
           "; raise LimitNOFILE in the unit or ulimit -n";
}

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
    p.openFds = OpenDescriptors();
    p.maxFds = DescriptorLimit();
    return p;
}

} // namespace approbe::poller
