#include <QApplication>

#include "probe_app.h"

int main(int argc, char* argv[])
{
    QApplication qapp(argc, argv);
    QApplication::setApplicationName(QStringLiteral("approbe"));
    approbe::CProbeApp app;
    app.InitInstance();
    return 0;
}
