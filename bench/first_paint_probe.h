#pragma once

// Benchmark builds only: the start-up figure's end mark, shared by the program (built with
// APPROBE_BENCH_FIRST_PAINT) and the bare dialog it is compared with, so both stop the clock alike.

#include <QCoreApplication>
#include <QEvent>
#include <QWidget>
#include <cstdio>
#include <ctime>

namespace approbe::bench {

// On the first paint of any window, prints "first-paint NS" (CLOCK_MONOTONIC) once the whole
// window has been painted, then ends the program's event loops.
class FirstPaintProbe : public QObject {
public:
    FirstPaintProbe() { QCoreApplication::instance()->installEventFilter(this); }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (!m_seen && event->type() == QEvent::Paint && watched->isWidgetType() &&
            static_cast<QWidget*>(watched)->isWindow()) {
            m_seen = true;
            // Queued: it runs after the paint pass that this event belongs to has been flushed.
            QMetaObject::invokeMethod(
                QCoreApplication::instance(),
                [] {
                    timespec now{};
                    clock_gettime(CLOCK_MONOTONIC, &now);
                    std::printf("first-paint %lld\n", static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec);
                    std::fflush(stdout);
                    QCoreApplication::exit(0);
                },
                Qt::QueuedConnection);
        }
        return false;
    }

private:
    bool m_seen = false;
};

} // namespace approbe::bench
