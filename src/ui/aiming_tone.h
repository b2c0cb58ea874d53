#pragma once

#include <QAudioFormat>
#include <QObject>
#include <QTimer>
#include <memory>

#include "levels.h"
#include "tone_generator.h"

class QAudioSink;

namespace approbe::ui {

class ToneDevice;

// The aiming tone on the default audio output: the level chosen sets the pitch, a stale level
// silences it, mute and volume apply at once.
class CAimingTone : public QObject {
    Q_OBJECT
public:
    explicit CAimingTone(QObject* parent = nullptr);
    ~CAimingTone() override;

    // Why no tone can be played (no audio output device), or empty when it can.
    static QString Unavailable();

    // False (and nothing playing) when the output cannot be opened.
    bool Start();
    void Stop();
    bool playing() const { return m_sink != nullptr; }

    void AddReading(const Reading& reading);
    void setSource(ToneSource source);
    void setVolume(int percent);
    void setMute(bool mute);

    // The frequency and loudness asked of the generator now (0 amplitude: silent).
    double targetHz() const { return m_hz; }
    double targetAmplitude() const { return m_amp; }

private:
    void Update();

    LatestLevels m_latest;
    ToneSource m_source = ToneSource::LocalRssi;
    int m_volume = 50;
    bool m_mute = false;
    double m_hz = kToneLowHz, m_amp = 0;
    QTimer m_staleCheck;
    std::unique_ptr<ToneGenerator> m_generator;
    std::unique_ptr<ToneDevice> m_device;
    QAudioSink* m_sink = nullptr;
};

} // namespace approbe::ui
