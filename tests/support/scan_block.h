#pragma once

#include "display.h"
#include "probe_window.h"
#include "reading.h"

namespace approbe::test {

// One received block as the session handles it once the prompts are dealt with: read, added to
// the statistics, shown.
inline Reading ScanBlock(const char* block, Statistics& stats, IProbeWindow& window)
{
    const Reading reading = ParseReading(block);
    Accumulate(stats, reading);
    WindowBatch batch;
    ShowReading(batch, reading, stats);
    window.Apply(batch);
    return reading;
}

} // namespace approbe::test
