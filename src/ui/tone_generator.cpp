#include "tone_generator.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>
#include <vector>

namespace approbe::ui {
namespace {

// Below this a fading amplitude is taken as silence: under a tenth of the 16-bit output's
// smallest step at full volume, so the last step to zero is inaudible.
constexpr double kSilentAmp = 1e-5;

} // namespace

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
    const double targetHz = m_targetHz, targetAmp = m_on ? m_targetAmp.load() : 0.0;
    constexpr double twoPi = 2 * std::numbers::pi;
    std::uint64_t silent = m_silentFrames;
    for (std::size_t i = 0; i < n; ++i) {
        if (m_amp == 0) {
            if (targetAmp == 0) {
                out[i] = 0;
                ++silent;
                continue;
            }
            // Out of silence: the pitch of the level now, from a zero crossing.
            m_hz = targetHz;
            m_phase = 0;
            silent = 0;
        }
        m_hz += (targetHz - m_hz) * hzStep;
        m_amp += (targetAmp - m_amp) * ampStep;
        if (targetAmp == 0 && m_amp < kSilentAmp)
            m_amp = 0;
        m_phase += twoPi * m_hz / m_rate;
        if (m_phase >= twoPi)
            m_phase -= twoPi;
        out[i] = static_cast<float>(m_amp * std::sin(m_phase));
    }
    m_silentFrames = silent;
}

std::size_t ToneGenerator::RenderFrames(char* out, std::size_t bytes, const ToneFormat& format)
{
    const std::size_t frames = bytes / static_cast<std::size_t>(format.bytesPerFrame());
    thread_local std::vector<float> mono;
    mono.resize(frames);
    Render(mono.data(), frames);
    char* at = out;
    for (float s : mono) {
        for (int c = 0; c < format.channels; ++c) {
            if (format.float32) {
                std::memcpy(at, &s, sizeof s);
                at += sizeof s;
            } else {
                const auto v = static_cast<std::int16_t>(std::lround(s * 32767.0f));
                std::memcpy(at, &v, sizeof v);
                at += sizeof v;
            }
        }
    }
    return static_cast<std::size_t>(at - out);
}

} // namespace approbe::ui
