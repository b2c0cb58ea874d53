// The aiming tone without a sound card: pitch for a level, measured frequency, no clicks, stale
// silence; and the menu item when there is no audio output.
#include <gtest/gtest.h>

#include <QAction>
#include <QAudioDevice>
#include <QMediaDevices>
#include <cmath>
#include <vector>

#include "aiming_tone.h"
#include "field_tools.h"
#include "gui_support.h"
#include "tone_generator.h"

namespace approbe {
namespace {

using namespace std::chrono_literals;
using ui::ToneGenerator;
using ui::ToneSource;

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
