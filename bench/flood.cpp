// Offscreen, in this process: the peer sends labelled text as fast as loopback allows. Blocks
// processed per second and the UI thread's event latency (a 10 ms timer's lateness) meanwhile, then
// how long Disconnect takes to end the session. Judged against absolute limits; the throughput
// against the floor is measured on the X display (xsession).
#include <thread>

#include "bench_support.h"
#include "benchmarks.h"
#include "control_ids.h"

namespace approbe::bench {

using ui::IDC_RX_BYTES;

int RunFlood(const Options& o)
{
    const double seconds = o.seconds > 0 ? o.seconds : 10;
    Peer peer;
    DialogRig rig(peer.port());
    if (!LogIn(peer, rig, "flood"))
        return 1;
    ChangeCounter blocks(rig.field(IDC_RX_BYTES));
    TimerLateness lateness;

    // The program under a flood.
    std::string text;
    for (long i = 0; text.size() < 65536; ++i)
        text += BlockText(ReadingFor(i));
    std::atomic<bool> stop{false};
    long long sent = 0;
    std::thread flooder([&] { sent = peer.Flood(text, stop, Clock::now() + 10s + std::chrono::milliseconds(static_cast<long>(seconds * 1000)));
    });
    ServeFor(300ms);
    lateness.Start();
    const long before = blocks.count();
    const std::int64_t start = NowNs();
    ServeFor(std::chrono::milliseconds(static_cast<long>(seconds * 1000)));
    const double elapsed = static_cast<double>(NowNs() - start) / 1e9;
    const long processed = blocks.count() - before;
    lateness.Stop();
    const std::vector<double> ourLate = lateness.ms();
    const long rxBefore = rig.field(IDC_RX_BYTES)->text().toLong();
    const double disconnectMs = rig.DisconnectMs(5s);
    stop = true;
    flooder.join();
    if (disconnectMs < 0) {
        std::fputs("flood: the session did not end within 5 s of Disconnect\n", stderr);
        return 1;
    }

    const double ourRate = static_cast<double>(processed) / elapsed;
    Note("offscreen flood %.1f s: %ld blocks, %.0f kB/s taken of %.0f kB sent", elapsed, processed,
         static_cast<double>(rxBefore) / 1e3 / (elapsed + 0.3), static_cast<double>(sent) / 1e3);
    Note("offscreen UI timer lateness ms: p50 %.2f p99 %.2f max %.2f (%zu ticks)", Percentile(ourLate, 50),
         Percentile(ourLate, 99), Percentile(ourLate, 100), ourLate.size());
    Note("Disconnect during the flood: session ended after %.1f ms", disconnectMs);
    Result("flood_blocks_per_s.ours", ourRate);
    Result("flood_ui_p99_ms.ours", Percentile(ourLate, 99));
    Result("flood_disconnect_ms.ours", disconnectMs);
    return 0;
}

} // namespace approbe::bench
