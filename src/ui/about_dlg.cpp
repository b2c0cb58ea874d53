#include "about_dlg.h"

#include <QImageReader>
#include <QPixmap>
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
    for (int size : {16, 24, 32, 48, 64}) {
        // Read as PNG, not detected: detecting the format loads every image format plugin (JPEG,
        // GIF, ICO and their libraries), about 400 kB of start-up's memory for five small PNGs.
        QImageReader reader(QStringLiteral(":/approbe/icons/approbe-%1.png").arg(size), "png");
        reader.setAutoDetectImageFormat(false);
        icon.addPixmap(QPixmap::fromImage(reader.read()));
    }
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
