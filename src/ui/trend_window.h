#pragma once

#include <QWidget>
#include <chrono>

#include "trend_data.h"
#include "trend_plot.h"

class QLabel;
class QSpinBox;
class QComboBox;
class QCheckBox;
class QSlider;
class QPushButton;
class QTimer;

namespace approbe::ui {

class CFigure;

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
    void RefreshSoon(const session::Reading& reading);
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
