#pragma once

namespace approbe::poller {

// The loop's timing comes first (every poll within a few ms of its second): the threads that serve
// scrapes and write recordings yield to it when they share a busy core.

// The calling thread runs at a lower priority (nice 5).
void RunBehindTheLoop();
// The calling thread asks for short time slices, so that it runs soon after it wakes on a busy core.
// A hint the scheduler takes since Linux 6.12 and earlier ones ignore.
void RunAsTheLoop();

} // namespace approbe::poller
