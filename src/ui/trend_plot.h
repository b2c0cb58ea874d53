#pragma once

#include <QHash>
#include <QPixmap>
#include <QStaticText>
#include <QWidget>
#include <array>
#include <chrono>
#include <cstdint>
#include <optional>

#include "trend_data.h"

class QPainter;

namespace approbe::ui {

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

} // namespace approbe::ui
