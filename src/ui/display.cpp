#include "display.h"

#include <string>

#include "bars.h"
#include "control_ids.h"
#include "device_type.h"
#include "text.h"

namespace approbe::ui {
namespace {

using session::Reading;

constexpr int kAllBars[] = {IDC_NOISE_BAR, IDC_LOCAL_RSSI_BAR, IDC_REMOTE_RSSI_BAR};

// Each level's bar and the fields that show it or its statistics.
struct LevelControls {
    int given; // its session::kGives* bit
    int bar;
    std::initializer_list<int> fields;
};
const LevelControls kLevelControls[] = {
    {session::kGivesNoise, IDC_NOISE_BAR, {IDC_NOISE_CUR, IDC_NOISE_AVG, IDC_NOISE_MIN, IDC_NOISE_MAX}},
    {session::kGivesLocal, IDC_LOCAL_RSSI_BAR, {IDC_LOCAL_RSSI_CUR, IDC_LOCAL_RSSI_MAX, IDC_LOCAL_RSSI_MIN}},
    {session::kGivesRemote, IDC_REMOTE_RSSI_BAR, {IDC_REMOTE_RSSI_CUR}},
};

} // namespace

void InitBars(WindowBatch& window)
{
    for (int bar : kAllBars) {
        window.SetBarRange(bar, kBarMin, kBarMax);
        window.SetBarPos(bar, kBarRestPos);
    }
    GreyAllBars(window);
}

void ShowNoiseLevel(WindowBatch& window, int dbm)
{
    const int pos = BarPosition(dbm, kNoiseOffset);
    window.SetBarPos(IDC_NOISE_BAR, pos);
    window.SetBarColour(IDC_NOISE_BAR, NoiseColour(pos));
}

void ShowRssiLevel(WindowBatch& window, int bar, int dbm)
{
    const int pos = BarPosition(dbm, kRssiOffset);
    window.SetBarPos(bar, pos);
    window.SetBarColour(bar, RssiColour(pos));
}

void GreyAllBars(WindowBatch& window)
{
    for (int bar : kAllBars)
        window.SetBarColour(bar, kGrey);
}

void ShowNotGiven(WindowBatch& window, int gives)
{
    for (const LevelControls& level : kLevelControls) {
        if (gives & level.given)
            continue;
        for (int field : level.fields)
            window.SetField(field, kNoValue);
        window.SetBarPos(level.bar, kBarRestPos);
        window.SetBarColour(level.bar, kGrey);
    }
}

void ShowReading(WindowBatch& window, const Reading& r, const Statistics& s)
{
    if (r.noise) {
        window.SetField(IDC_NOISE_AVG, FormatDbm(s.NoiseAverage()));
        ShowNoiseLevel(window, *r.noise);
        window.SetField(IDC_NOISE_CUR, FormatDbm(*r.noise));
        window.SetField(IDC_NOISE_MIN, FormatDbm(s.m_nNoiseMin));
        window.SetField(IDC_NOISE_MAX, FormatDbm(s.m_nNoiseMax));
    }
    if (r.local) {
        window.SetField(IDC_LOCAL_RSSI_MAX, FormatDbm(s.m_nLocalMax));
        window.SetField(IDC_LOCAL_RSSI_MIN, FormatDbm(s.m_nLocalMin));
        ShowRssiLevel(window, IDC_LOCAL_RSSI_BAR, *r.local);
        window.SetField(IDC_LOCAL_RSSI_CUR, FormatDbm(*r.local));
    }
    if (r.remote) {
        ShowRssiLevel(window, IDC_REMOTE_RSSI_BAR, *r.remote);
        window.SetField(IDC_REMOTE_RSSI_CUR, FormatDbm(*r.remote));
    }
}

void ReadingRun::Add(const Reading& reading)
{
    for (auto level : {&Reading::noise, &Reading::local, &Reading::remote}) {
        if (reading.*level)
            latest.*level = reading.*level;
    }
    stats.Add(reading);
    if (readings.size() == kKept)
        readings.pop_front();
    readings.push_back(reading);
}

void SessionValues::Show(WindowBatch& window, const ReadingRun& run)
{
    m_stats.Add(run.stats);
    ShowReading(window, run.latest, m_stats);
}

void ShowRxTotal(WindowBatch& window, std::int64_t total)
{
    window.SetField(IDC_RX_BYTES, std::to_string(total));
}

} // namespace approbe::ui
