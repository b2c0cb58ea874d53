#include "dialog_template.h"

#include <QFontMetrics>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPainter>
#include <QPushButton>
#include <qdrawutil.h>
#include <QWidget>

#include "control_ids.h"
#include "level_bar.h"

namespace approbe::ui {
namespace {

using enum ControlKind;

constexpr ControlTemplate kProbeControls[] = {
    {IDOK, PushButton, "Connect", 60, 251, 50, 14, kTabStop | kDefaultButton},
    {IDCANCEL, PushButton, "Exit", 203, 251, 50, 14, kTabStop},
    {IDC_LOG, ListBox, "", 5, 200, 248, 45},
    {IDC_DISCONNECT, PushButton, "Disconn", 4, 251, 50, 14, kTabStop | kDefaultButton},
    {-1, Label, "Address:", 10, 10, 30, 8},
    {-1, Label, "User:", 15, 30, 20, 10},
    {IDC_USER, Edit, "", 45, 30, 80, 12, kTabStop},
    {-1, Label, "Password:", 5, 50, 35, 10},
    {IDC_PASSWORD, PasswordEdit, "", 45, 50, 80, 12, kTabStop},
    {-1, Label, "Local Port:", 135, 25, 35, 10},
    {IDC_PORT, Edit, "", 180, 25, 45, 12, kTabStop},
    {IDC_PAUSE, PushButton, "Pause", 115, 251, 50, 14, kTabStop | kDefaultButton},
    {-1, Label, "Noise level:", 10, 75, 38, 8},
    {-1, GroupBox, "Noise", 4, 64, 249, 40},
    {-1, Label, "max:", 88, 75, 15, 10},
    {-1, Label, "min:", 146, 75, 15, 10},
    {IDC_HOST, Edit, "", 45, 10, 80, 13, kTabStop},
    {-1, Label, "Rx Byte :", 145, 11, 30, 10},
    {IDC_NOISE_BAR, ProgressBar, "", 30, 90, 195, 10},
    {IDC_LOCAL_RSSI_BAR, ProgressBar, "", 30, 135, 195, 10},
    {IDC_REMOTE_RSSI_BAR, ProgressBar, "", 30, 170, 195, 10},
    {IDC_LOCAL_RSSI_CUR, ReadOnlyEdit, "", 65, 118, 35, 12},
    {-1, GroupBox, "RSSI", 4, 105, 249, 80},
    {-1, Label, "Local RSSI level:", 9, 120, 55, 8},
    {-1, Label, "Remote RSSI level:", 9, 155, 63, 8},
    {IDC_REMOTE_RSSI_CUR, ReadOnlyEdit, "", 72, 153, 38, 12},
    {IDC_NOISE_CUR, ReadOnlyEdit, "", 47, 73, 35, 12},
    {IDC_NOISE_MAX, ReadOnlyEdit, "", 105, 73, 35, 12},
    {IDC_NOISE_MIN, ReadOnlyEdit, "", 161, 73, 34, 12},
    {IDC_RX_BYTES, ReadOnlyEdit, "", 180, 10, 45, 12},
    {-1, Label, "max:", 107, 120, 15, 10},
    {IDC_LOCAL_RSSI_MAX, ReadOnlyEdit, "", 125, 118, 35, 12},
    {IDC_LOCAL_RSSI_MIN, ReadOnlyEdit, "", 183, 118, 37, 12},
    {-1, Label, "min:", 168, 120, 15, 10},
    {IDC_NOISE_AVG, ReadOnlyEdit, "", 213, 73, 35, 12},
    {-1, Label, "avr:", 200, 75, 15, 10},
};

constexpr ControlTemplate kAboutControls[] = {
    {-1, Label, "Test Korvane AP Version 1.0", 40, 10, 95, 8},
    {-1, Label, "approbe team", 64, 26, 50, 8},
    {IDOK, PushButton, "OK", 178, 7, 50, 14, kTabStop | kDefaultButton},
    {-1, Label, "approbe project", 50, 40, 80, 8},
};

// A group box as dialogs draw one on the desktop this program comes from: the title sits on the
// frame's top line, which runs through the middle of the title. Qt's styles put the title above
// the frame instead. The box frames sibling controls; it holds no children of its own.
class GroupFrame : public QGroupBox {
public:
    using QGroupBox::QGroupBox;

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter painter(this);
        const QFontMetrics metrics(font());
        // An etched line; the styles' group-box frame keeps room for a title above itself.
        qDrawShadeRect(&painter, rect().adjusted(0, metrics.height() / 2, 0, 0), palette(), true);
        const QRect caption(metrics.averageCharWidth(), 0, metrics.horizontalAdvance(title()) + 4, metrics.height());
        painter.fillRect(caption, palette().window());
        style()->drawItemText(&painter, caption, Qt::AlignCenter, palette(), isEnabled(), title(),
                              QPalette::WindowText);
    }
};

bool IsEdit(ControlKind kind) { return kind == Edit || kind == PasswordEdit || kind == ReadOnlyEdit; }

// The edit a label names: the nearest one to its right on the same row, or nullptr.
const ControlTemplate* EditRightOf(const ControlTemplate& label, std::span<const ControlTemplate> controls)
{
    const ControlTemplate* nearest = nullptr;
    for (const ControlTemplate& c : controls) {
        const bool sameRow = c.y < label.y + label.h && label.y < c.y + c.h;
        if (IsEdit(c.kind) && sameRow && c.x >= label.x + label.w / 2 && (!nearest || c.x < nearest->x))
            nearest = &c;
    }
    return nearest;
}

QWidget* CreateControl(QWidget& parent, const ControlTemplate& c)
{
    const QString text = QString::fromUtf8(c.text);
    switch (c.kind) {
    case PushButton: {
        auto* button = new QPushButton(text, &parent);
        button->setDefault((c.flags & kDefaultButton) && c.id == IDOK);
        return button;
    }
    case Label: {
        auto* label = new QLabel(text, &parent);
        label->setTextFormat(Qt::PlainText);
        return label;
    }
    case Edit:
    case PasswordEdit:
    case ReadOnlyEdit: {
        auto* edit = new QLineEdit(&parent);
        if (c.kind == PasswordEdit)
            edit->setEchoMode(QLineEdit::Password);
        if (c.kind == ReadOnlyEdit)
            edit->setReadOnly(true);
        return edit;
    }
    case ListBox: {
        auto* list = new QListWidget(&parent);
        list->setSelectionMode(QAbstractItemView::NoSelection);
        list->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
        list->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
        list->setTextElideMode(Qt::ElideNone);
        list->setWordWrap(false);
        list->setUniformItemSizes(true);
        return list;
    }
    case GroupBox: {
        auto* box = new GroupFrame(text, &parent);
        box->setAlignment(Qt::AlignLeft);
        return box;
    }
    case ProgressBar:
        return new CLevelBar(&parent);
    }
    return nullptr;
}

} // namespace

const DialogTemplate kProbeDialogTemplate{"Test Korvane AP", 260, 272, kProbeControls};
const DialogTemplate kAboutDialogTemplate{"About Test Korvane AP", 235, 76, kAboutControls};

QFont DialogFont()
{
    QFont font(QStringLiteral("Sans Serif"));
    font.setStyleHint(QFont::SansSerif);
    font.setPointSize(8);
    return font;
}

DialogUnits::DialogUnits(const QFont& font)
{
    const QFontMetrics metrics(font);
    const int alphabet =
        metrics.horizontalAdvance(QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    baseX = (alphabet / 26 + 1) / 2;
    baseY = metrics.height();
}

int DialogUnits::x(int du) const { return (du * baseX + 2) / 4; }
int DialogUnits::y(int du) const { return (du * baseY + 4) / 8; }

void BuildDialog(QWidget& parent, const DialogTemplate& tmpl)
{
    parent.setFont(DialogFont());
    parent.setWindowTitle(QString::fromUtf8(tmpl.caption));
    const DialogUnits du(parent.font());
    QWidget* previousTab = nullptr;
    int index = 0;
    for (const ControlTemplate& c : tmpl.controls) {
        QWidget* w = CreateControl(parent, c);
        w->setProperty("controlId", c.id);
        w->setProperty("templateIndex", index++);
        w->setGeometry(du.x(c.x), du.y(c.y), du.x(c.w), du.y(c.h));
        if (const ControlTemplate* edit = c.kind == Label ? EditRightOf(c, tmpl.controls) : nullptr) {
            // A label and its value read as one line: the label takes the edit's top and height,
            // and both centre their text vertically.
            w->setGeometry(du.x(c.x), du.y(edit->y), du.x(c.w), du.y(edit->h));
        }
        if (c.kind == ListBox) {
            // Whole lines only, as the list shows them.
            auto* list = static_cast<QListWidget*>(w);
            list->addItem(QStringLiteral("X"));
            const int line = std::max(1, list->sizeHintForRow(0));
            list->clear();
            const int frame = 2 * list->frameWidth();
            const int lines = std::max(1, (w->height() - frame) / line);
            w->resize(w->width(), lines * line + frame);
        }
        if (c.kind == GroupBox)
            w->lower(); // behind the controls it frames
        if (c.flags & kTabStop) {
            w->setFocusPolicy(Qt::StrongFocus);
            if (previousTab)
                QWidget::setTabOrder(previousTab, w);
            previousTab = w;
        } else if (c.kind != Label && c.kind != GroupBox && c.kind != ProgressBar) {
            w->setFocusPolicy(Qt::ClickFocus);
        }
    }
    parent.setFixedSize(du.x(tmpl.w), du.y(tmpl.h));
}

} // namespace approbe::ui
