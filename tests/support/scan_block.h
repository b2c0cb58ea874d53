#pragma once

#include "display.h"
#include "probe_window.h"
#include "reading.h"

namespace approbe::test {

// A text as the session handles a poll's replies once the prompts are dealt with: read (the
// first noise floor and station row), added to the statistics, shown.
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
