// Figure 5: resident memory after 1,000 and after 100,000 replies through one session, the peer
// sending each reply as soon as the previous one is on screen. Floor: blocks of the same window
// calls from a plain thread, with no socket; a tenth as many, to keep bench/run short.
#include <thread>

#include "bench_support.h"
#include "benchmarks.h"
#include "control_ids.h"

namespace approbe::bench {

int RunMemory(const Options& o)
{
    const long total = o.replies > 0 ? o.replies : 100000;
    const long early = std::min<long>(1000, total);
    const long floorTotal = std::max(early, total / 10);
    Peer peer;
    DialogRig rig(peer.port());
    if (!LogIn(peer, rig, "memory"))
        return 1;
    PaintProbe probe(rig.field(IDC_REMOTE_RSSI_CUR));
    MirrorWriter mirror(rig);
    long oursEarly = 0, oursLate = 0, floorEarly = 0, floorLate = 0;
    double oursSeconds = 0, floorSeconds = 0;
    bool failed = false;
    const bool finished = ServeWhile(
        [&](const std::atomic<bool>& abort) {
            long i = 0;
            std::int64_t start = NowNs();
            for (long n = 1; n <= total && !failed && !abort; ++n) {
                const Reading r = ReadingFor(i++);
                probe.Arm(DbmText(r.remote));
                peer.Drain();
                failed = !peer.Send(BlockText(r)) || probe.Wait(2s) < 0;
                if (n == early)
                    oursEarly = RssKb();
                if (n % 20000 == 0)
                    Note("program: %ld replies, RSS %ld kB", n, RssKb());
            }
            oursLate = RssKb();
            oursSeconds = static_cast<double>(NowNs() - start) / 1e9;
            start = NowNs();
            for (long n = 1; n <= floorTotal && !failed && !abort; ++n) {
                const Reading r = ReadingFor(i++);
                probe.Arm(DbmText(r.remote));
                mirror.Block(r, 80);
                failed = probe.Wait(2s) < 0;
                if (n == early)
                    floorEarly = RssKb();
            }
            floorLate = RssKb();
            floorSeconds = static_cast<double>(NowNs() - start) / 1e9;
        },
        560s);
    if (!finished || failed) {
        std::fputs("memory: a reply was not painted within 2 s, or the run took too long\n", stderr);
        return 1;
    }
    Note("program: RSS %ld kB after %ld replies, %ld kB after %ld (%.0f replies/s)", oursEarly, early, oursLate, total,
         static_cast<double>(total) / oursSeconds);
    Note("floor: RSS %ld kB after %ld blocks, %ld kB after %ld (%.0f blocks/s)", floorEarly, early, floorLate,
         floorTotal, static_cast<double>(floorTotal) / floorSeconds);
    Result("mem_growth_kb.ours", static_cast<double>(oursLate - oursEarly));
    Result("mem_growth_kb.floor", static_cast<double>(floorLate - floorEarly));
    Result("mem_rss_early_kb.ours", static_cast<double>(oursEarly));
    Result("mem_rss_late_kb.ours", static_cast<double>(oursLate));
    return 0;
}

} // namespace approbe::bench
