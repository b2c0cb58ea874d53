#include "thread_priority.h"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>

namespace approbe::poller {

namespace {

// The calling thread's nice value (on Linux each thread has its own).
int OwnNice()
{
    errno = 0;
    const int nice = ::getpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()));
    return errno == 0 ? nice : 0;
}

} // namespace

void RunBehindTheLoop()
{
    ::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), std::min(OwnNice() + 5, 19));
}

void RunAsTheLoop()
{
    // struct sched_attr as the kernel takes it (linux/sched/types.h); for SCHED_OTHER, runtime is
    // the slice asked for.
    struct {
        std::uint32_t size;
        std::uint32_t policy;
        std::uint64_t flags;
        std::int32_t nice;
        std::uint32_t priority;
        std::uint64_t runtime, deadline, period;
    } attr{sizeof attr, SCHED_OTHER, 0, OwnNice(), 0, 500'000, 0, 0};
    if (::sched_getscheduler(0) == SCHED_OTHER) // an operator's real-time policy is left alone
        ::syscall(SYS_sched_setattr, 0, &attr, 0u);
}

} // namespace approbe::poller
