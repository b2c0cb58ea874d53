#pragma once

#include <QObject>
#include <QTimer>
#include <functional>
#include <memory>

#include "levels.h"
#include "tone_generator.h"
#include "tone_output.h"

namespace approbe::ui {

// The aiming tone on the default audio output: the level chosen sets the pitch, a stale level
// silences it, mute and volume apply at once. It never clicks: switched on it fades in, switched
// off (the program closing too) it fades out, and the output is let go only once all it still
// holds is silence.
class CAimingTone : public QObject, private IToneFeed {
    Q_OBJECT
public:
    using OutputFactory = std::function<std::unique_ptr<IToneOutput>(QString& error)>;

    // By default the output comes from the audio module, loaded on first use.
    explicit CAimingTone(QObject* parent = nullptr);
    ~CAimingTone() override;
    // Another output (tests: one that is pulled by hand). Before the first use.
    void setOutputFactory(OutputFactory factory) { m_factory = std::move(factory); }

    // Why no tone can be played (no audio output device, or the audio module missing), or
    // empty when it can.
    QString Unavailable();

    // False (and nothing playing) when the output cannot be opened.
    bool Start();
    // Fades out; the output is closed when the fade has been heard.
    void Stop();
    // Stop, and wait until the output is closed (serving events other than the user's, a moment
    // longer than the fade and what the output holds): for the end of the program, which would
    // otherwise cut the tone off.
    void StopAndWait();
    bool playing() const { return m_generator.on() && m_open; }
    // The output is open: playing, or still fading out.
    bool outputOpen() const { return m_open; }

    void AddReading(const session::Reading& reading);
    // The shell's type gives only these levels (session::kGives* bits): a tone of another falls silent.
    void KeepOnly(int gives);
    void setSource(ToneSource source);
    void setVolume(int percent);
    void setMute(bool mute);

    // The frequency and loudness asked of the generator now (0 amplitude: silent).
    double targetHz() const { return m_hz; }
    double targetAmplitude() const { return m_amp; }

signals:
    void outputClosed();

private:
    void Prepare(const ToneFormat& format) override;
    std::size_t Fill(char* out, std::size_t bytes) override;
    IToneOutput* Output(QString& error);
    void Update();
    // While fading out: closes the output once what it still holds is silence.
    void CloseWhenSilent();
    // Silent frames rendered after which all the output still plays is silence.
    std::size_t ReleaseAfter() const;

    LatestLevels m_latest;
    ToneSource m_source = ToneSource::LocalRssi;
    int m_volume = 50;
    bool m_mute = false;
    double m_hz = kToneLowHz, m_amp = 0;
    QTimer m_staleCheck, m_release;
    ToneGenerator m_generator;
    ToneFormat m_format;
    OutputFactory m_factory;
    std::unique_ptr<IToneOutput> m_output;
    QString m_outputError;
    bool m_triedOutput = false, m_open = false;
};

} // namespace approbe::ui
