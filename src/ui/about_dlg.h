#pragma once

#include <QDialog>
#include <QIcon>

namespace approbe::ui {

// The About box; OK, Esc and its close box end it.
class CAboutDlg : public QDialog {
public:
    explicit CAboutDlg(QWidget* parent = nullptr);
};

// The application icon.
QIcon AppIcon();

} // namespace approbe::ui
