#pragma once

#include "probe_window.h"
#include "reading.h"

namespace approbe {

// The bars at rest: range, position, grey.
void InitBars(WindowBatch& window);
void ShowNoiseLevel(WindowBatch& window, int dbm);
// bar is IDC_LOCAL_RSSI_BAR or IDC_REMOTE_RSSI_BAR.
void ShowRssiLevel(WindowBatch& window, int bar, int dbm);
void GreyAllBars(WindowBatch& window);

// What the dialog shows for a reading, given the statistics with it already added: the value
// fields and bars in the order they are written (noise: average, bar, current, minimum, maximum;
// local: maximum, minimum, bar, current; remote: bar, current).
void ShowReading(WindowBatch& window, const Reading& reading, const Statistics& stats);

// Readings that follow each other in one step, shown once: the latest value of each level with
// the statistics after the last of them. A block of many lines is then one write of each field,
// not one per line, and the window ends as it would after showing each in turn.
class ReadingsToShow {
public:
    void Add(const Reading& reading, const Statistics& stats);
    // Shows what was added since the last Show, if anything.
    void Show(WindowBatch& window);
    bool empty() const { return !m_latest.any(); }

private:
    Reading m_latest;
    Statistics m_stats;
};

// The received-byte count, "%d".
void ShowRxTotal(WindowBatch& window, std::int64_t total);

} // namespace approbe
