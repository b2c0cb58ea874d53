#include <QApplication>

#include "probe_app.h"
#ifdef APPROBE_BENCH_FIRST_PAINT
#include "first_paint_probe.h" // bench/: the start-up figure's end mark
#endif

int main(int argc, char* argv[])
{
    QApplication qapp(argc, argv);
    QApplication::setApplicationName(QStringLiteral("approbe"));
#ifdef APPROBE_BENCH_FIRST_PAINT
    approbe::bench::FirstPaintProbe firstPaint;
#endif
    approbe::CProbeApp app;
    app.InitInstance();
    return 0;
}
