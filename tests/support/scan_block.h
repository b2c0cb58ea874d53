#pragma once

#include "display.h"
#include "probe_window.h"
#include "reading.h"

namespace approbe::test {

// A text as one poll's replies once the prompts are dealt with: read (the first noise floor and
// station row), then shown as the dialog shows a reading, its statistics included.
inline session::Reading ScanBlock(const char* block, ui::SessionValues& values, ui::IProbeWindow& window)
{
    ui::ReadingRun run;
    run.Add(session::ParseReading(block));
    ui::WindowBatch batch;
    values.Show(batch, run);
    window.Apply(batch);
    return run.readings.back();
}

} // namespace approbe::test
