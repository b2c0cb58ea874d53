// The aiming tone without a sound card: pitch for a level, measured frequency, no clicks (a level
// changing, going stale, the tone switched off and on, the program closing), stale silence; and the
// menu item when there is no audio output.
#include <gtest/gtest.h>

#include <QAction>
#include <QAudioDevice>
#include <QMediaDevices>
#include <QTimer>
#include <cmath>
#include <cstring>
#include <vector>

#include "aiming_tone.h"
#include "field_tools.h"
#include "gui_support.h"
#include "tone_generator.h"
#include "tone_output.h"

namespace approbe {
namespace {

using namespace std::chrono_literals;
using ui::ToneGenerator;
using ui::ToneSource;
using session::Reading;

struct PitchRow {
    ToneSource source;
    int value;
    double hz;
};

TEST(ToneTest, PitchRisesWithTheLevelAndIsClamped)
{
    const PitchRow rows[] = {
        {ToneSource::LocalRssi, -95, 300},   {ToneSource::LocalRssi, -45, 1500}, {ToneSource::LocalRssi, -70, 900},
        {ToneSource::RemoteRssi, -120, 300}, {ToneSource::RemoteRssi, -10, 1500}, {ToneSource::Snr, 5, 300},
        {ToneSource::Snr, 45, 1500},         {ToneSource::Snr, 25, 900},          {ToneSource::Snr, -3, 300},
        {ToneSource::Snr, 80, 1500},
    };
    for (const PitchRow& row : rows)
        EXPECT_DOUBLE_EQ(ui::ToneFrequency(row.source, row.value), row.hz) << row.value;
}

// Upward zero crossings per second.
double MeasuredHz(const std::vector<float>& s, int rate)
{
    int crossings = 0;
    for (std::size_t i = 1; i < s.size(); ++i)
        crossings += s[i - 1] < 0 && s[i] >= 0;
    return crossings * double(rate) / double(s.size());
}

std::vector<float> Render(ToneGenerator& g, double seconds)
{
    std::vector<float> s(static_cast<std::size_t>(seconds * g.sampleRate()));
    g.Render(s.data(), s.size());
    return s;
}

TEST(ToneTest, RendersTheFrequencyOfTheLevel)
{
    for (int rate : {44100, 48000}) {
        for (int dbm : {-95, -80, -60, -45}) {
            ToneGenerator g(rate);
            const double hz = ui::ToneFrequency(ToneSource::LocalRssi, dbm);
            g.SetTarget(hz, 0.8);
            Render(g, 0.3); // settles
            EXPECT_NEAR(MeasuredHz(Render(g, 1.0), rate), hz, 2.0) << rate << " Hz, " << dbm << " dBm";
        }
    }
}

// The largest step between two samples that a sine of this pitch and loudness can make; any
// jump beyond it is a click.
TEST(ToneTest, NoClickWhenTheLevelOrTheLoudnessChanges)
{
    constexpr int rate = 48000;
    ToneGenerator g(rate);
    std::vector<float> all;
    auto play = [&](double hz, double amp, double seconds) {
        g.SetTarget(hz, amp);
        const auto s = Render(g, seconds);
        all.insert(all.end(), s.begin(), s.end());
    };
    play(300, 0.8, 0.2);
    play(1500, 0.8, 0.2); // weakest to strongest at once
    play(700, 0.8, 0.2);
    play(700, 0.0, 0.1); // a stale reading's silence
    play(1200, 1.0, 0.2);
    const double maxStep = 2 * 3.14159265 * 1500 / rate * 1.0;
    double worst = 0;
    for (std::size_t i = 1; i < all.size(); ++i)
        worst = std::max(worst, double(std::fabs(all[i] - all[i - 1])));
    EXPECT_LE(worst, maxStep * 1.02);
    // The silence is silent, and the new pitch is reached.
    const std::size_t silenceEnd = static_cast<std::size_t>(0.7 * rate);
    EXPECT_LT(std::fabs(all[silenceEnd - 1]), 0.01);
    const std::vector<float> tail(all.end() - rate / 10, all.end());
    EXPECT_NEAR(MeasuredHz(tail, rate), 1200, 20);
}

// Out of a stale level's silence the tone starts at the pitch of the level now, not gliding up
// from the pitch it had before the gap.
TEST(ToneTest, AfterASilenceTheToneStartsAtTheNewPitch)
{
    constexpr int rate = 48000;
    ToneGenerator g(rate);
    g.SetTarget(300, 0.8);
    Render(g, 0.2);
    g.SetTarget(300, 0.0); // stale
    Render(g, 0.3);
    EXPECT_GT(g.silentFrames(), 0u);
    g.SetTarget(1500, 0.8);
    EXPECT_NEAR(MeasuredHz(Render(g, 0.02), rate), 1500, 100);
}

// A sound card stand-in that pulls 10 ms of 16-bit stereo on a timer, as a sink does, and keeps
// what it pulled, then silence once stopped: what the speaker plays.
class PulledOutput : public ui::IToneOutput {
public:
    static constexpr int kRate = 48000;
    static constexpr std::size_t kQueued = kRate / 10;
    explicit PulledOutput(std::vector<int>& heard) : m_heard(heard)
    {
        m_pull.setInterval(2);
        QObject::connect(&m_pull, &QTimer::timeout, [this] { Pull(kRate / 100); });
    }
    bool HasDevice() override { return true; }
    bool Start(ui::IToneFeed& feed) override
    {
        m_feed = &feed;
        feed.Prepare({kRate, 2, false});
        m_pull.start();
        ++starts;
        return true;
    }
    void Stop() override
    {
        m_pull.stop();
        m_feed = nullptr;
        stoppedAt.push_back(m_heard.size());
        // After the stream: silence.
        m_heard.insert(m_heard.end(), kRate / 100, 0);
    }
    std::size_t queuedFrames() const override { return kQueued; }
    void Pull(std::size_t frames)
    {
        std::vector<std::int16_t> pcm(frames * 2);
        const std::size_t bytes = m_feed->Fill(reinterpret_cast<char*>(pcm.data()), pcm.size() * 2);
        ASSERT_EQ(bytes, pcm.size() * 2);
        for (std::size_t i = 0; i < pcm.size(); i += 2) {
            ASSERT_EQ(pcm[i], pcm[i + 1]) << "both channels alike";
            m_heard.push_back(pcm[i]);
        }
    }
    bool open() const { return m_feed != nullptr; }
    int starts = 0;
    std::vector<std::size_t> stoppedAt;

private:
    std::vector<int>& m_heard;
    ui::IToneFeed* m_feed = nullptr;
    QTimer m_pull;
};

// Unchecking "Aiming tone" used to cut the tone at full level (a step of about 15,000 in the
// 16-bit output). Now every stop and start fades (a start from a closed output, from part way
// down, and from the silence of an output not closed yet): no two samples heard are further apart than
// the tone's own sine moves from one sample to the next, and whatever the output still held when
// it was closed was silence. Closing the program fades it out too.
TEST(ToneTest, SwitchingTheToneOffAndOnAndClosingTheProgramNeverClicks)
{
    std::vector<int> heard; // outlives the dialog, whose output writes to it
    test::DialogRig rig("[Settings]\nHost=127.0.0.1\n[Tools]\nToneVolume=50\n");
    auto& tools = rig.dlg->tools();
    ui::CAimingTone& tone = tools.tone();
    PulledOutput* output = nullptr;
    tone.setOutputFactory([&](QString&) {
        auto made = std::make_unique<PulledOutput>(heard);
        output = made.get();
        return std::unique_ptr<ui::IToneOutput>(std::move(made));
    });
    // A fresh local level of -45 dBm: the highest pitch, 1,500 Hz, at half volume.
    auto reading = [&] { tone.AddReading(Reading{std::nullopt, -45, std::nullopt, 0, std::chrono::system_clock::now()}); };
    reading();
    QTimer readings;
    QObject::connect(&readings, &QTimer::timeout, reading);
    readings.start(100);
    auto hearFor = [&](std::size_t frames) {
        const std::size_t until = heard.size() + frames;
        ASSERT_TRUE(test::ServeUntil([&] { return heard.size() >= until; }));
    };
    auto setTone = [&](bool on) { tools.toneAction()->setChecked(on); };

    setTone(true);
    ASSERT_NE(output, nullptr);
    ASSERT_TRUE(tone.playing());
    hearFor(PulledOutput::kRate / 5);
    EXPECT_GT(*std::max_element(heard.begin(), heard.end()), 15000) << "at half volume";
    setTone(false);
    ASSERT_TRUE(test::ServeUntil([&] { return !output->open(); }));
    setTone(true); // from silence
    hearFor(PulledOutput::kRate / 5);
    setTone(false);
    hearFor(PulledOutput::kRate / 50); // part way down
    setTone(true);                     // and up again from there
    hearFor(PulledOutput::kRate / 5);
    setTone(false);
    hearFor(PulledOutput::kRate / 8); // faded out, the output not yet closed
    ASSERT_TRUE(output->open());
    setTone(true); // from the silence of an open output
    hearFor(PulledOutput::kRate / 5);
    rig.dlg->reject(); // the program ends
    EXPECT_FALSE(output->open());
    EXPECT_EQ(output->starts, 2) << "switched back on while fading out, the output stayed open";

    const double sineStep = 2 * 3.14159265 * 1500 / PulledOutput::kRate * 0.5 * 32767;
    int worst = 0;
    std::size_t worstAt = 0;
    for (std::size_t i = 1; i < heard.size(); ++i)
        if (std::abs(heard[i] - heard[i - 1]) > worst)
            worst = std::abs(heard[i] - heard[i - 1]), worstAt = i;
    EXPECT_LE(worst, sineStep * 1.02 + 2) << "a click at sample " << worstAt << " of " << heard.size();
    ASSERT_EQ(output->stoppedAt.size(), 2u);
    for (std::size_t stop : output->stoppedAt) {
        ASSERT_GE(stop, PulledOutput::kQueued);
        for (std::size_t i = stop - PulledOutput::kQueued; i < stop; ++i)
            ASSERT_EQ(heard[i], 0) << "the output was closed holding sound, " << stop - i << " samples before its end";
    }
}

TEST(ToneTest, FollowsTheChosenFreshLevelAndFallsSilentWhenStale)
{
    ui::CAimingTone tone;
    const auto now = std::chrono::system_clock::now();
    tone.AddReading(Reading{-90, -70, -50, 0, now});
    EXPECT_DOUBLE_EQ(tone.targetHz(), 900);
    EXPECT_DOUBLE_EQ(tone.targetAmplitude(), 0.5);
    tone.setSource(ToneSource::RemoteRssi);
    EXPECT_DOUBLE_EQ(tone.targetHz(), 1380);
    tone.setSource(ToneSource::Snr); // 20 dB
    EXPECT_DOUBLE_EQ(tone.targetHz(), 750);
    tone.setVolume(100);
    EXPECT_DOUBLE_EQ(tone.targetAmplitude(), 1.0);
    tone.setMute(true);
    EXPECT_DOUBLE_EQ(tone.targetAmplitude(), 0.0);
    tone.setMute(false);
    tone.AddReading(Reading{std::nullopt, -60, std::nullopt, 0, now - 5s}); // an old local level
    EXPECT_DOUBLE_EQ(tone.targetAmplitude(), 0.0) << "SNR needs a fresh local level";
}

TEST(ToneTest, WithoutAnAudioOutputTheItemIsDisabledAndSaysWhy)
{
    test::DialogRig rig("[Settings]\nHost=127.0.0.1\n");
    auto& tools = rig.dlg->tools();
    tools.CheckAudio();
    if (!QMediaDevices::audioOutputs().isEmpty())
        GTEST_SKIP() << "this machine has an audio output";
    EXPECT_FALSE(tools.toneAction()->isEnabled());
    EXPECT_EQ(tools.toneAction()->toolTip(), "No audio output device");
    tools.toneAction()->setChecked(true); // forced on anyway: refused, never a crash or a hang
    EXPECT_FALSE(tools.tone().playing());
    EXPECT_FALSE(tools.toneAction()->isChecked());
}

} // namespace
} // namespace approbe
