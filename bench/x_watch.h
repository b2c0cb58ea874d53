#pragma once

// Watching the X server from outside the program measured: which windows a process maps and when
// their contents change on screen (the DAMAGE extension), the same way for the program and its
// floor, with nothing built into either.

#include <sys/types.h>
#include <xcb/xcb.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "bench_support.h"

namespace approbe::bench {

class XWatch {
public:
    // Connects to $DISPLAY; throws when there is none or it has no DAMAGE extension.
    XWatch();
    ~XWatch();
    XWatch(const XWatch&) = delete;
    XWatch& operator=(const XWatch&) = delete;

    // The first window of pid that is mapped, or 0 after the deadline.
    std::uint32_t WaitMapped(pid_t pid, Clock::time_point deadline);
    // The time of the next change on screen of window (0: any window created since this watch
    // began), or -1 after the deadline.
    std::int64_t NextDamage(std::uint32_t window, Clock::time_point deadline);
    // The last change of window in a burst: waits for the first, then until none has come for quiet.
    std::int64_t LastDamage(std::uint32_t window, Clock::time_point deadline, std::chrono::milliseconds quiet);
    // Drops the changes seen so far.
    void Forget();

private:
    // Handles what has arrived, waiting until the deadline for something; false when nothing came.
    bool Pump(Clock::time_point deadline);
    pid_t PidOf(std::uint32_t window);
    xcb_connection_t* m_c = nullptr;
    std::uint32_t m_root = 0, m_pidAtom = 0;
    std::uint8_t m_damageEvent = 0;
    std::map<std::uint32_t, pid_t> m_mapped;
    struct Damage {
        std::uint32_t window;
        std::int64_t ns;
    };
    std::vector<Damage> m_damage;
};

} // namespace approbe::bench
