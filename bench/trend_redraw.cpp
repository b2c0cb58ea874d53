// trendredraw: the trend window redrawing a full 30-minute history at once (as on opening it or
// changing its span), painted and flushed to the X display, against a floor that draws the same
// points as four plain one-pixel polylines on white in a window of the same size.
#include <QApplication>
#include <QPainter>
#include <QWindow>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <stdexcept>
#include <thread>
#include <vector>

#include "benchmarks.h"
#include "trend_window.h"

namespace approbe::bench {
namespace {

using Clock = std::chrono::system_clock;
using session::Reading;

class FloorPlot : public QWidget {
public:
    explicit FloorPlot(std::vector<QPolygon> lines) : m_lines(std::move(lines)) { setAttribute(Qt::WA_OpaquePaintEvent); }

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter p(this);
        p.fillRect(rect(), Qt::white);
        for (const QPolygon& line : m_lines)
            p.drawPolyline(line);
    }

private:
    std::vector<QPolygon> m_lines;
};

void ShowAndWait(QWidget& w)
{
    w.show();
    for (int i = 0; i < 500 && !(w.windowHandle() && w.windowHandle()->isExposed()); ++i) {
        QApplication::processEvents();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (!w.windowHandle() || !w.windowHandle()->isExposed())
        throw std::runtime_error("a window was not shown on the X display");
    QApplication::processEvents();
}

// Median ms of a synchronous repaint (paint and flush), after one to warm up.
double MedianRepaintMs(QWidget& w, int runs)
{
    w.repaint();
    std::vector<double> ms;
    for (int i = 0; i < runs; ++i) {
        const auto start = std::chrono::steady_clock::now();
        w.repaint();
        ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
    }
    std::sort(ms.begin(), ms.end());
    return ms[ms.size() / 2];
}

} // namespace

int RunTrendRedraw(const Options& o)
{
    const int runs = o.runs > 0 ? o.runs : 30;
    // Two readings a second for 30 minutes, noise and station apart, as a session brings them.
    ui::TrendData data;
    const Clock::time_point t0 = Clock::now() - std::chrono::minutes(30);
    constexpr int kReadings = 3600;
    for (int i = 0; i < kReadings; ++i) {
        const auto at = t0 + std::chrono::milliseconds(500 * i);
        data.Add(i % 2 ? Reading{-90 - i % 7, std::nullopt, std::nullopt, 0, at}
                       : Reading{std::nullopt, -60 - i % 11, -70 - i % 5, 0, at});
    }
    ui::CTrendWindow window(data);
    window.setSpanMinutes(30);
    window.resize(1000, 600);
    ShowAndWait(window);
    const double ours = MedianRepaintMs(window.plot(), runs);

    // The same number of points per line, across the same width.
    const QSize size = window.plot().size();
    std::vector<QPolygon> lines(4);
    for (int k = 0; k < 4; ++k)
        for (int i = 0; i < kReadings / 2; ++i)
            lines[k] << QPoint(i * (size.width() - 1) / (kReadings / 2 - 1), (k + 1) * size.height() / 5 + (i % 11));
    FloorPlot floor(std::move(lines));
    floor.resize(size);
    ShowAndWait(floor);
    const double least = MedianRepaintMs(floor, runs);

    std::printf("# 30-minute history, %d readings, %dx%d graph, median of %d repaints: trend window %.2f ms, "
                "floor %.2f ms\n", kReadings, size.width(), size.height(), runs, ours, least);
    std::printf("RESULT trend_redraw_ms.ours %g\nRESULT trend_redraw_ms.floor %g\n", ours, least);
    return 0;
}

} // namespace approbe::bench
