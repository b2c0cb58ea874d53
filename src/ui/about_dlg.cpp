#include "about_dlg.h"

#include <QPushButton>

#include "control_ids.h"
#include "dialog_template.h"
#include "resource_ids.h"

namespace approbe::ui {

const char* LoadString(unsigned id)
{
    return id == IDS_ABOUTBOX ? "&About Korvane AP test..." : "";
}

QIcon AppIcon()
{
    // The sizes a title bar, a task bar and a task switcher ask for, drawn for each.
    QIcon icon;
    for (int size : {16, 24, 32, 48, 64})
        icon.addFile(QStringLiteral(":/approbe/icons/approbe-%1.png").arg(size), QSize(size, size));
    return icon;
}

CAboutDlg::CAboutDlg(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint |
                          Qt::MSWindowsFixedSizeDialogHint)
{
    BuildDialog(*this, kAboutDialogTemplate);
    for (auto* button : findChildren<QPushButton*>()) {
        if (button->property("controlId").toInt() == IDOK)
            connect(button, &QPushButton::clicked, this, &QDialog::accept);
    }
}

} // namespace approbe::ui
