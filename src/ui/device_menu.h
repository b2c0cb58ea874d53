#pragma once

#include <QObject>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "device_catalog.h"

class QActionGroup;
class QMenu;

namespace approbe::ui {

class CProbeDlg;

// The window menu's "Device type": Automatic, each built-in type, then the user's own types, read
// once at the start from UserDeviceTypeFolder() (a file with errors is left out, its error logged
// as FILE:LINE). The one checked is what the presenter hands the next connection.
class CDeviceTypeMenu : public QObject {
    Q_OBJECT
public:
    // stored: the name last chosen, empty for automatic; remember keeps a new choice the same way.
    CDeviceTypeMenu(CProbeDlg& dlg, QMenu& menu, const std::string& stored,
                    std::function<void(const std::string& name)> remember);

private:
    void Add(const QString& text, const std::string& name, const std::string& chosen, const std::string& tip = {});
    void Choose(const std::string& name);

    CProbeDlg& m_dlg;
    QMenu& m_menu;
    QActionGroup* m_group;
    std::shared_ptr<const std::vector<session::DeviceType>> m_userTypes;
    std::function<void(const std::string&)> m_remember;
};

} // namespace approbe::ui
