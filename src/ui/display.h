#pragma once

#include <cstdint>
#include <deque>

#include "probe_window.h"
#include "reading.h"
#include "statistics.h"

namespace approbe::ui {

// What a value field holds while it has no value.
inline constexpr const char* kNoValue = " ";

// The bars at rest: range, position, grey.
void InitBars(WindowBatch& window);
void ShowNoiseLevel(WindowBatch& window, int dbm);
// bar is IDC_LOCAL_RSSI_BAR or IDC_REMOTE_RSSI_BAR.
void ShowRssiLevel(WindowBatch& window, int bar, int dbm);
void GreyAllBars(WindowBatch& window);
// The levels a shell's type does not give (their session::kGives* bits clear in gives) show no
// value: their fields empty, their bars at rest, whatever an earlier session left there.
void ShowNotGiven(WindowBatch& window, int gives);

// What the dialog shows for a reading, given the statistics with it already added: the value
// fields and bars in the order they are written (noise: average, bar, current, minimum, maximum;
// local: maximum, minimum, bar, current; remote: bar, current).
void ShowReading(WindowBatch& window, const session::Reading& reading, const Statistics& stats);

// Readings that came one after another, taken together: the latest value of each level and the
// statistics of them all, which is what the window ends with after showing each in turn (a block
// of many lines is then one write of each field, not one per line); and the readings themselves
// for the field tools, the newest kKept of them.
struct ReadingRun {
    static constexpr std::size_t kKept = 1024;
    session::Reading latest;
    Statistics stats;
    std::deque<session::Reading> readings;

    void Add(const session::Reading& reading);
    bool empty() const { return readings.empty(); }
};

// The values the dialog shows for a session: its statistics, restarted with each attempt, and the
// latest levels with them.
class SessionValues {
public:
    void Restart() { m_stats = {}; }
    // Shows the run's latest levels with the statistics that now include the whole run.
    void Show(WindowBatch& window, const ReadingRun& run);
    const Statistics& stats() const { return m_stats; }

private:
    Statistics m_stats;
};

// The received-byte count, "%d".
void ShowRxTotal(WindowBatch& window, std::int64_t total);

} // namespace approbe::ui
