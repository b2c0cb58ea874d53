#include "tone_generator.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace approbe::ui {

double ToneFrequency(ToneSource source, int value)
{
    const double weak = source == ToneSource::Snr ? 5 : -95;
    const double strong = source == ToneSource::Snr ? 45 : -45;
    const double x = std::clamp((value - weak) / (strong - weak), 0.0, 1.0);
    return kToneLowHz + x * (kToneHighHz - kToneLowHz);
}

void ToneGenerator::SetTarget(double hz, double amplitude)
{
    m_targetHz = hz;
    m_targetAmp = std::clamp(amplitude, 0.0, 1.0);
}

void ToneGenerator::Render(float* out, std::size_t n)
{
    // One-pole glides: 30 ms for the pitch, 10 ms for the loudness (fast enough for a stale
    // reading's silence to be heard as one, slow enough not to click).
    const double hzStep = 1.0 - std::exp(-1.0 / (0.030 * m_rate));
    const double ampStep = 1.0 - std::exp(-1.0 / (0.010 * m_rate));
    const double targetHz = m_targetHz, targetAmp = m_targetAmp;
    constexpr double twoPi = 2 * std::numbers::pi;
    for (std::size_t i = 0; i < n; ++i) {
        m_hz += (targetHz - m_hz) * hzStep;
        m_amp += (targetAmp - m_amp) * ampStep;
        m_phase += twoPi * m_hz / m_rate;
        if (m_phase >= twoPi)
            m_phase -= twoPi;
        out[i] = static_cast<float>(m_amp * std::sin(m_phase));
    }
}

} // namespace approbe::ui
