#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

// The aiming tone's sound, as samples: no audio device is needed to make or test it.
namespace approbe::ui {

enum class ToneSource { LocalRssi, RemoteRssi, Snr };

inline constexpr double kToneLowHz = 300, kToneHighHz = 1500;

// The pitch for a level: linear from the weak end to the strong end of the source's range
// (RSSI -95..-45 dBm, SNR 5..45 dB), clamped.
double ToneFrequency(ToneSource source, int value);

// How an output wants its frames: interleaved channels of 16-bit integers or 32-bit floats.
struct ToneFormat {
    int rate = 48000;
    int channels = 1;
    bool float32 = false;
    int bytesPerFrame() const { return channels * (float32 ? 4 : 2); }
};

// A sine whose frequency and amplitude glide to their targets within a few tens of
// milliseconds, with the phase carried on: a new level changes the pitch without a click.
// Every silence is reached by fading, and every sound starts from silence at the pitch of its
// level: switched off, muted or stale, the tone fades out; from silence it fades in at once at
// the new pitch rather than gliding from the old one.
// SetTarget, SetOn and the readers may be called from any thread; Render from one thread at a time.
class ToneGenerator {
public:
    explicit ToneGenerator(int sampleRate = 48000) : m_rate(sampleRate) {}
    // Only while nothing renders (before an output starts pulling).
    void setSampleRate(int rate) { m_rate = rate; }
    int sampleRate() const { return m_rate; }
    // Silent at once, for a new output; only while nothing renders.
    void Reset() { m_amp = 0; }

    void SetTarget(double hz, double amplitude);
    // Off fades to silence whatever the target; on fades back in to it.
    void SetOn(bool on) { m_on = on; }
    bool on() const { return m_on; }
    // Frames rendered at exactly zero since the sound last faded out (0 while it sounds): once
    // an output holds no more than this many frames, all it still has to play is silence.
    std::uint64_t silentFrames() const { return m_silentFrames; }

    // n mono samples in -1..1.
    void Render(float* out, std::size_t n);
    // As many whole frames as fit in bytes, in the output's format; returns the bytes written.
    std::size_t RenderFrames(char* out, std::size_t bytes, const ToneFormat& format);

private:
    int m_rate;
    std::atomic<double> m_targetHz{kToneLowHz}, m_targetAmp{0};
    std::atomic<bool> m_on{true};
    std::atomic<std::uint64_t> m_silentFrames{0};
    double m_hz = kToneLowHz, m_amp = 0, m_phase = 0;
};

} // namespace approbe::ui
