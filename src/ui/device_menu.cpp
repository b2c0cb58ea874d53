#include "device_menu.h"

#include <QAction>
#include <QActionGroup>
#include <QMenu>

#include "probe_dlg.h"

namespace approbe::ui {

using session::DeviceChoice;
using session::DeviceType;
using session::kAutomaticDeviceType;

CDeviceTypeMenu::CDeviceTypeMenu(CProbeDlg& dlg, QMenu& menu, const std::string& stored,
                                 std::function<void(const std::string& name)> remember)
    : m_dlg(dlg), m_menu(menu), m_group(new QActionGroup(&menu)), m_remember(std::move(remember))
{
    session::DeviceTypeSet user = session::LoadDeviceTypes(session::UserDeviceTypeFolder());
    for (const std::string& error : user.errors)
        dlg.AppendLog(error);
    m_userTypes = std::make_shared<const std::vector<DeviceType>>(std::move(user.types));

    std::string chosen = stored.empty() ? std::string(kAutomaticDeviceType) : stored;
    if (chosen != kAutomaticDeviceType && !session::FindDeviceType(*m_userTypes, chosen)) {
        // Its file gone or broken: automatic until it is back, and the profile keeps the name.
        dlg.AppendLog(tr("Device type %1 is not known: automatic").arg(QString::fromStdString(chosen)).toStdString());
        chosen = kAutomaticDeviceType;
    }

    m_group->setExclusive(true);
    menu.setToolTipsVisible(true);
    Add(tr("&Automatic"), std::string(kAutomaticDeviceType), chosen);
    menu.addSeparator();
    for (const DeviceType& type : session::BuiltInDeviceTypes())
        Add(QString::fromStdString(type.name), type.name, chosen);
    if (!m_userTypes->empty())
        menu.addSeparator();
    for (const DeviceType& type : *m_userTypes)
        Add(QString::fromStdString(type.name), type.name, chosen, type.file);
    m_dlg.presenter().SetDeviceChoice(DeviceChoice{chosen, m_userTypes});
}

void CDeviceTypeMenu::Add(const QString& text, const std::string& name, const std::string& chosen,
                          const std::string& tip)
{
    // No data on the action: the window menu takes an action's data for a command of its own.
    auto* action = m_menu.addAction(text);
    action->setCheckable(true);
    action->setChecked(name == chosen);
    action->setToolTip(QString::fromStdString(tip));
    m_group->addAction(action);
    connect(action, &QAction::triggered, this, [this, name] { Choose(name); });
}

void CDeviceTypeMenu::Choose(const std::string& name)
{
    m_dlg.presenter().SetDeviceChoice(DeviceChoice{name, m_userTypes});
    m_remember(name == kAutomaticDeviceType ? std::string() : name);
}

} // namespace approbe::ui
