// The main dialog and the About box as their templates lay them out, and the system menu.
#include <gtest/gtest.h>

#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QPushButton>
#include <QTest>

#include "about_dlg.h"
#include "control_ids.h"
#include "dialog_template.h"
#include "gui_support.h"
#include "level_bar.h"
#include "probe_dlg.h"
#include "resource_ids.h"
#include "temp_dir.h"

namespace approbe {
namespace {

using namespace ui;
using enum ui::ControlId;

bool IsKind(QWidget* w, ControlKind kind)
{
    switch (kind) {
    case ControlKind::PushButton: return qobject_cast<QPushButton*>(w);
    case ControlKind::Label: return qobject_cast<QLabel*>(w);
    case ControlKind::Edit: {
        auto* e = qobject_cast<QLineEdit*>(w);
        return e && !e->isReadOnly() && e->echoMode() == QLineEdit::Normal;
    }
    case ControlKind::PasswordEdit: {
        auto* e = qobject_cast<QLineEdit*>(w);
        return e && e->echoMode() == QLineEdit::Password;
    }
    case ControlKind::ReadOnlyEdit: {
        auto* e = qobject_cast<QLineEdit*>(w);
        return e && e->isReadOnly();
    }
    case ControlKind::ListBox: return qobject_cast<QListWidget*>(w);
    case ControlKind::GroupBox: return qobject_cast<QGroupBox*>(w);
    case ControlKind::ProgressBar: return dynamic_cast<CLevelBar*>(w);
    }
    return false;
}

QString TextOf(QWidget* w)
{
    if (auto* b = qobject_cast<QPushButton*>(w))
        return b->text();
    if (auto* l = qobject_cast<QLabel*>(w))
        return l->text();
    if (auto* g = qobject_cast<QGroupBox*>(w))
        return g->title();
    return {};
}

// The widgets built from the template, in template order.
QList<QWidget*> Built(QWidget& dlg)
{
    QList<QWidget*> out;
    for (QObject* child : dlg.children()) {
        if (child->property("templateIndex").isValid())
            out << static_cast<QWidget*>(child);
    }
    std::sort(out.begin(), out.end(), [](QWidget* a, QWidget* b) {
        return a->property("templateIndex").toInt() < b->property("templateIndex").toInt();
    });
    return out;
}

class TemplateTest : public ::testing::Test {
protected:
    TemplateTest() : dlg(dir.file("approbe.ini")) { dlg.show(); }
    test::TempDir dir;
    CProbeDlg dlg;
};

TEST_F(TemplateTest, EveryControlIsBuiltWithItsIdKindAndText)
{
    const auto& controls = kProbeDialogTemplate.controls;
    const QList<QWidget*> built = Built(dlg);
    ASSERT_EQ(controls.size(), 36u);
    ASSERT_EQ(built.size(), 36);
    for (std::size_t i = 0; i < controls.size(); ++i) {
        SCOPED_TRACE(controls[i].text);
        QWidget* w = built[static_cast<qsizetype>(i)];
        EXPECT_EQ(w->property("controlId").toInt(), controls[i].id);
        EXPECT_TRUE(IsKind(w, controls[i].kind));
        EXPECT_EQ(TextOf(w), QString::fromUtf8(controls[i].text));
    }
    EXPECT_EQ(dlg.windowTitle(), "Test Korvane AP");
}

TEST_F(TemplateTest, PlacesControlsInDialogUnitsAndIsFixedSize)
{
    const DialogUnits du(dlg.font());
    EXPECT_EQ(dlg.size(), QSize(du.x(260), du.y(272)));
    EXPECT_EQ(dlg.minimumSize(), dlg.maximumSize());
    EXPECT_EQ(dlg.control(IDC_HOST)->geometry(), QRect(du.x(45), du.y(10), du.x(80), du.y(13)));
    EXPECT_EQ(dlg.control(IDCANCEL)->geometry(), QRect(du.x(203), du.y(251), du.x(50), du.y(14)));
    EXPECT_EQ(dlg.control(IDC_REMOTE_RSSI_BAR)->geometry(), QRect(du.x(30), du.y(170), du.x(195), du.y(10)));
    EXPECT_EQ(dlg.control(IDC_LOG)->width(), du.x(248));
    EXPECT_LE(dlg.control(IDC_LOG)->height(), du.y(45)) << "snapped down to whole lines";
    EXPECT_FALSE(dlg.windowFlags() & Qt::WindowMinimizeButtonHint);
    EXPECT_FALSE(dlg.windowFlags() & Qt::WindowMaximizeButtonHint);
    EXPECT_FALSE(dlg.windowIcon().isNull());
    const QList<QSize> iconSizes = {{16, 16}, {24, 24}, {32, 32}, {48, 48}, {64, 64}};
    EXPECT_EQ(dlg.windowIcon().availableSizes(), iconSizes) << "each size drawn for it, read from the resources";
}

TEST_F(TemplateTest, TabOrderStartsOnConnectAndSkipsEverythingElse)
{
    ASSERT_TRUE(test::ServeUntil([&] { return QApplication::focusWidget() != nullptr; }));
    EXPECT_EQ(QApplication::focusWidget(), dlg.control(IDOK));
    const int expected[] = {IDCANCEL, IDC_DISCONNECT, IDC_USER, IDC_PASSWORD, IDC_PORT, IDC_PAUSE, IDC_HOST, IDOK};
    for (int id : expected) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        EXPECT_EQ(QApplication::focusWidget(), dlg.control(id)) << "expected control " << id;
    }
}

TEST_F(TemplateTest, LogListCutsLongLinesAndScrollsVertically)
{
    auto* log = static_cast<QListWidget*>(dlg.control(IDC_LOG));
    EXPECT_EQ(log->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
    EXPECT_EQ(log->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
    EXPECT_EQ(log->selectionMode(), QAbstractItemView::NoSelection);
    const int width = dlg.control(IDC_NOISE_CUR)->width();
    dlg.SetField(IDC_NOISE_CUR, std::string(200, '9'));
    EXPECT_EQ(dlg.control(IDC_NOISE_CUR)->width(), width) << "a long value does not widen its field";
}

TEST_F(TemplateTest, EnterInAnEditPressesConnect)
{
    auto* connect = static_cast<QPushButton*>(dlg.control(IDOK));
    EXPECT_TRUE(connect->isDefault());
    dlg.presenter().BeginClose(); // count the click without starting a session
    bool clicked = false;
    QObject::connect(connect, &QPushButton::clicked, [&] { clicked = true; });
    dlg.control(IDC_HOST)->setFocus();
    QTest::keyClick(dlg.control(IDC_HOST), Qt::Key_Return);
    EXPECT_TRUE(clicked);
}

TEST_F(TemplateTest, SystemMenuEndsWithTheAboutItem)
{
    const QList<QAction*> actions = dlg.systemMenu().actions();
    ASSERT_GE(actions.size(), 2);
    EXPECT_TRUE(actions[actions.size() - 2]->isSeparator());
    EXPECT_EQ(actions.last()->text(), "&About Korvane AP test...");
    EXPECT_EQ(actions.last()->data().toUInt(), 0x0010u);
}

TEST_F(TemplateTest, SysCommandOpensTheAboutBoxWhateverItsLowBits)
{
    test::ModalDismisser dismisser;
    for (unsigned id = 0x0010; id <= 0x001F; ++id)
        dlg.OnSysCommand(id);
    EXPECT_EQ(dismisser.count, 16);
    for (unsigned id : {0x0000u, 0x0020u, 0x0110u, 0xF010u})
        dlg.OnSysCommand(id);
    EXPECT_EQ(dismisser.count, 16);
    EXPECT_TRUE(dlg.isVisible());
}

// The lowest row with ink across several columns: the baseline, below which only the thin
// strokes of descenders reach.
int BaselineIn(const QImage& image, const QRect& area)
{
    for (int y = area.bottom(); y >= area.top(); --y) {
        int dark = 0;
        for (int x = area.left(); x <= area.right(); ++x)
            dark += qGray(image.pixel(x, y)) < 128;
        if (dark >= 3)
            return y;
    }
    return -1;
}

TEST_F(TemplateTest, EachLabelSharesItsValuesBaseline)
{
    dlg.SetField(IDC_HOST, "127.0.0.1");
    dlg.SetField(IDC_USER, "admin");
    dlg.SetField(IDC_RX_BYTES, "1234");
    for (int id : {IDC_NOISE_CUR, IDC_NOISE_MAX, IDC_NOISE_MIN, IDC_NOISE_AVG, IDC_LOCAL_RSSI_CUR, IDC_LOCAL_RSSI_MAX,
                   IDC_LOCAL_RSSI_MIN, IDC_REMOTE_RSSI_CUR})
        dlg.SetField(id, "-88 dBm");
    const QImage image = dlg.grab().toImage();
    const struct {
        const char* label;
        int edit;
    } rows[] = {{"Address:", IDC_HOST}, {"User:", IDC_USER}, {"Local Port:", IDC_PORT}, {"Rx Byte :", IDC_RX_BYTES},
                {"Noise level:", IDC_NOISE_CUR}, {"max:", IDC_NOISE_MAX}, {"min:", IDC_NOISE_MIN},
                {"avr:", IDC_NOISE_AVG}, {"Local RSSI level:", IDC_LOCAL_RSSI_CUR}, {"max:", IDC_LOCAL_RSSI_MAX},
                {"min:", IDC_LOCAL_RSSI_MIN}, {"Remote RSSI level:", IDC_REMOTE_RSSI_CUR}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.label);
        const QRect edit = dlg.control(row.edit)->geometry();
        QLabel* label = nullptr; // the one with that text nearest to the edit's left
        for (QLabel* l : dlg.findChildren<QLabel*>()) {
            if (l->text() == row.label && l->x() < edit.x() && (!label || l->x() > label->x()))
                label = l;
        }
        ASSERT_NE(label, nullptr);
        const int labelBaseline = BaselineIn(image, label->geometry());
        const int editBaseline = BaselineIn(image, edit.adjusted(3, 3, -3, -3)); // inside the frame
        ASSERT_GE(labelBaseline, 0);
        ASSERT_GE(editBaseline, 0);
        EXPECT_LE(std::abs(labelBaseline - editBaseline), 1) << "label " << labelBaseline << ", value " << editBaseline;
    }
}

TEST_F(TemplateTest, GroupBoxTitlesSitOnTheirFrameLine)
{
    const QList<QGroupBox*> boxes = dlg.findChildren<QGroupBox*>();
    ASSERT_EQ(boxes.size(), 2);
    for (QGroupBox* box : boxes) {
        SCOPED_TRACE(box->title().toStdString());
        const QImage image = box->grab().toImage();
        const QRgb background = image.pixel(image.width() / 2, image.height() / 2);
        int line = -1; // the frame's top line, right of the title
        for (int y = 0; y < image.height() && line < 0; ++y)
            if (image.pixel(image.width() - 10, y) != background)
                line = y;
        int top = -1, bottom = -1; // the title's ink
        for (int y = 0; y < image.height() / 2; ++y) {
            for (int x = 0; x < image.width() / 4; ++x) {
                if (qGray(image.pixel(x, y)) < 100) {
                    top = top < 0 ? y : top;
                    bottom = y;
                }
            }
        }
        ASSERT_GE(line, 0);
        ASSERT_GE(top, 0);
        EXPECT_LT(top, line);
        EXPECT_GT(bottom, line);
    }
}

TEST(AboutBoxTest, ShowsItsTemplateAndEndsWithOkOrEsc)
{
    CAboutDlg about;
    about.show();
    EXPECT_EQ(about.windowTitle(), "About Test Korvane AP");
    const QList<QWidget*> built = Built(about);
    ASSERT_EQ(built.size(), 4);
    EXPECT_EQ(TextOf(built[0]), "Test Korvane AP Version 1.0");
    EXPECT_EQ(static_cast<QLabel*>(built[0])->textFormat(), Qt::PlainText) << "ampersands shown as typed";
    QTest::mouseClick(static_cast<QPushButton*>(built[2]), Qt::LeftButton);
    EXPECT_EQ(about.result(), QDialog::Accepted);
    about.show();
    QTest::keyClick(&about, Qt::Key_Escape);
    EXPECT_FALSE(about.isVisible());
}

} // namespace
} // namespace approbe
