#pragma once

#include <QHash>
#include <QPixmap>
#include <QStaticText>
#include <array>
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
    std::size_t size() const { return m_size; }
    // Samples ever added: tells a view which samples are new since it last looked.
    std::uint64_t added() const { return m_added; }
    // Oldest first.
    const Sample& operator[](std::size_t i) const { return m_ring[(m_head + i) % kCapacity]; }
    // The first sample at or after t (size() if none).
    std::size_t LowerBound(Clock::time_point t) const;

private:
    // Taken at the first reading: 128 kB that start-up need not touch.
    std::vector<Sample> m_ring;
    std::size_t m_head = 0, m_size = 0;
    std::uint64_t m_added = 0;
};

// What the trend window shows, kept whether or not the window is open.
struct TrendData {
    using Clock = std::chrono::system_clock;
    struct Best {
        std::optional<int> value;
        Clock::time_point at{};
        bool operator==(const Best&) const = default;
    };
    TrendHistory history;
    LatestLevels latest;
    Best bestLocal, bestRemote;
    // The station followed (none: the station table's first row, as the dialog shows), and the
    // MAC addresses the tables have shown, in the order they came.
    std::optional<MacAddress> station;
    std::vector<MacAddress> stationsSeen;
    static constexpr std::size_t kMaxStationsSeen = 64;

    // A reading as the followed station's: what Add, the SNR and the tone take.
    Reading Followed(const Reading& reading) const { return FollowedStation(reading, station); }
    // Takes a reading already Followed; notes the MAC addresses of its rows.
    void Add(const Reading& reading);
    void ResetBest() { bestLocal = bestRemote = {}; }
    // Follows another station: its levels start afresh (no SNR of one station's RSSI and the
    // other's noise, no best of the other); the history stays, as it was followed.
    void Follow(const std::optional<MacAddress>& mac);
};

// The graph: noise, RSSI and SNR in three panels over a common time axis, the bars' colour bands
// behind the noise and RSSI lines, the best values marked.
class CTrendPlot : public QWidget {
public:
    using Clock = std::chrono::system_clock;
    enum class Panel { Noise, Rssi, Snr };
    static constexpr QRgb kNoiseLine = 0xff800080, kLocalLine = 0xff0000ff, kRemoteLine = 0xff000000,
                          kSnrLine = 0xff008080, kBestMarker = 0xffff00ff, kTextColour = 0xff000000;

    CTrendPlot(const TrendData& source, QWidget* parent = nullptr);
    void setSpan(std::chrono::minutes span);
    std::chrono::minutes span() const { return m_span; }
    // A fixed right edge instead of the clock (tests, screenshots).
    void setNow(std::optional<Clock::time_point> now) { m_fixedNow = now; }
    Clock::time_point now() const { return m_fixedNow ? *m_fixedNow : Clock::now(); }
    // Moves the right edge to now and shows the new readings. As time moves the graph by whole
    // pixels, what is on screen is scrolled and only the new strip at the right is painted.
    void Follow();

    QRect panelRect(Panel panel) const;
    int xFor(Clock::time_point t, Clock::time_point now) const;
    int yFor(Panel panel, int value) const;
    static std::pair<int, int> Range(Panel panel);

    QSize sizeHint() const override { return {640, 420}; }
    static constexpr int kMinuteLabelWidth = 60;
    static constexpr int kMarkerRadius = 6;

protected:
    void paintEvent(QPaintEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    struct Scale;
    // The pixel column of a time: whole columns, counted from the epoch, so that a later right
    // edge moves everything by the same whole number of pixels.
    double MsPerPixel() const;
    qint64 Column(Clock::time_point t) const;
    // What moves with time: everything right of the panels' left frames.
    QRect TimeStrip() const;
    // What depends on the size only: the white, the bands, the panels' frames, values and titles.
    void PaintBackground(QPainter& p);
    void PaintArea(QPainter& p, const QRect& area);
    // The panel's title at its top left (the RSSI panel's names its two lines beside a piece of
    // each): paints it when given a painter, and returns what it covers.
    QRect Title(Panel panel, QPainter* p) const;
    QFont SmallFont() const;
    // Where the best value's marker is drawn, with a pixel to spare.
    QRect MarkerRect(int value, int x) const;
    // "HH:mm" of a whole minute, laid out once: each converts to local time, which reads the zone
    // file, and a text laid out at each paint was most of what painting a strip cost.
    const QStaticText& MinuteLabel(Clock::time_point minute);
    // A panel's title, on its own patch of the background: the lines pass under it, so where the
    // graph scrolls the title is restored by a copy.
    const QRect& TitleBox(Panel panel);
    const TrendData& m_data;
    QPixmap m_background;
    QHash<qint64, QStaticText> m_minuteLabels;
    std::array<QRect, 3> m_titleBoxes;
    QSize m_titleBoxesFor;
    std::chrono::minutes m_span{5};
    std::optional<Clock::time_point> m_fixedNow;
    // The right edge of what is painted, and what of the data it shows.
    Clock::time_point m_right = now();
    bool m_followed = false;
    std::uint64_t m_shownAdded = 0;
    Clock::time_point m_shownLast{};
    TrendData::Best m_shownBestLocal, m_shownBestRemote;
};

// A large figure of a few texts, each laid out once: the SNR changes with nearly every reading,
// and laying its text out at each paint cost more than painting the graph's new strip.
class CFigure : public QWidget {
public:
    using QWidget::QWidget;
    void setText(const QString& text);
    const QString& text() const { return m_text; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    QString m_text;
    QHash<QString, QStaticText> m_laidOut;
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
    // After a reading: a Refresh once a poll's readings are in (the noise floor and the station
    // table come as replies of their own, a few ms apart), or within kCoalesce. The axis moves
    // on by itself when no reading came for kScroll (longer than the poll period, so that polling
    // paints once a poll).
    void RefreshSoon(const Reading& reading);
    static constexpr std::chrono::milliseconds kCoalesce{50}, kScroll{1250};
    void setHost(const QString& host);

    void setSpanMinutes(int minutes);
    int spanMinutes() const;
    void setTone(int source, int volume, bool mute);

    CFigure* snrLabel() const { return m_snr; }
    QLabel* bestLabel() const { return m_best; }
    QPushButton* markButton() const { return m_mark; }
    QPushButton* resetBestButton() const { return m_resetBest; }
    // The station the graph, the SNR and the tone follow: the first row, then the MACs seen.
    QComboBox* stationChoice() const { return m_station; }

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
    CFigure* m_snr;
    QLabel* m_best;
    QSpinBox* m_minutes;
    QPushButton* m_mark;
    QPushButton* m_resetBest;
    QComboBox* m_source;
    QCheckBox* m_mute;
    QSlider* m_volume;
    QComboBox* m_station;
    // The next Refresh: soon after a reading, or kScroll after the last one; idle while hidden.
    QTimer* m_tick;
    // The station choice's items from the MAC addresses seen.
    void ListStations();
    // What of a poll's readings the next Refresh waits for.
    static constexpr unsigned kNoisePart = 1, kStationPart = 2;
    unsigned m_awaited = kNoisePart | kStationPart;
    // The best values the label shows.
    TrendData::Best m_shownLocal, m_shownRemote;
    bool m_bestShown = false;
};

} // namespace approbe::ui
