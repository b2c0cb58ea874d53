#include "bars.h"

#include <algorithm>
#include <climits>

#include "control_ids.h"

namespace approbe {
namespace {

constexpr int kAllBars[] = {IDC_NOISE_BAR, IDC_LOCAL_RSSI_BAR, IDC_REMOTE_RSSI_BAR};

} // namespace

int BarPosition(int dbm, int offset)
{
    const std::int64_t pos = std::int64_t{dbm} + offset;
    return static_cast<int>(std::clamp<std::int64_t>(pos, INT_MIN, INT_MAX));
}

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

} // namespace approbe
