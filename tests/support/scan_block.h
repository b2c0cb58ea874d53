#pragma once

#include "display.h"
#include "probe_window.h"
#include "reading.h"

namespace approbe::test {

// A text as one poll's replies once the prompts are dealt with: read (the first noise floor and
// station row), then shown as the dialog shows a reading, its statistics included.
inline Reading ScanBlock(const char* block, SessionValues& values, IProbeWindow& window)
{
    ReadingRun run;
    run.Add(ParseReading(block));
    WindowBatch batch;
    values.Show(batch, run);
    window.Apply(batch);
    return run.readings.back();
}

} // namespace approbe::test
