// The start-up floor: a bare Qt dialog with the main window's 36 controls, of the same kinds and
// at the same places, and nothing else. Marks its first paint like the program and exits.
#include <QApplication>
#include <QDialog>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>

#include "first_paint_probe.h"

namespace {

enum Kind { Button, Label, Edit, Password, ReadOnly, List, Group, Bar };

struct Control {
    Kind kind;
    const char* text;
    int x, y, w, h; // dialog units, as in the program's template
};

constexpr Control kControls[] = {
    {Button, "Connect", 60, 251, 50, 14},        {Button, "Exit", 203, 251, 50, 14},
    {List, "", 5, 200, 248, 45},                 {Button, "Disconn", 4, 251, 50, 14},
    {Label, "Address:", 10, 10, 30, 8},          {Label, "User:", 15, 30, 20, 10},
    {Edit, "", 45, 30, 80, 12},                  {Label, "Password:", 5, 50, 35, 10},
    {Password, "", 45, 50, 80, 12},              {Label, "Local Port:", 135, 25, 35, 10},
    {Edit, "", 180, 25, 45, 12},                 {Button, "Pause", 115, 251, 50, 14},
    {Label, "Noise level:", 10, 75, 38, 8},      {Group, "Noise", 4, 64, 249, 40},
    {Label, "max:", 88, 75, 15, 10},             {Label, "min:", 146, 75, 15, 10},
    {Edit, "", 45, 10, 80, 13},                  {Label, "Rx Byte :", 145, 11, 30, 10},
    {Bar, "", 30, 90, 195, 10},                  {Bar, "", 30, 135, 195, 10},
    {Bar, "", 30, 170, 195, 10},                 {ReadOnly, "", 65, 118, 35, 12},
    {Group, "RSSI", 4, 105, 249, 80},            {Label, "Local RSSI level:", 9, 120, 55, 8},
    {Label, "Remote RSSI level:", 9, 155, 63, 8}, {ReadOnly, "", 72, 153, 38, 12},
    {ReadOnly, "", 47, 73, 35, 12},              {ReadOnly, "", 105, 73, 35, 12},
    {ReadOnly, "", 161, 73, 34, 12},             {ReadOnly, "", 180, 10, 45, 12},
    {Label, "max:", 107, 120, 15, 10},           {ReadOnly, "", 125, 118, 35, 12},
    {ReadOnly, "", 183, 118, 37, 12},            {Label, "min:", 168, 120, 15, 10},
    {ReadOnly, "", 213, 73, 35, 12},             {Label, "avr:", 200, 75, 15, 10},
};
static_assert(std::size(kControls) == 36);

QWidget* Create(QWidget& parent, const Control& c)
{
    const QString text = QString::fromUtf8(c.text);
    switch (c.kind) {
    case Button: return new QPushButton(text, &parent);
    case Label: return new QLabel(text, &parent);
    case Edit: return new QLineEdit(&parent);
    case Password: {
        auto* edit = new QLineEdit(&parent);
        edit->setEchoMode(QLineEdit::Password);
        return edit;
    }
    case ReadOnly: {
        auto* edit = new QLineEdit(&parent);
        edit->setReadOnly(true);
        return edit;
    }
    case List: return new QListWidget(&parent);
    case Group: {
        auto* box = new QGroupBox(text, &parent);
        box->lower();
        return box;
    }
    case Bar: return new QProgressBar(&parent);
    }
    return nullptr;
}

} // namespace

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    approbe::bench::FirstPaintProbe firstPaint;
    QDialog dialog;
    dialog.setWindowTitle(QStringLiteral("Test Korvane AP"));
    // About the program's pixels per dialog unit at its 8 pt font.
    auto px = [](int du, int num, int den) { return (du * num + den / 2) / den; };
    for (const Control& c : kControls)
        Create(dialog, c)->setGeometry(px(c.x, 3, 2), px(c.y, 13, 8), px(c.w, 3, 2), px(c.h, 13, 8));
    dialog.setFixedSize(px(260, 3, 2), px(272, 13, 8));
    dialog.exec();
    return 0;
}
