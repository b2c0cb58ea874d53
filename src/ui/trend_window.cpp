#include "trend_window.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDateTime>
#include <QEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QSlider>
#include <QSpinBox>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>

#include "bars.h"

namespace approbe::ui {
namespace {

using Clock = std::chrono::system_clock;

std::int16_t Store(const std::optional<int>& v)
{
    if (!v)
        return TrendHistory::kNone;
    // Far outside any panel's range either way; kNone stays reserved.
    return static_cast<std::int16_t>(std::clamp(*v, -32000, 32000));
}

std::optional<int> Load(std::int16_t v) { return v == TrendHistory::kNone ? std::nullopt : std::optional<int>(v); }

QString TimeOfDay(Clock::time_point t)
{
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count();
    return QDateTime::fromMSecsSinceEpoch(ms).toString("HH:mm:ss");
}

void Improve(TrendData::Best& best, const std::optional<int>& value, Clock::time_point at)
{
    if (value && (!best.value || *value > *best.value))
        best = {value, at};
}

} // namespace

void TrendHistory::Add(const Reading& reading)
{
    Sample& s = m_ring[(m_head + m_size) % kCapacity];
    s = {reading.at, Store(reading.noise), Store(reading.local), Store(reading.remote)};
    if (m_size < kCapacity)
        ++m_size;
    else
        m_head = (m_head + 1) % kCapacity;
}

std::size_t TrendHistory::LowerBound(Clock::time_point t) const
{
    std::size_t lo = 0, hi = m_size;
    while (lo < hi) {
        const std::size_t mid = (lo + hi) / 2;
        if ((*this)[mid].at < t)
            lo = mid + 1;
        else
            hi = mid;
    }
    return lo;
}

void TrendData::Add(const Reading& reading)
{
    if (!reading.any())
        return;
    history.Add(reading);
    latest.Update(reading);
    Improve(bestLocal, reading.local, reading.at);
    Improve(bestRemote, reading.remote, reading.at);
}

CTrendPlot::CTrendPlot(const TrendData& source, QWidget* parent) : QWidget(parent), m_data(source)
{
    setAttribute(Qt::WA_OpaquePaintEvent);
    setMinimumSize(320, 240);
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

// Time and value to pixels, worked out once per paint rather than once per sample.
struct CTrendPlot::Scale {
    Scale(const CTrendPlot& plot, Clock::time_point now_, Panel panel)
        : now(now_), rect(plot.panelRect(panel)), range(Range(panel)),
          pxPerMs(double(plot.panelRect(Panel::Rssi).width() - 1) /
                  double(std::chrono::duration_cast<std::chrono::milliseconds>(plot.m_span).count()))
    {
    }
    int X(Clock::time_point t) const
    {
        const auto age = std::chrono::duration_cast<std::chrono::milliseconds>(now - t).count();
        return rect.right() - static_cast<int>(std::lround(double(age) * pxPerMs));
    }
    int Y(int value) const
    {
        const int v = std::clamp(value, range.first, range.second);
        return rect.bottom() -
               static_cast<int>(std::lround(double(v - range.first) * (rect.height() - 1) / (range.second - range.first)));
    }
    Clock::time_point now;
    QRect rect;
    std::pair<int, int> range;
    double pxPerMs;
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
        p.setPen(Qt::black);
        for (int v : {lo, (lo + hi) / 2, hi})
            p.drawText(QRect(0, yFor(panel, v) - 8, r.left() - 4, 16), Qt::AlignRight | Qt::AlignVCenter,
                       QString::number(v));
        const char* title = panel == Panel::Noise ? "Noise dBm" : panel == Panel::Rssi ? "RSSI dBm (local, remote)" : "SNR dB";
        p.drawText(r.adjusted(4, 2, 0, 0), Qt::AlignLeft | Qt::AlignTop, tr(title));
    }
}

const QString& CTrendPlot::MinuteLabel(Clock::time_point minute)
{
    const qint64 key = std::chrono::duration_cast<std::chrono::minutes>(minute.time_since_epoch()).count();
    if (m_minuteLabels.size() > 64) // a span holds at most 31
        m_minuteLabels.clear();
    auto it = m_minuteLabels.find(key);
    if (it == m_minuteLabels.end())
        it = m_minuteLabels.insert(key, TimeOfDay(minute).left(5));
    return *it;
}

void CTrendPlot::changeEvent(QEvent* event)
{
    if (event->type() == QEvent::FontChange)
        m_background = {};
    QWidget::changeEvent(event);
}

void CTrendPlot::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    QFont small = font();
    small.setPointSizeF(small.pointSizeF() * 0.8);
    // Painted once per size and blitted: a reading a second repaints the graph, and the text and
    // translucent fills of the background were most of what a paint cost.
    const qreal dpr = devicePixelRatioF();
    if (m_background.size() != size() * dpr || m_background.devicePixelRatio() != dpr) {
        m_background = QPixmap(size() * dpr);
        m_background.setDevicePixelRatio(dpr);
        QPainter bg(&m_background);
        bg.setFont(small);
        PaintBackground(bg);
    }
    p.drawPixmap(0, 0, m_background);
    const Clock::time_point right = now();
    const Clock::time_point left = right - m_span;
    p.setFont(small);
    // Time labels at whole minutes (every 5 beyond 10 minutes).
    {
        const int step = m_span > std::chrono::minutes(10) ? 5 : 1;
        auto t = std::chrono::floor<std::chrono::minutes>(right);
        const QRect r = panelRect(Panel::Snr);
        for (; t >= left; t -= std::chrono::minutes(1)) {
            const auto minute = std::chrono::duration_cast<std::chrono::minutes>(t.time_since_epoch()).count();
            if (minute % step != 0)
                continue;
            const int x = xFor(t, right);
            p.setPen(QColor(200, 200, 200));
            p.drawLine(x, panelRect(Panel::Noise).top(), x, r.bottom());
            p.setPen(Qt::black);
            p.drawText(QRect(x - 30, r.bottom() + 2, 60, 14), Qt::AlignCenter, MinuteLabel(t));
        }
    }

    const TrendHistory& h = m_data.history;
    // A little before the left edge, so a line enters from the edge and SNR has its context.
    const std::size_t first = h.LowerBound(left - kFreshFor);

    // One line per level, broken where consecutive values are further apart than a reading
    // stays fresh: a pause or a lost session leaves a gap.
    auto line = [&](Panel panel, QRgb colour, auto valueOf) {
        const Scale scale(*this, right, panel);
        p.save();
        p.setClipRect(scale.rect);
        // Two one-pixel lines a row apart rather than one pen two pixels wide: the thin pen is the
        // raster engine's fast path, the wide one is stroked as a polygon and costs a hundred times more.
        p.setPen(QPen(QColor::fromRgb(colour), 0));
        QPolygon run;
        Clock::time_point last{};
        auto flush = [&] {
            for (int dy : {0, 1}) {
                if (run.size() == 1)
                    p.drawPoint(run[0] + QPoint(0, dy));
                else if (run.size() > 1)
                    p.drawPolyline(run.translated(0, dy));
            }
            run.clear();
        };
        for (std::size_t i = first; i < h.size(); ++i) {
            const auto v = valueOf(i);
            if (!v)
                continue;
            const auto at = h[i].at;
            if (!run.isEmpty() && at - last > kFreshFor)
                flush();
            run << QPoint(scale.X(at), scale.Y(*v));
            last = at;
        }
        flush();
        p.restore();
    };
    line(Panel::Noise, kNoiseLine, [&](std::size_t i) { return Load(h[i].noise); });
    line(Panel::Rssi, kLocalLine, [&](std::size_t i) { return Load(h[i].local); });
    line(Panel::Rssi, kRemoteLine, [&](std::size_t i) { return Load(h[i].remote); });

    // SNR from the two raw levels as they stood at each reading.
    LatestLevels levels;
    std::vector<std::optional<int>> snr(h.size() - first);
    for (std::size_t i = first; i < h.size(); ++i) {
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
        if (!best->value || best->at < left || best->at > right)
            continue;
        const QPoint c(xFor(best->at, right), yFor(Panel::Rssi, *best->value));
        p.drawPolygon(QPolygon({c + QPoint(0, -6), c + QPoint(6, 0), c + QPoint(0, 6), c + QPoint(-6, 0)}));
    }
}

CTrendWindow::CTrendWindow(TrendData& source, QWidget* parent) : QWidget(parent, Qt::Window), m_data(source)
{
    setWindowTitle(tr("Trend"));
    m_plot = new CTrendPlot(source, this);
    m_snr = new QLabel(this);
    QFont big = m_snr->font();
    big.setPointSizeF(big.pointSizeF() * 2.5);
    big.setBold(true);
    m_snr->setFont(big);
    // A fixed size: a new text then repaints the label without laying out the window again.
    m_snr->setFixedSize(m_snr->fontMetrics().horizontalAdvance("SNR -888 dB"), m_snr->fontMetrics().height());
    m_best = new QLabel(this);
    m_resetBest = new QPushButton(tr("Reset &best"), this);
    auto* reset = new QPushButton(tr("R&eset"), this);
    reset->setToolTip(tr("Forget the history and the best values"));
    m_minutes = new QSpinBox(this);
    m_minutes->setRange(1, 30);
    m_minutes->setSuffix(tr(" min"));
    m_minutes->setValue(5);
    m_mark = new QPushButton(tr("&Mark..."), this);
    m_source = new QComboBox(this);
    m_source->addItems({tr("Local RSSI"), tr("Remote RSSI"), tr("SNR")});
    m_mute = new QCheckBox(tr("M&ute"), this);
    m_volume = new QSlider(Qt::Horizontal, this);
    m_volume->setRange(0, 100);
    m_volume->setValue(50);
    m_volume->setMaximumWidth(120);

    auto* top = new QHBoxLayout;
    top->addWidget(m_snr);
    top->addWidget(m_best, 1);
    top->addWidget(m_resetBest);
    top->addWidget(reset);
    auto* bottom = new QHBoxLayout;
    bottom->addWidget(new QLabel(tr("Last"), this));
    bottom->addWidget(m_minutes);
    bottom->addWidget(m_mark);
    bottom->addStretch(1);
    bottom->addWidget(new QLabel(tr("Tone follows"), this));
    bottom->addWidget(m_source);
    bottom->addWidget(m_mute);
    bottom->addWidget(new QLabel(tr("Volume"), this));
    bottom->addWidget(m_volume);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addWidget(m_plot, 1);
    layout->addLayout(bottom);

    connect(m_minutes, &QSpinBox::valueChanged, this, [this](int minutes) {
        m_plot->setSpan(std::chrono::minutes(minutes));
        emit spanChanged(minutes);
    });
    connect(m_mark, &QPushButton::clicked, this, &CTrendWindow::markRequested);
    connect(m_resetBest, &QPushButton::clicked, this, [this] {
        m_data.ResetBest();
        Refresh();
    });
    connect(reset, &QPushButton::clicked, this, [this] {
        m_data = TrendData{};
        Refresh();
    });
    connect(m_source, &QComboBox::currentIndexChanged, this, &CTrendWindow::toneSourceChanged);
    connect(m_volume, &QSlider::valueChanged, this, &CTrendWindow::toneVolumeChanged);
    connect(m_mute, &QCheckBox::toggled, this, &CTrendWindow::toneMuteChanged);

    // The time axis moves on while the window is shown, readings or not.
    m_tick = new QTimer(this);
    m_tick->setSingleShot(true);
    connect(m_tick, &QTimer::timeout, this, &CTrendWindow::Refresh);
    Refresh();
}

void CTrendWindow::RefreshSoon()
{
    if (isVisible() && (!m_tick->isActive() || m_tick->remainingTimeAsDuration() > kCoalesce))
        m_tick->start(kCoalesce);
}

void CTrendWindow::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    m_tick->start(kScroll);
}

void CTrendWindow::hideEvent(QHideEvent* event)
{
    QWidget::hideEvent(event);
    m_tick->stop();
}

void CTrendWindow::Refresh()
{
    const auto now = m_plot->now();
    const auto snr = m_data.latest.Snr(now, kFreshFor);
    m_snr->setText(snr ? tr("SNR %1 dB").arg(*snr) : tr("SNR -- dB"));
    auto best = [](const char* what, const TrendData::Best& b) {
        return b.value ? tr("Best %1 %2 dBm at %3").arg(tr(what)).arg(*b.value).arg(TimeOfDay(b.at))
                       : tr("Best %1 --").arg(tr(what));
    };
    // Only when they changed: the times are local-time conversions, each reading the zone file.
    auto same = [](const TrendData::Best& a, const TrendData::Best& b) { return a.value == b.value && a.at == b.at; };
    if (!m_bestShown || !same(m_shownLocal, m_data.bestLocal) || !same(m_shownRemote, m_data.bestRemote)) {
        m_best->setText(best("local", m_data.bestLocal) + "\n" + best("remote", m_data.bestRemote));
        m_shownLocal = m_data.bestLocal;
        m_shownRemote = m_data.bestRemote;
        m_bestShown = true;
    }
    m_plot->update();
    if (isVisible())
        m_tick->start(kScroll);
}

void CTrendWindow::setHost(const QString& host) { setWindowTitle(host.isEmpty() ? tr("Trend") : tr("Trend - %1").arg(host)); }

void CTrendWindow::setSpanMinutes(int minutes) { m_minutes->setValue(minutes); }
int CTrendWindow::spanMinutes() const { return m_minutes->value(); }

void CTrendWindow::setTone(int source, int volume, bool mute)
{
    m_source->setCurrentIndex(std::clamp(source, 0, 2));
    m_volume->setValue(volume);
    m_mute->setChecked(mute);
}

} // namespace approbe::ui
