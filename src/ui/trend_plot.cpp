#include "trend_plot.h"

#include <QEvent>
#include <QFontMetrics>
#include <QPaintEvent>
#include <QPainter>
#include <algorithm>
#include <cmath>

#include "bars.h"
#include "painted_text.h"

namespace approbe::ui {

using Clock = std::chrono::system_clock;

CTrendPlot::CTrendPlot(const TrendData& source, QWidget* parent) : QWidget(parent), m_data(source)
{
    setAttribute(Qt::WA_OpaquePaintEvent);
    setMinimumSize(320, 240);
}

QRect CTrendPlot::Title(Panel panel, QPainter* p) const
{
    const QFontMetrics metrics(SmallFont());
    const QRect r = panelRect(panel);
    QPoint at(r.left() + 4, r.top() + 2);
    QRect covered;
    auto text = [&](const QString& words, QRgb colour) {
        const QRect box(at, QSize(metrics.horizontalAdvance(words), metrics.height()));
        if (p) {
            p->setPen(QColor::fromRgb(colour));
            p->drawText(box, Qt::AlignLeft | Qt::AlignVCenter, words);
        }
        covered |= box;
        at.rx() = box.right() + 1;
    };
    // A piece of the line as the graph draws it, two pixels high, before the name of its level.
    auto sample = [&](QRgb colour) {
        const int width = metrics.horizontalAdvance(QStringLiteral("MM"));
        const QRect line(at.x() + metrics.averageCharWidth(), at.y() + metrics.height() / 2 - 1, width, 2);
        if (p)
            p->fillRect(line, QColor::fromRgb(colour));
        covered |= line;
        at.rx() = line.right() + 1 + metrics.averageCharWidth() / 2;
    };
    switch (panel) {
    case Panel::Noise: text(tr("Noise dBm"), kTextColour); break;
    case Panel::Rssi:
        text(tr("RSSI dBm"), kTextColour);
        sample(kLocalLine);
        text(tr("local"), kLocalLine);
        sample(kRemoteLine);
        text(tr("remote"), kRemoteLine);
        break;
    case Panel::Snr: text(tr("SNR dB"), kTextColour); break;
    }
    return covered;
}

QFont CTrendPlot::SmallFont() const
{
    QFont small = font();
    small.setPointSizeF(small.pointSizeF() * 0.8);
    return small;
}

void CTrendPlot::setSpan(std::chrono::minutes span)
{
    m_span = std::clamp(span, std::chrono::minutes(1), std::chrono::minutes(30));
    update();
}

std::pair<int, int> CTrendPlot::Range(Panel panel)
{
    switch (panel) {
    case Panel::Noise: return {-110, -60};
    case Panel::Rssi: return {-100, -30};
    case Panel::Snr: break;
    }
    return {0, 60};
}

QRect CTrendPlot::panelRect(Panel panel) const
{
    constexpr int left = 40, right = 8, top = 4, bottom = 18, gap = 6;
    const int h = height() - top - bottom - 2 * gap;
    const int noiseH = h * 25 / 100, rssiH = h * 45 / 100, snrH = h - noiseH - rssiH;
    const int w = width() - left - right;
    switch (panel) {
    case Panel::Noise: return {left, top, w, noiseH};
    case Panel::Rssi: return {left, top + noiseH + gap, w, rssiH};
    case Panel::Snr: break;
    }
    return {left, top + noiseH + rssiH + 2 * gap, w, snrH};
}

double CTrendPlot::MsPerPixel() const
{
    return double(std::chrono::duration_cast<std::chrono::milliseconds>(m_span).count()) /
           double(panelRect(Panel::Rssi).width() - 1);
}

qint64 CTrendPlot::Column(Clock::time_point t) const
{
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count();
    return static_cast<qint64>(std::floor(double(ms) / MsPerPixel()));
}

QRect CTrendPlot::TimeStrip() const
{
    const int left = panelRect(Panel::Rssi).left() + 1;
    return {left, 0, width() - left, height()};
}

// Time and value to pixels, worked out once per paint rather than once per sample.
struct CTrendPlot::Scale {
    Scale(const CTrendPlot& of, Clock::time_point now, Panel panel)
        : plot(of), rect(of.panelRect(panel)), range(Range(panel)), rightColumn(of.Column(now))
    {
    }
    int X(Clock::time_point t) const { return rect.right() - static_cast<int>(rightColumn - plot.Column(t)); }
    int Y(int value) const
    {
        const int v = std::clamp(value, range.first, range.second);
        return rect.bottom() -
               static_cast<int>(std::lround(double(v - range.first) * (rect.height() - 1) / (range.second - range.first)));
    }
    const CTrendPlot& plot;
    QRect rect;
    std::pair<int, int> range;
    qint64 rightColumn;
};

int CTrendPlot::xFor(Clock::time_point t, Clock::time_point now) const { return Scale(*this, now, Panel::Rssi).X(t); }
int CTrendPlot::yFor(Panel panel, int value) const { return Scale(*this, {}, panel).Y(value); }

void CTrendPlot::PaintBackground(QPainter& p)
{
    p.fillRect(rect(), Qt::white);

    // The bars' bands, from their own colour rules, so graph and bars never disagree.
    auto bands = [&](Panel panel, auto colourOf) {
        const QRect r = panelRect(panel);
        const auto [lo, hi] = Range(panel);
        int from = lo;
        for (int v = lo + 1; v <= hi + 1; ++v) {
            if (v <= hi && colourOf(v) == colourOf(from))
                continue;
            const Rgb c = colourOf(from);
            const int top = v > hi ? r.top() : (yFor(panel, v) + yFor(panel, v - 1)) / 2;
            const int bottom = from == lo ? r.bottom() : (yFor(panel, from) + yFor(panel, from - 1)) / 2;
            p.fillRect(QRect(r.left(), top, r.width(), bottom - top + 1), QColor(c.r, c.g, c.b, 70));
            from = v;
        }
    };
    bands(Panel::Noise, [](int dbm) { return NoiseColour(BarPosition(dbm, kNoiseOffset)); });
    bands(Panel::Rssi, [](int dbm) { return RssiColour(BarPosition(dbm, kRssiOffset)); });

    for (Panel panel : {Panel::Noise, Panel::Rssi, Panel::Snr}) {
        const QRect r = panelRect(panel);
        const auto [lo, hi] = Range(panel);
        p.setPen(QColor(160, 160, 160));
        p.drawRect(r.adjusted(0, 0, -1, -1));
        p.setPen(QColor::fromRgb(kTextColour));
        // Each value beside its line, but kept within its panel's height: at the ends a label
        // centred on the line would reach into the next panel's or past the top of the graph.
        const int labelHeight = QFontMetrics(p.font()).height();
        for (int v : {lo, (lo + hi) / 2, hi}) {
            const int top = std::clamp(yFor(panel, v) - labelHeight / 2, r.top(), r.bottom() + 1 - labelHeight);
            p.drawText(QRect(0, top, r.left() - 4, labelHeight), Qt::AlignRight | Qt::AlignVCenter, QString::number(v));
        }
        Title(panel, &p);
    }
}

const QStaticText& CTrendPlot::MinuteLabel(Clock::time_point minute)
{
    const qint64 key = std::chrono::duration_cast<std::chrono::minutes>(minute.time_since_epoch()).count();
    if (m_minuteLabels.size() > 64) // a span holds at most 31
        m_minuteLabels.clear();
    auto it = m_minuteLabels.find(key);
    if (it == m_minuteLabels.end())
        it = m_minuteLabels.insert(key, LaidOut(TimeOfDay(minute).left(5), SmallFont()));
    return *it;
}

const QRect& CTrendPlot::TitleBox(Panel panel)
{
    if (m_titleBoxesFor != size()) {
        for (Panel each : {Panel::Noise, Panel::Rssi, Panel::Snr}) {
            const QRect r = panelRect(each);
            const QRect text = Title(each, nullptr);
            m_titleBoxes[static_cast<std::size_t>(each)] =
                QRect(QPoint(r.left() + 1, text.top() - 1), QPoint(text.right() + 2, text.bottom() + 1)) &
                r.adjusted(1, 1, -1, -1);
        }
        m_titleBoxesFor = size();
    }
    return m_titleBoxes[static_cast<std::size_t>(panel)];
}

void CTrendPlot::changeEvent(QEvent* event)
{
    if (event->type() == QEvent::FontChange) {
        m_background = {};
        m_minuteLabels.clear();
        m_titleBoxesFor = {};
    }
    QWidget::changeEvent(event);
}

void CTrendPlot::Follow()
{
    const Clock::time_point to = now();
    const TrendHistory& h = m_data.history;
    const std::uint64_t fresh = h.added() - m_shownAdded;
    const qint64 moved = Column(to) - Column(m_right);
    const Clock::time_point previousRight = m_right;
    const QRect strip = TimeStrip();
    // Whatever does not continue what is on screen is painted whole: the first time, a reset,
    // time going back or a jump past the width.
    const bool continues = m_followed && isVisible() && h.added() >= m_shownAdded && fresh < h.size() &&
                           h[h.size() - 1 - fresh].at == m_shownLast && moved >= 0 && moved < strip.width();
    const TrendData::Best shownBests[] = {m_shownBestLocal, m_shownBestRemote};
    m_followed = true;
    m_right = to;
    m_shownAdded = h.added();
    m_shownLast = h.size() ? h[h.size() - 1].at : Clock::time_point{};
    m_shownBestLocal = m_data.bestLocal;
    m_shownBestRemote = m_data.bestRemote;
    if (!continues) {
        update();
        return;
    }
    const int dx = static_cast<int>(moved);
    if (dx > 0) {
        scroll(-dx, 0, strip);
        // The panels' titles stay where they are.
        for (Panel panel : {Panel::Noise, Panel::Rssi, Panel::Snr})
            update(TitleBox(panel));
    }
    // The right frames, which the scroll moved, and the lines into the new readings, each of
    // which joins a reading at most kFreshFor older.
    int from = panelRect(Panel::Rssi).right() - dx;
    if (fresh > 0)
        from = std::min(from, xFor(h[h.size() - fresh].at - kFreshFor, to) - 1);
    // A minute that came in brings its label, centred on its line.
    if (std::chrono::floor<std::chrono::minutes>(to) > previousRight)
        from = std::min(from, xFor(std::chrono::floor<std::chrono::minutes>(to), to) - kMinuteLabelWidth / 2);
    update(QRect(from, 0, width() - from, height()) & strip);
    // A best that moved: its old marker goes, the new one comes.
    const TrendData::Best* bests[] = {&m_data.bestLocal, &m_data.bestRemote};
    for (int i = 0; i < 2; ++i) {
        if (*bests[i] == shownBests[i])
            continue;
        for (const TrendData::Best* best : {&shownBests[i], bests[i]})
            if (best->value)
                update(MarkerRect(*best->value, xFor(best->at, to)) & strip);
    }
}

QRect CTrendPlot::MarkerRect(int value, int x) const
{
    const QPoint c(x, yFor(Panel::Rssi, value));
    return {c.x() - kMarkerRadius - 1, c.y() - kMarkerRadius - 1, 2 * kMarkerRadius + 3, 2 * kMarkerRadius + 3};
}

void CTrendPlot::paintEvent(QPaintEvent* event)
{
    QPainter p(this);
    // Painted once per size and blitted: a reading a second repaints the graph, and the text and
    // translucent fills of the background were most of what a paint cost.
    const qreal dpr = devicePixelRatioF();
    if (m_background.size() != size() * dpr || m_background.devicePixelRatio() != dpr) {
        m_background = QPixmap(size() * dpr);
        m_background.setDevicePixelRatio(dpr);
        QPainter bg(&m_background);
        bg.setFont(SmallFont());
        PaintBackground(bg);
    }
    p.setFont(SmallFont());
    const QRegion region = event->region();
    if (region.rectCount() == 1) {
        PaintArea(p, region.boundingRect());
        return;
    }
    // Following the clock brings the new strip and the titles: as one region they come cut in
    // bands, and the strip painted band by band would draw its lines once a band.
    QRegion titles;
    for (Panel panel : {Panel::Noise, Panel::Rssi, Panel::Snr})
        titles += TitleBox(panel);
    for (const QRect& area : region & titles)
        PaintArea(p, area);
    for (const QRect& area : region - titles)
        PaintArea(p, area);
}

// One rectangle of the graph as it stands at m_right, drawing only the readings that reach into it.
void CTrendPlot::PaintArea(QPainter& p, const QRect& area)
{
    // A rectangle for a clip keeps the raster engine on its plain copy: under the paint event's
    // region of several rectangles it blends row by row, and hands tall areas to worker threads.
    p.setClipRect(area);
    const qreal dpr = m_background.devicePixelRatio();
    auto copyBackground = [&](const QRect& r) {
        p.drawPixmap(QRectF(r), m_background, QRectF(r.x() * dpr, r.y() * dpr, r.width() * dpr, r.height() * dpr));
    };
    copyBackground(area);
    const QRect timed = area & TimeStrip();
    const std::array<QRect, 3> titles = {TitleBox(Panel::Noise), TitleBox(Panel::Rssi), TitleBox(Panel::Snr)};
    if (timed.isEmpty() || std::any_of(titles.begin(), titles.end(), [&](const QRect& t) { return t.contains(area); }))
        return;
    const Clock::time_point right = m_right;
    const Scale axis(*this, right, Panel::Rssi);
    const double msPerPx = MsPerPixel();
    auto timeAt = [&](int x) {
        return right - std::chrono::milliseconds(std::llround(double(axis.rect.right() - x + 1) * msPerPx));
    };
    const Clock::time_point from = timeAt(timed.left()), to = timeAt(timed.right() + 1);
    p.save();
    // Nothing that moves with time is drawn left of the strip: the scroll would leave it there.
    p.setClipRect(timed);

    // Time labels at whole minutes (every 5 beyond 10 minutes), for the labels reaching in.
    {
        const int step = m_span > std::chrono::minutes(10) ? 5 : 1;
        const QRect snr = panelRect(Panel::Snr);
        const int labelHalf = kMinuteLabelWidth / 2;
        auto t = std::chrono::floor<std::chrono::minutes>(std::min(right, to + std::chrono::milliseconds(std::llround(labelHalf * msPerPx))));
        const Clock::time_point until = from - std::chrono::milliseconds(std::llround(labelHalf * msPerPx));
        for (; t >= until; t -= std::chrono::minutes(1)) {
            const auto minute = std::chrono::duration_cast<std::chrono::minutes>(t.time_since_epoch()).count();
            if (minute % step != 0)
                continue;
            const int x = axis.X(t);
            p.setPen(QColor(200, 200, 200));
            p.drawLine(x, panelRect(Panel::Noise).top(), x, snr.bottom());
            p.setPen(Qt::black);
            const QStaticText& label = MinuteLabel(t);
            const QSize size = label.size().toSize();
            p.drawStaticText(x - size.width() / 2, snr.bottom() + 2 + (14 - size.height()) / 2, label);
        }
    }

    const TrendHistory& h = m_data.history;
    // A line into the area joins a reading at most kFreshFor older, whose SNR needs as much again.
    const std::size_t first = h.LowerBound(from - 2 * kFreshFor);
    const std::size_t last = std::min(h.size(), h.LowerBound(to + kFreshFor) + 1);

    // One line per level, broken where consecutive values are further apart than a reading
    // stays fresh: a pause or a lost session leaves a gap.
    auto line = [&](Panel panel, QRgb colour, auto valueOf) {
        const Scale scale(*this, right, panel);
        p.save();
        p.setClipRect(scale.rect.adjusted(1, 0, 0, 0) & timed);
        // Two one-pixel lines a row apart rather than one pen two pixels wide: the thin pen is the
        // raster engine's fast path, the wide one is stroked as a polygon and costs a hundred times more.
        p.setPen(QPen(QColor::fromRgb(colour), 0));
        QPolygon run;
        Clock::time_point previous{};
        auto flush = [&] {
            for (int dy : {0, 1}) {
                if (run.size() == 1)
                    p.drawPoint(run[0] + QPoint(0, dy));
                else if (run.size() > 1)
                    p.drawPolyline(run.translated(0, dy));
            }
            run.clear();
        };
        for (std::size_t i = first; i < last; ++i) {
            const auto v = valueOf(i);
            if (!v)
                continue;
            const auto at = h[i].at;
            if (!run.isEmpty() && at - previous > kFreshFor)
                flush();
            run << QPoint(scale.X(at), scale.Y(*v));
            previous = at;
        }
        flush();
        p.restore();
    };
    line(Panel::Noise, kNoiseLine, [&](std::size_t i) { return TrendHistory::Value(h[i].noise); });
    line(Panel::Rssi, kLocalLine, [&](std::size_t i) { return TrendHistory::Value(h[i].local); });
    line(Panel::Rssi, kRemoteLine, [&](std::size_t i) { return TrendHistory::Value(h[i].remote); });

    // SNR from the two raw levels as they stood at each reading.
    LatestLevels levels;
    std::vector<std::optional<int>> snr(last - first);
    for (std::size_t i = first; i < last; ++i) {
        const auto& s = h[i];
        if (s.noise == TrendHistory::kNone && s.local == TrendHistory::kNone)
            continue;
        if (s.noise != TrendHistory::kNone)
            levels.noise = {s.noise, s.at};
        if (s.local != TrendHistory::kNone)
            levels.local = {s.local, s.at};
        snr[i - first] = levels.Snr(s.at, kFreshFor);
    }
    line(Panel::Snr, kSnrLine, [&](std::size_t i) { return snr[i - first]; });

    p.setPen(Qt::NoPen);
    p.setBrush(QColor::fromRgb(kBestMarker));
    for (const TrendData::Best* best : {&m_data.bestLocal, &m_data.bestRemote}) {
        if (!best->value || best->at > right)
            continue;
        const int x = axis.X(best->at);
        if (!MarkerRect(*best->value, x).intersects(timed))
            continue;
        const QPoint c(x, yFor(Panel::Rssi, *best->value));
        const int r = kMarkerRadius;
        p.drawPolygon(QPolygon({c + QPoint(0, -r), c + QPoint(r, 0), c + QPoint(0, r), c + QPoint(-r, 0)}));
    }
    for (const QRect& title : titles)
        if (title.intersects(timed))
            copyBackground(title & timed);
    p.restore();
}

} // namespace approbe::ui
