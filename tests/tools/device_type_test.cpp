// The window menu's device types against the real dialog: the choice kept in [Tools], the user's
// type files (a broken one named by its line and left out), and a shell whose type gives no remote
// signal shown, recorded and traced without one, after a session that had one.
#include <gtest/gtest.h>

#include <QAction>
#include <QMenu>
#include <QRegularExpression>
#include <algorithm>
#include <cstdlib>
#include <filesystem>

#include "bars.h"
#include "csv_rows.h"
#include "field_tools.h"
#include "gui_support.h"
#include "level_bar.h"

namespace approbe {
namespace {

using namespace test;
using enum ui::ControlId;

// XDG_CONFIG_HOME for one test: where the user's types are read from.
class ConfigHome {
public:
    ConfigHome() : m_devices(m_dir.path() / "approbe" / "devices")
    {
        if (const char* old = std::getenv("XDG_CONFIG_HOME"))
            m_old = old;
        ::setenv("XDG_CONFIG_HOME", m_dir.path().c_str(), 1);
        std::filesystem::create_directories(m_devices);
    }
    ~ConfigHome()
    {
        if (m_old)
            ::setenv("XDG_CONFIG_HOME", m_old->c_str(), 1);
        else
            ::unsetenv("XDG_CONFIG_HOME");
    }
    std::string Type(const std::string& file, const std::string& text) const
    {
        const std::string path = (m_devices / file).string();
        WriteFile(path, text);
        return path;
    }

private:
    TempDir m_dir;
    std::filesystem::path m_devices;
    std::optional<std::string> m_old;
};

QMenu* DeviceMenu(ui::CProbeDlg& dlg)
{
    for (QAction* a : dlg.systemMenu().actions())
        if (a->menu() && a->text() == "&Device type")
            return a->menu();
    return nullptr;
}

// The menu's items (separators aside), their texts, and the one checked.
QStringList Items(QMenu& menu, QString* checked = nullptr)
{
    QStringList texts;
    for (QAction* a : menu.actions()) {
        if (a->isSeparator())
            continue;
        texts << a->text();
        if (a->isChecked() && checked)
            *checked = a->text();
    }
    return texts;
}

void Choose(QMenu& menu, const QString& text)
{
    for (QAction* a : menu.actions())
        if (a->text() == text)
            return a->trigger();
    ADD_FAILURE() << "no item " << text.toStdString();
}

int LinesStartingWith(const QStringList& log, const QString& start)
{
    return static_cast<int>(std::count_if(log.begin(), log.end(), [&](const QString& l) { return l.startsWith(start); }));
}

TEST(DeviceTypeMenuTest, OffersEveryTypeLeavesABrokenFileOutAndKeepsTheChoiceInTools)
{
    ConfigHome home;
    const std::string mine = home.Type("mast.ini", "[device]\nName = mast\nShellPrompt = radio>\n\n[poll]\n"
                                                   "Command = show wireless\nLocal = rx\n");
    const std::string broken = home.Type("broken.ini", "[device]\nName = broken\nColour = red\n");
    DialogRig rig("[Settings]\nHost=ap.example\nUser=admin\n");
    const std::string profile = rig.dir.file("approbe.ini");
    const std::string before = ReadFile(profile);

    EXPECT_EQ(LinesStartingWith(rig.log(), QString::fromStdString(broken)), 1) << "once";
    EXPECT_EQ(LinesStartingWith(rig.log(), QString::fromStdString(broken + ":3: ")), 1) << rig.log().join("\n").toStdString();
    QMenu* menu = DeviceMenu(*rig.dlg);
    ASSERT_TRUE(menu);
    QString checked;
    const QStringList items = Items(*menu, &checked);
    EXPECT_EQ(checked, "&Automatic");
    EXPECT_EQ(items.first(), "&Automatic");
    EXPECT_EQ(items.last(), "mast") << "the user's types after the built-ins";
    for (const char* builtIn : {"korvane", "linux-iw", "openwrt", "routeros", "json-status"})
        EXPECT_TRUE(items.contains(builtIn)) << builtIn;
    EXPECT_FALSE(items.contains("broken"));
    EXPECT_EQ(menu->actions().last()->toolTip().toStdString(), mine) << "where it was read from";
    EXPECT_EQ(ReadFile(profile), before) << "nothing written until the user chooses";

    Choose(*menu, "linux-iw");
    Items(*menu, &checked);
    EXPECT_EQ(checked, "linux-iw") << "exclusive";
    EXPECT_EQ(IniProfile(profile).GetProfileString("Tools", "DeviceType", ""), "linux-iw");

    // The next run reads it back, and a user type is remembered by its name.
    rig.dlg = std::make_unique<ui::CProbeDlg>(profile);
    rig.dlg->show();
    menu = DeviceMenu(*rig.dlg);
    Items(*menu, &checked);
    EXPECT_EQ(checked, "linux-iw");
    Choose(*menu, "mast");
    EXPECT_EQ(IniProfile(profile).GetProfileString("Tools", "DeviceType", ""), "mast");

    // Its file gone: automatic, said once, and the name stays for when it is back.
    std::filesystem::remove(mine);
    rig.dlg = std::make_unique<ui::CProbeDlg>(profile);
    rig.dlg->show();
    menu = DeviceMenu(*rig.dlg);
    Items(*menu, &checked);
    EXPECT_EQ(checked, "&Automatic");
    EXPECT_TRUE(rig.logged("Device type mast is not known: automatic")) << rig.log().join("\n").toStdString();
    EXPECT_EQ(IniProfile(profile).GetProfileString("Tools", "DeviceType", ""), "mast");

    Choose(*menu, "&Automatic");
    EXPECT_EQ(IniProfile(profile).GetProfileString("Tools", "DeviceType", "absent"), "absent") << "automatic is no key";
    EXPECT_EQ(ReadFile(profile).substr(0, before.size()), before) << "[Settings] untouched";
}

TEST(DeviceTypeSessionTest, ALevelTheTypeDoesNotGiveIsNoneEverywhereEvenAfterASessionThatGaveIt)
{
    ConfigHome home; // no types of the user's
    SimProcess korvane({}, kAnyLogin);
    SimProcess iw({"--script", APPROBE_LINUX_IW_SCRIPT});
    DialogRig rig(korvane);
    auto& tools = rig.dlg->tools();
    const std::string csv = rig.dir.file("both.csv");
    tools.setFileChooser([&](const QString&) { return QString::fromStdString(csv); });
    tools.setNoteAsker([] { return std::optional<QString>("after the switch"); });
    tools.ToggleRecording();
    ASSERT_TRUE(tools.recorder().recording());
    auto* remoteBar = static_cast<ui::CLevelBar*>(rig.dlg->control(IDC_REMOTE_RSSI_BAR));

    QTest::mouseClick(rig.button(IDOK), Qt::LeftButton);
    ASSERT_TRUE(ServeUntil([&] { return rig.loggedIn(); }));
    rig.dlg->presenter().PollNow();
    ASSERT_TRUE(ServeUntil([&] { return rig.field(IDC_REMOTE_RSSI_CUR) == "-66 dBm"; }));
    EXPECT_NE(remoteBar->value(), kBarRestPos);
    EXPECT_EQ(LinesStartingWith(rig.log(), "Device type"), 0) << "today's shell told by itself is not named";
    QTest::mouseClick(rig.button(IDC_DISCONNECT), Qt::LeftButton);
    ASSERT_TRUE(ServeUntil([&] { return rig.ended(); }));

    // Chosen, not told: no probe goes out.
    Choose(*DeviceMenu(*rig.dlg), "linux-iw");
    rig.edit(IDC_PORT)->setText(QString::number(iw.port()));
    QTest::mouseClick(rig.button(IDOK), Qt::LeftButton);
    ASSERT_TRUE(ServeUntil([&] {
        return rig.field(IDC_LOCAL_RSSI_CUR) == "-67 dBm" && rig.field(IDC_NOISE_CUR) == "-95 dBm";
    })) << rig.log().join("\n").toStdString();
    tools.Mark(); // while korvane's remote signal would still count as current
    EXPECT_EQ(rig.field(IDC_REMOTE_RSSI_CUR).trimmed(), "");
    EXPECT_EQ(remoteBar->value(), kBarRestPos);
    EXPECT_EQ(remoteBar->barColour(), QColor(kGrey.r, kGrey.g, kGrey.b));
    EXPECT_EQ(rig.field(IDC_LOCAL_RSSI_MAX), "-67 dBm") << "each connection's statistics start afresh";
    EXPECT_EQ(LinesStartingWith(rig.log(), "Device type: linux-iw"), 1) << rig.log().join("\n").toStdString();
    EXPECT_EQ(iw.received().find("command -v"), std::string::npos);

    const ui::TrendData& trend = tools.trendData();
    EXPECT_FALSE(trend.latest.remote.value);
    EXPECT_FALSE(trend.bestRemote.value) << "korvane's best is not this shell's";
    for (std::size_t i = 0; i < trend.history.size(); ++i) {
        if (trend.history[i].local == -67) {
            EXPECT_EQ(trend.history[i].remote, ui::TrendHistory::kNone) << i;
        }
    }

    QTest::mouseClick(rig.button(IDC_DISCONNECT), Qt::LeftButton);
    ASSERT_TRUE(ServeUntil([&] { return rig.ended(); }));
    tools.ToggleRecording();
    int korvaneRows = 0, iwRows = 0, marks = 0;
    for (const QStringList& row : ReadCsv(csv)) {
        ASSERT_EQ(row.size(), 7);
        if (row[kMark] == "after the switch") {
            ++marks;
            EXPECT_EQ(row.mid(kNoise, 4), QStringList({"-95", "-67", "", "28"}));
        } else if (row[kLocal] == "-55") {
            ++korvaneRows;
            EXPECT_EQ(row[kRemote], "-66");
        } else if (row[kLocal] == "-67") {
            ++iwRows;
            EXPECT_EQ(row[kRemote], "") << "an empty cell, never 0";
        }
    }
    EXPECT_GE(korvaneRows, 1);
    EXPECT_GE(iwRows, 1);
    EXPECT_EQ(marks, 1);
}

// Automatic: each built-in shell tells its type itself; the dialog names it once and shows what it
// gives.
struct ShellCase {
    const char* type;
    bool remote; // the type gives a remote signal
};

class DeviceTypeShellTest : public testing::TestWithParam<ShellCase> {};

TEST_P(DeviceTypeShellTest, NamedOnceAndShownAsItGives)
{
    ConfigHome home;
    SimProcess sim({"--device-type", GetParam().type, "--seed", "7"});
    DialogRig rig(sim);
    QTest::mouseClick(rig.button(IDOK), Qt::LeftButton);
    const QRegularExpression dbm("^-\\d+ dBm$");
    ASSERT_TRUE(ServeUntil([&] {
        return dbm.match(rig.field(IDC_LOCAL_RSSI_CUR)).hasMatch() && dbm.match(rig.field(IDC_NOISE_CUR)).hasMatch();
    })) << rig.log().join("\n").toStdString();
    EXPECT_EQ(LinesStartingWith(rig.log(), QString("Device type: ") + GetParam().type), 1)
        << rig.log().join("\n").toStdString();
    auto* remoteBar = static_cast<ui::CLevelBar*>(rig.dlg->control(IDC_REMOTE_RSSI_BAR));
    if (GetParam().remote) {
        ASSERT_TRUE(ServeUntil([&] { return dbm.match(rig.field(IDC_REMOTE_RSSI_CUR)).hasMatch(); }));
    } else {
        rig.dlg->presenter().PollNow();
        ASSERT_TRUE(ServeUntil([&] { return rig.dlg->tools().trendData().history.size() >= 4; }));
        EXPECT_EQ(rig.field(IDC_REMOTE_RSSI_CUR).trimmed(), "");
        EXPECT_EQ(remoteBar->value(), kBarRestPos);
    }
    QTest::mouseClick(rig.button(IDC_DISCONNECT), Qt::LeftButton);
    ASSERT_TRUE(ServeUntil([&] { return rig.ended(); }));
}

INSTANTIATE_TEST_SUITE_P(Shells, DeviceTypeShellTest,
                         testing::Values(ShellCase{"linux-iw", false}, ShellCase{"openwrt", false},
                                         ShellCase{"routeros", true}, ShellCase{"json-status", true}),
                         [](const testing::TestParamInfo<ShellCase>& row) {
                             std::string name = row.param.type;
                             std::replace(name.begin(), name.end(), '-', '_');
                             return name;
                         });

} // namespace
} // namespace approbe
