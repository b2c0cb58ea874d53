#include "scanner.h"

#include <cstring>

#include "bars.h"
#include "control_ids.h"
#include "text.h"

namespace approbe {
namespace {

// The number starts one character after the label: the separator is skipped whatever it is.
// A label that ends the text reads as 0, and nothing past the terminating zero is read.
bool FindLabelled(const char* text, const char* label, int& value)
{
    const char* at = std::strstr(text, label);
    if (!at)
        return false;
    const char* after = at + std::strlen(label);
    value = *after ? ParseInt(after + 1) : 0;
    return true;
}

} // namespace

void ScanReply(const char* text, Measurements& m, IProbeWindow& window)
{
    int v = 0;
    if (FindLabelled(text, "Level:", v)) {
        m.m_nLevel = v;
        m.m_nNoiseSum += v;
        m.m_nNoiseCount += 1;
        window.SetField(IDC_NOISE_AVG, FormatDbm(m.m_nNoiseSum / m.m_nNoiseCount));
        if (v >= m.m_nNoiseMax)
            m.m_nNoiseMax = v;
        if (v <= m.m_nNoiseMin)
            m.m_nNoiseMin = v;
        ShowNoiseLevel(window, v);
        window.SetField(IDC_NOISE_CUR, FormatDbm(v));
        window.SetField(IDC_NOISE_MIN, FormatDbm(m.m_nNoiseMin));
        window.SetField(IDC_NOISE_MAX, FormatDbm(m.m_nNoiseMax));
    }
    if (FindLabelled(text, "Local RSSI level:", v)) {
        m.m_nLevel = v;
        if (v >= m.m_nLocalMax)
            m.m_nLocalMax = v;
        if (v <= m.m_nLocalMin)
            m.m_nLocalMin = v;
        window.SetField(IDC_LOCAL_RSSI_MAX, FormatDbm(m.m_nLocalMax));
        window.SetField(IDC_LOCAL_RSSI_MIN, FormatDbm(m.m_nLocalMin));
        ShowRssiLevel(window, IDC_LOCAL_RSSI_BAR, v);
        window.SetField(IDC_LOCAL_RSSI_CUR, FormatDbm(v));
    }
    if (FindLabelled(text, "Remote RSSI level:", v)) {
        m.m_nLevel = v;
        ShowRssiLevel(window, IDC_REMOTE_RSSI_BAR, v);
        window.SetField(IDC_REMOTE_RSSI_CUR, FormatDbm(v));
    }
}

} // namespace approbe
