#pragma once

#include <atomic>
#include <cstddef>

// The aiming tone's sound, as samples: no audio device is needed to make or test it.
namespace approbe::ui {

enum class ToneSource { LocalRssi, RemoteRssi, Snr };

inline constexpr double kToneLowHz = 300, kToneHighHz = 1500;

// The pitch for a level: linear from the weak end to the strong end of the source's range
// (RSSI -95..-45 dBm, SNR 5..45 dB), clamped.
double ToneFrequency(ToneSource source, int value);

// A sine whose frequency and amplitude glide to their targets within a few tens of
// milliseconds, with the phase carried on: a new level changes the pitch without a click.
// SetTarget may be called from any thread; Render from one thread at a time.
class ToneGenerator {
public:
    explicit ToneGenerator(int sampleRate) : m_rate(sampleRate) {}
    void SetTarget(double hz, double amplitude);
    // n mono samples in -1..1.
    void Render(float* out, std::size_t n);
    int sampleRate() const { return m_rate; }

private:
    const int m_rate;
    std::atomic<double> m_targetHz{kToneLowHz}, m_targetAmp{0};
    double m_hz = kToneLowHz, m_amp = 0, m_phase = 0;
};

} // namespace approbe::ui
