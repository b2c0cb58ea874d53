// Figure 1: from the peer's send of a block carrying all three labels to the moment the last of
// the window writes it causes has been painted. Floor: the same window calls, made the same
// synchronous cross-thread way from a plain thread, with no socket.
#include <thread>

#include "bench_support.h"
#include "benchmarks.h"
#include "control_ids.h"

namespace approbe::bench {

int RunLatency(const Options& o)
{
    const long perSide = o.replies > 0 ? o.replies : 2000;
    Peer peer;
    DialogRig rig(peer.port());
    if (!LogIn(peer, rig, "latency"))
        return 1;

    PaintProbe probe(rig.field(IDC_REMOTE_RSSI_CUR));
    CallCounter calls(&rig.dlg());
    MirrorWriter mirror(rig);
    std::vector<double> ours, floor;
    ours.reserve(static_cast<std::size_t>(perSide));
    floor.reserve(static_cast<std::size_t>(perSide));
    long programBlocks = 0, programCalls = 0;
    bool failed = false;

    const bool finished = ServeWhile(
        [&](const std::atomic<bool>& abort) {
            long i = 0;
            auto program = [&](bool record) {
                const Reading r = ReadingFor(i++);
                const std::string text = BlockText(r);
                probe.Arm(DbmText(r.remote));
                peer.Drain();
                const long callsBefore = calls.count();
                const std::int64_t sent = NowNs();
                if (!peer.Send(text))
                    return false;
                const std::int64_t painted = probe.Wait(2s);
                if (painted < 0)
                    return false;
                if (record) {
                    ours.push_back(static_cast<double>(painted - sent) / 1e3);
                    programCalls += calls.count() - callsBefore;
                    ++programBlocks;
                }
                return true;
            };
            auto plain = [&](bool record) {
                const Reading r = ReadingFor(i++);
                probe.Arm(DbmText(r.remote));
                const std::int64_t start = NowNs();
                mirror.Block(r, static_cast<long>(BlockText(r).size()));
                const std::int64_t painted = probe.Wait(2s);
                if (painted < 0)
                    return false;
                if (record)
                    floor.push_back(static_cast<double>(painted - start) / 1e3);
                return true;
            };
            // Warm-up, then both sides in alternating chunks so that both see the same noise.
            for (int k = 0; k < 100 && !failed && !abort; ++k)
                failed = !program(false) || !plain(false);
            constexpr int kChunks = 10;
            for (int c = 0; c < kChunks && !failed && !abort; ++c) {
                const long n = perSide / kChunks + (c < perSide % kChunks ? 1 : 0);
                for (int side = 0; side < 2 && !failed; ++side) {
                    const bool programFirst = c % 2 == 0;
                    const bool doProgram = (side == 0) == programFirst;
                    for (long k = 0; k < n && !failed && !abort; ++k)
                        failed = doProgram ? !program(true) : !plain(true);
                }
            }
        },
        300s);
    if (!finished || failed) {
        std::fputs("latency: a block was not painted within 2 s\n", stderr);
        return 1;
    }
    Note("reply-to-screen latency over %zu replies and %zu floor blocks; window calls per block: program %.2f, floor %d",
         ours.size(), floor.size(), programBlocks ? static_cast<double>(programCalls) / static_cast<double>(programBlocks) : 0.0,
         MirrorWriter::kCallsPerBlock);
    Note("program us: p50 %.0f p90 %.0f p99 %.0f max %.0f; floor us: p50 %.0f p90 %.0f p99 %.0f max %.0f",
         Percentile(ours, 50), Percentile(ours, 90), Percentile(ours, 99), Percentile(ours, 100), Percentile(floor, 50),
         Percentile(floor, 90), Percentile(floor, 99), Percentile(floor, 100));
    Result("lat_p50_us.ours", Percentile(ours, 50));
    Result("lat_p50_us.floor", Percentile(floor, 50));
    Result("lat_p99_us.ours", Percentile(ours, 99));
    Result("lat_p99_us.floor", Percentile(floor, 99));
    return 0;
}

} // namespace approbe::bench
