#include "trend_window.h"

#include <QCheckBox>
#include <QComboBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QSlider>
#include <QSpinBox>
#include <QTimer>
#include <QVBoxLayout>

#include "figure.h"
#include "painted_text.h"

namespace approbe::ui {

using session::MacAddress;
using session::Reading;

CTrendWindow::CTrendWindow(TrendData& source, QWidget* parent) : QWidget(parent, Qt::Window), m_data(source)
{
    setWindowTitle(tr("Trend"));
    m_plot = new CTrendPlot(source, this);
    m_snr = new CFigure(this);
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
    m_station = new QComboBox(this);
    m_station->setToolTip(tr("The station the graph, the SNR and the tone follow; the main window shows the first row"));
    m_station->setSizeAdjustPolicy(QComboBox::AdjustToContents);
    m_station->addItem(tr("First row"));

    auto* top = new QHBoxLayout;
    top->addWidget(m_snr);
    top->addWidget(m_best, 1);
    top->addWidget(m_resetBest);
    top->addWidget(reset);
    auto* bottom = new QHBoxLayout;
    bottom->addWidget(new QLabel(tr("Last"), this));
    bottom->addWidget(m_minutes);
    bottom->addWidget(m_mark);
    bottom->addWidget(new QLabel(tr("Station"), this));
    bottom->addWidget(m_station);
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
    connect(m_station, &QComboBox::activated, this, [this](int index) {
        m_data.Follow(index > 0 && static_cast<std::size_t>(index) <= m_data.stationsSeen.size()
                          ? std::optional<MacAddress>(m_data.stationsSeen[static_cast<std::size_t>(index) - 1])
                          : std::nullopt);
        Refresh();
    });
    connect(m_volume, &QSlider::valueChanged, this, &CTrendWindow::toneVolumeChanged);
    connect(m_mute, &QCheckBox::toggled, this, &CTrendWindow::toneMuteChanged);

    // The time axis moves on while the window is shown, readings or not.
    m_tick = new QTimer(this);
    m_tick->setSingleShot(true);
    connect(m_tick, &QTimer::timeout, this, &CTrendWindow::Refresh);
    Refresh();
}

void CTrendWindow::RefreshSoon(const Reading& reading)
{
    if (!isVisible())
        return;
    m_awaited &= ~((reading.noise ? kNoisePart : 0) | (reading.local || reading.remote ? kStationPart : 0));
    if (m_awaited == 0) {
        Refresh();
        return;
    }
    if (!m_tick->isActive() || m_tick->remainingTimeAsDuration() > kCoalesce)
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

void CTrendWindow::ListStations()
{
    const auto items = static_cast<std::size_t>(m_station->count()) - 1;
    if (items > m_data.stationsSeen.size()) { // the data was reset
        while (m_station->count() > 1)
            m_station->removeItem(1);
    }
    for (std::size_t i = static_cast<std::size_t>(m_station->count()) - 1; i < m_data.stationsSeen.size(); ++i)
        m_station->addItem(QString::fromStdString(m_data.stationsSeen[i].ToString()));
    const auto at = std::find(m_data.stationsSeen.begin(), m_data.stationsSeen.end(), m_data.station);
    m_station->setCurrentIndex(m_data.station && at != m_data.stationsSeen.end()
                                   ? static_cast<int>(at - m_data.stationsSeen.begin()) + 1
                                   : 0);
}

void CTrendWindow::Refresh()
{
    m_awaited = kNoisePart | kStationPart;
    ListStations();
    const auto now = m_plot->now();
    const auto snr = m_data.latest.Snr(now, kFreshFor);
    m_snr->setText(snr ? tr("SNR %1 dB").arg(*snr) : tr("SNR -- dB"));
    auto best = [](const char* what, const TrendData::Best& b) {
        return b.value ? tr("Best %1 %2 dBm at %3").arg(tr(what)).arg(*b.value).arg(TimeOfDay(b.at))
                       : tr("Best %1 --").arg(tr(what));
    };
    // Only when they changed: the times are local-time conversions, each reading the zone file.
    if (!m_bestShown || m_shownLocal != m_data.bestLocal || m_shownRemote != m_data.bestRemote) {
        m_best->setText(best("local", m_data.bestLocal) + "\n" + best("remote", m_data.bestRemote));
        m_shownLocal = m_data.bestLocal;
        m_shownRemote = m_data.bestRemote;
        m_bestShown = true;
    }
    m_plot->Follow();
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

