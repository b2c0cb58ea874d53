// The aiming tone through the real audio module and a real sound server (tests/tools/run-with-pulse):
// what the server plays, read from its output as it is played, fades in at every start and out at
// every stop, a start on a new output stream included.
#include <gtest/gtest.h>

#include <QEventLoop>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <fcntl.h>
#include <poll.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "aiming_tone.h"
#include "environment.h"

namespace approbe {
namespace {

using session::Reading;

// Everything the server plays, from construction to Stop().
class Heard {
public:
    explicit Heard(const std::string& fifo) : m_fd(::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC))
    {
        if (m_fd >= 0)
            m_reader = std::thread([this] { Read(); });
    }
    ~Heard() { Stop(); }
    bool open() const { return m_fd >= 0; }
    const std::vector<std::int16_t>& Stop()
    {
        m_stop = true;
        if (m_reader.joinable())
            m_reader.join();
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
        return m_samples;
    }

private:
    void Read()
    {
        std::int16_t block[2048];
        while (!m_stop) {
            pollfd p{m_fd, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0)
                continue;
            const ssize_t got = ::read(m_fd, block, sizeof block);
            if (got > 0)
                m_samples.insert(m_samples.end(), block, block + got / 2);
        }
    }
    int m_fd;
    std::atomic<bool> m_stop{false};
    std::vector<std::int16_t> m_samples;
    std::thread m_reader;
};

void Serve(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

// A start on a closed output opens a new stream on the server; one while fading out reuses the open
// one. Both fade in, whatever the server had played before: no two samples it plays are further
// apart than the tone's own sine moves from one sample to the next.
TEST(TonePulseTest, EveryStartAndStopFadesAsPlayed)
{
    if (!test::Env("APPROBE_PULSE_SKIP").empty())
        GTEST_SKIP() << test::Env("APPROBE_PULSE_SKIP");
    if (test::Env("APPROBE_PULSE_FIFO").empty())
        GTEST_SKIP() << "no sound server of its own: run through tests/tools/run-with-pulse";
    Heard heard(test::Env("APPROBE_PULSE_FIFO"));
    ASSERT_TRUE(heard.open());
    ui::CAimingTone tone;
    ASSERT_EQ(tone.Unavailable(), "");
    // -80 dBm: 660 Hz at half volume; not a whole number of cycles in the 20 ms the output pulls
    // at a time, so that a cut at a pull's edge is a step too.
    auto reading = [&] { tone.AddReading(Reading{std::nullopt, -80, std::nullopt, 0, std::chrono::system_clock::now()}); };
    reading();
    QTimer readings;
    QObject::connect(&readings, &QTimer::timeout, reading);
    readings.start(100);
    Serve(300); // silence first

    ASSERT_TRUE(tone.Start());
    Serve(300);
    tone.Stop();
    QEventLoop closed;
    QObject::connect(&tone, &ui::CAimingTone::outputClosed, &closed, &QEventLoop::quit);
    QTimer::singleShot(5000, &closed, &QEventLoop::quit);
    closed.exec();
    ASSERT_FALSE(tone.outputOpen());
    Serve(200);
    ASSERT_TRUE(tone.Start()); // on a new stream
    Serve(300);
    tone.Stop();
    Serve(40);
    ASSERT_TRUE(tone.Start()); // part way down
    Serve(300);
    tone.StopAndWait();
    Serve(200);
    const std::vector<std::int16_t>& s = heard.Stop();

    ASSERT_GT(s.size(), 48000u);
    // A run of silence shorter than a stop (the fade, what the output holds and a tenth of a
    // second) inside the sound is an underrun: this program was not served in time on a busy
    // machine. Its edges are not the tone's; the sound around it is.
    constexpr std::size_t kUnderrunMin = 48, kUnderrunMax = 48000 / 5;
    std::vector<bool> judged(s.size(), true);
    int underruns = 0, starts = 0;
    for (std::size_t i = 1; i < s.size();) {
        std::size_t end = i;
        while (end < s.size() && s[end] == 0)
            ++end;
        if (end - i >= kUnderrunMin && end - i < kUnderrunMax && s[i - 1] != 0 && end < s.size()) {
            ++underruns;
            judged[i] = judged[end] = false;
        }
        starts += end - i >= kUnderrunMax && end < s.size();
        i = std::max(end, i + 1);
    }
    int peak = 0, worst = 0;
    std::size_t worstAt = 0;
    for (std::size_t i = 1; i < s.size(); ++i) {
        peak = std::max(peak, std::abs(int(s[i])));
        if (judged[i] && std::abs(s[i] - s[i - 1]) > worst)
            worst = std::abs(s[i] - s[i - 1]), worstAt = i;
    }
    EXPECT_GT(peak, 15000) << "played at half volume";
    EXPECT_GE(starts, 2) << "sound out of silence twice";
    const double sineStep = 2 * 3.14159265 * 660 / 48000 * 0.5 * 32767;
    EXPECT_LE(worst, sineStep * 1.02 + 2) << "a click at sample " << worstAt << " of " << s.size() << " ("
                                          << underruns << " underruns left out)";
}

} // namespace
} // namespace approbe
