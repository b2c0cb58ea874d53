// The aiming tone's output on Qt Multimedia: the only code that links it, built as a module that
// the program loads when the tone is first needed (see tone_output.h).
#include <QAudioDevice>
#include <QAudioSink>
#include <QIODevice>
#include <QMediaDevices>
#include <memory>

#include "tone_output.h"

namespace approbe::ui {
namespace {

// Pulled by the sink: as many whole frames as asked for, from the feed. Unbuffered: a buffered
// device reads 16 kB ahead of each small read, so the tone would be rendered up to a tenth of a
// second before the sink takes it, a switch would be heard that much later, and the output could
// be closed while sound the feed counts as played is still on its way.
class FeedDevice : public QIODevice {
public:
    explicit FeedDevice(IToneFeed& feed) : m_feed(feed) { open(QIODevice::ReadOnly | QIODevice::Unbuffered); }
    bool isSequential() const override { return true; }
    qint64 bytesAvailable() const override { return 1 << 16; }

protected:
    qint64 readData(char* data, qint64 maxlen) override
    {
        return static_cast<qint64>(m_feed.Fill(data, static_cast<std::size_t>(maxlen)));
    }
    qint64 writeData(const char*, qint64) override { return -1; }

private:
    IToneFeed& m_feed;
};

class QtToneOutput : public IToneOutput {
public:
    ~QtToneOutput() override { Stop(); }

    bool HasDevice() override { return !QMediaDevices::defaultAudioOutput().isNull(); }

    bool Start(IToneFeed& feed) override
    {
        Stop();
        const QAudioDevice device = QMediaDevices::defaultAudioOutput();
        if (device.isNull())
            return false;
        QAudioFormat format = device.preferredFormat();
        format.setSampleFormat(QAudioFormat::Int16);
        if (!device.isFormatSupported(format))
            format.setSampleFormat(QAudioFormat::Float);
        if (!device.isFormatSupported(format) || format.sampleRate() <= 0 || format.channelCount() <= 0)
            return false;
        m_frameBytes = format.bytesPerFrame();
        feed.Prepare({format.sampleRate(), format.channelCount(), format.sampleFormat() == QAudioFormat::Float});
        m_device = std::make_unique<FeedDevice>(feed);
        m_sink = std::make_unique<QAudioSink>(device, format);
        // About 100 ms ahead: short enough for the pitch to follow the antenna as it turns.
        m_sink->setBufferSize(format.bytesForDuration(100000));
        m_sink->start(m_device.get());
        if (m_sink->error() != QAudio::NoError) {
            Stop();
            return false;
        }
        return true;
    }

    void Stop() override
    {
        if (m_sink)
            m_sink->stop();
        m_sink.reset();
        m_device.reset();
    }

    std::size_t queuedFrames() const override
    {
        if (!m_sink || m_frameBytes <= 0)
            return 0;
        return static_cast<std::size_t>(m_sink->bufferSize() / m_frameBytes);
    }

private:
    std::unique_ptr<FeedDevice> m_device;
    std::unique_ptr<QAudioSink> m_sink;
    int m_frameBytes = 0;
};

} // namespace
} // namespace approbe::ui

extern "C" __attribute__((visibility("default"))) approbe::ui::IToneOutput* approbe_new_tone_output()
{
    return new approbe::ui::QtToneOutput;
}
