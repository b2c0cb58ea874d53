#include "aiming_tone.h"

#include <QEventLoop>
#include <algorithm>

namespace approbe::ui {

using session::Reading;

CAimingTone::CAimingTone(QObject* parent) : QObject(parent), m_factory(&LoadToneOutput)
{
    m_generator.SetOn(false);
    // A level that stops coming must silence the tone even though no reading says so.
    m_staleCheck.setInterval(250);
    connect(&m_staleCheck, &QTimer::timeout, this, &CAimingTone::Update);
    m_release.setInterval(20);
    connect(&m_release, &QTimer::timeout, this, &CAimingTone::CloseWhenSilent);
}

CAimingTone::~CAimingTone()
{
    if (m_open)
        m_output->Stop();
}

IToneOutput* CAimingTone::Output(QString& error)
{
    if (!m_triedOutput) {
        m_triedOutput = true;
        m_output = m_factory(m_outputError);
    }
    error = m_outputError;
    return m_output.get();
}

QString CAimingTone::Unavailable()
{
    QString error;
    IToneOutput* output = Output(error);
    if (!output)
        return tr("The audio module could not be loaded: %1").arg(error);
    if (!output->HasDevice())
        return tr("No audio output device");
    return {};
}

bool CAimingTone::Start()
{
    QString error;
    IToneOutput* output = Output(error);
    if (!output)
        return false;
    m_release.stop();
    if (!m_open) {
        // From silence: the generator fades in from its first sample.
        m_generator.Reset();
        m_open = output->Start(*this);
        if (!m_open)
            return false;
    }
    // Still open when fading out: the sound comes back from where the fade has got to.
    m_generator.SetOn(true);
    Update();
    m_staleCheck.start();
    return true;
}

void CAimingTone::Stop()
{
    m_generator.SetOn(false);
    m_staleCheck.stop();
    if (m_open)
        m_release.start();
}

void CAimingTone::StopAndWait()
{
    Stop();
    if (!m_open)
        return;
    // The output is pulled as events come (a timer of the sink's): serve them, not the user's.
    // Bounded: the fade (about a tenth of a second), what the output holds, and some to spare.
    const auto held = static_cast<int>(ReleaseAfter() * 1000 / static_cast<std::size_t>(m_format.rate));
    QEventLoop loop;
    connect(this, &CAimingTone::outputClosed, &loop, &QEventLoop::quit);
    QTimer::singleShot(300 + held, &loop, &QEventLoop::quit);
    loop.exec(QEventLoop::ExcludeUserInputEvents);
    if (m_open) {
        m_release.stop();
        m_output->Stop();
        m_open = false;
    }
}

std::size_t CAimingTone::ReleaseAfter() const
{
    // What the output holds, and a tenth of a second more for the sound server's buffer behind it.
    return m_output->queuedFrames() + static_cast<std::size_t>(m_format.rate / 10);
}

void CAimingTone::CloseWhenSilent()
{
    if (m_generator.on() || m_generator.silentFrames() < ReleaseAfter())
        return;
    m_release.stop();
    m_output->Stop();
    m_open = false;
    emit outputClosed();
}

void CAimingTone::Prepare(const ToneFormat& format)
{
    m_format = format;
    m_generator.setSampleRate(format.rate);
}

std::size_t CAimingTone::Fill(char* out, std::size_t bytes) { return m_generator.RenderFrames(out, bytes, m_format); }

void CAimingTone::AddReading(const Reading& reading)
{
    m_latest.Update(reading);
    Update();
}

void CAimingTone::KeepOnly(int gives)
{
    m_latest.KeepOnly(gives);
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
    m_generator.SetTarget(m_hz, m_amp);
}

} // namespace approbe::ui
