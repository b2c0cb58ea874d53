#pragma once

#include <QHash>
#include <QPixmap>
#include <QWidget>
#include <chrono>
#include <cstdint>
#include <optional>
#include <vector>

#include "levels.h"
#include "reading.h"

class QLabel;
class QSpinBox;
class QComboBox;
class QCheckBox;
class QSlider;
class QPushButton;
class QTimer;
class QPainter;

namespace approbe::ui {

// The raw readings of the last half hour and more, in a fixed ring: what is drawn (SNR, gaps) is
// derived from them at draw time, so nothing derived can go out of step with the readings.
class TrendHistory {
public:
    using Clock = std::chrono::system_clock;
    static constexpr std::int16_t kNone = INT16_MIN;
    struct Sample {
        Clock::time_point at;
        std::int16_t noise = kNone, local = kNone, remote = kNone;
    };
    // Two readings a second (noise and station replies come apart) for 30 minutes, with room.
    static constexpr std::size_t kCapacity = 8192;

    void Add(const Reading& reading);
    void Clear() { m_size = 0; m_head = 0; }
    std::size_t size() const { return m_size; }
    // Oldest first.
    const Sample& operator[](std::size_t i) const { return m_ring[(m_head + i) % kCapacity]; }
    // The first sample at or after t (size() if none).
    std::size_t LowerBound(Clock::time_point t) const;

private:
    std::vector<Sample> m_ring = std::vector<Sample>(kCapacity);
    std::size_t m_head = 0, m_size = 0;
};

// What the trend window shows, kept whether or not the window is open.
struct TrendData {
    using Clock = std::chrono::system_clock;
    struct Best {
        std::optional<int> value;
        Clock::time_point at{};
    };
    TrendHistory history;
    LatestLevels latest;
    Best bestLocal, bestRemote;

    void Add(const Reading& reading);
    void ResetBest() { bestLocal = bestRemote = {}; }
};

// The graph: noise, RSSI and SNR in three panels over a common time axis, the bars' colour bands
// behind the noise and RSSI lines, the best values marked.
class CTrendPlot : public QWidget {
public:
    using Clock = std::chrono::system_clock;
    enum class Panel { Noise, Rssi, Snr };
    static constexpr QRgb kNoiseLine = 0xff800080, kLocalLine = 0xff0000ff, kRemoteLine = 0xff000000,
                          kSnrLine = 0xff008080, kBestMarker = 0xffff00ff;

    CTrendPlot(const TrendData& source, QWidget* parent = nullptr);
    void setSpan(std::chrono::minutes span);
    std::chrono::minutes span() const { return m_span; }
    // A fixed right edge instead of the clock (tests, screenshots).
    void setNow(std::optional<Clock::time_point> now) { m_fixedNow = now; }
    Clock::time_point now() const { return m_fixedNow ? *m_fixedNow : Clock::now(); }

    QRect panelRect(Panel panel) const;
    int xFor(Clock::time_point t, Clock::time_point now) const;
    int yFor(Panel panel, int value) const;
    static std::pair<int, int> Range(Panel panel);

    QSize sizeHint() const override { return {640, 420}; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    struct Scale;
    // What depends on the size only: the white, the bands, the panels' frames, values and titles.
    void PaintBackground(QPainter& p);
    // "HH:mm" of a whole minute, kept: each converts to local time, which reads the zone file.
    const QString& MinuteLabel(Clock::time_point minute);
    const TrendData& m_data;
    QPixmap m_background;
    QHash<qint64, QString> m_minuteLabels;
    std::chrono::minutes m_span{5};
    std::optional<Clock::time_point> m_fixedNow;
};

// The trend window: the graph, the current SNR, the best values, and the controls of the span,
// the marks and the aiming tone.
class CTrendWindow : public QWidget {
    Q_OBJECT
public:
    CTrendWindow(TrendData& source, QWidget* parent = nullptr);

    CTrendPlot& plot() { return *m_plot; }
    // After the data changed: the labels and the graph, now.
    void Refresh();
    // After a reading: a Refresh within kCoalesce, one for the readings that come together.
    void RefreshSoon();
    // A session's replies to one poll come a few ms apart; the axis moves on by itself when no
    // reading came for kScroll (longer than the poll period, so that polling paints once a poll).
    static constexpr std::chrono::milliseconds kCoalesce{50}, kScroll{1250};
    void setHost(const QString& host);

    void setSpanMinutes(int minutes);
    int spanMinutes() const;
    void setTone(int source, int volume, bool mute);

    QLabel* snrLabel() const { return m_snr; }
    QLabel* bestLabel() const { return m_best; }
    QPushButton* markButton() const { return m_mark; }
    QPushButton* resetBestButton() const { return m_resetBest; }

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

signals:
    void spanChanged(int minutes);
    void markRequested();
    void toneSourceChanged(int source);
    void toneVolumeChanged(int volume);
    void toneMuteChanged(bool mute);

private:
    TrendData& m_data;
    CTrendPlot* m_plot;
    QLabel* m_snr;
    QLabel* m_best;
    QSpinBox* m_minutes;
    QPushButton* m_mark;
    QPushButton* m_resetBest;
    QComboBox* m_source;
    QCheckBox* m_mute;
    QSlider* m_volume;
    // The next Refresh: soon after a reading, or kScroll after the last one; idle while hidden.
    QTimer* m_tick;
    // The best values the label shows.
    TrendData::Best m_shownLocal, m_shownRemote;
    bool m_bestShown = false;
};

} // namespace approbe::ui
