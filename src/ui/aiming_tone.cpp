#include "aiming_tone.h"

#include <QAudioDevice>
#include <QAudioSink>
#include <QIODevice>
#include <QMediaDevices>
#include <algorithm>
#include <cstring>
#include <vector>

namespace approbe::ui {

// Pulled by the sink: renders as many whole frames as asked for, in the sink's format.
class ToneDevice : public QIODevice {
public:
    ToneDevice(ToneGenerator& generator, const QAudioFormat& format) : m_generator(generator), m_format(format)
    {
        open(QIODevice::ReadOnly);
    }
    bool isSequential() const override { return true; }
    qint64 bytesAvailable() const override { return 1 << 16; }

protected:
    qint64 readData(char* data, qint64 maxlen) override
    {
        const int channels = m_format.channelCount();
        const int bytes = m_format.bytesPerSample();
        const auto frames = static_cast<std::size_t>(maxlen / (channels * bytes));
        m_mono.resize(frames);
        m_generator.Render(m_mono.data(), frames);
        char* out = data;
        for (float s : m_mono) {
            for (int c = 0; c < channels; ++c) {
                if (m_format.sampleFormat() == QAudioFormat::Float) {
                    std::memcpy(out, &s, sizeof s);
                } else {
                    const auto v = static_cast<qint16>(s * 32767.0f);
                    std::memcpy(out, &v, sizeof v);
                }
                out += bytes;
            }
        }
        return out - data;
    }
    qint64 writeData(const char*, qint64) override { return -1; }

private:
    ToneGenerator& m_generator;
    QAudioFormat m_format;
    std::vector<float> m_mono;
};

CAimingTone::CAimingTone(QObject* parent) : QObject(parent)
{
    // A level that stops coming must silence the tone even though no reading says so.
    m_staleCheck.setInterval(250);
    connect(&m_staleCheck, &QTimer::timeout, this, &CAimingTone::Update);
}

CAimingTone::~CAimingTone() { Stop(); }

QString CAimingTone::Unavailable()
{
    if (QMediaDevices::defaultAudioOutput().isNull())
        return tr("No audio output device");
    return {};
}

bool CAimingTone::Start()
{
    if (m_sink)
        return true;
    const QAudioDevice device = QMediaDevices::defaultAudioOutput();
    if (device.isNull())
        return false;
    QAudioFormat format = device.preferredFormat();
    format.setSampleFormat(QAudioFormat::Int16);
    if (!device.isFormatSupported(format))
        format.setSampleFormat(QAudioFormat::Float);
    if (!device.isFormatSupported(format) || format.sampleRate() <= 0)
        return false;
    m_generator = std::make_unique<ToneGenerator>(format.sampleRate());
    m_device = std::make_unique<ToneDevice>(*m_generator, format);
    m_sink = new QAudioSink(device, format, this);
    // About 100 ms ahead: short enough for the pitch to follow the antenna as it turns.
    m_sink->setBufferSize(format.bytesForDuration(100000));
    Update();
    m_sink->start(m_device.get());
    if (m_sink->error() != QAudio::NoError) {
        Stop();
        return false;
    }
    m_staleCheck.start();
    return true;
}

void CAimingTone::Stop()
{
    m_staleCheck.stop();
    if (m_sink) {
        m_sink->stop();
        delete m_sink;
        m_sink = nullptr;
    }
    m_device.reset();
    m_generator.reset();
}

void CAimingTone::AddReading(const Reading& reading)
{
    m_latest.Update(reading);
    Update();
}

void CAimingTone::setSource(ToneSource source)
{
    m_source = source;
    Update();
}

void CAimingTone::setVolume(int percent)
{
    m_volume = std::clamp(percent, 0, 100);
    Update();
}

void CAimingTone::setMute(bool mute)
{
    m_mute = mute;
    Update();
}

void CAimingTone::Update()
{
    const auto now = LatestLevels::Clock::now();
    std::optional<int> level;
    switch (m_source) {
    case ToneSource::LocalRssi: level = m_latest.local.Fresh(now, kFreshFor); break;
    case ToneSource::RemoteRssi: level = m_latest.remote.Fresh(now, kFreshFor); break;
    case ToneSource::Snr: level = m_latest.Snr(now, kFreshFor); break;
    }
    if (level)
        m_hz = ToneFrequency(m_source, *level);
    m_amp = level && !m_mute ? m_volume / 100.0 : 0.0;
    if (m_generator)
        m_generator->SetTarget(m_hz, m_amp);
}

} // namespace approbe::ui
