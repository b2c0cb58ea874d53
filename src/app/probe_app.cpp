#include "probe_app.h"

#include "probe_dlg.h"

namespace approbe {

bool CProbeApp::InitInstance()
{
    ui::CProbeDlg dlg;
    dlg.exec();
    return false;
}

} // namespace approbe
