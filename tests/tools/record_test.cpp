// Recording from the real dialog against the simulator's scripted values, read back by Python's
// csv module; the proposed file name; marks.
#include <gtest/gtest.h>

#include <QAction>
#include <QFileInfo>
#include <QRegularExpression>
#include <filesystem>

#include "csv_rows.h"
#include "field_tools.h"
#include "gui_support.h"

namespace approbe {
namespace {

using namespace std::chrono_literals;
using namespace test;
using ui::IDC_DISCONNECT;
using ui::IDOK;

const QStringList kHeader = {"time", "host", "noise_dbm", "local_rssi_dbm", "remote_rssi_dbm", "snr_db", "mark"};

TEST(RecordTest, EveryReadingIsARowAndAMarkKeepsItsNoteWhole)
{
    SimProcess sim({}, "login\nvalues -85 -62 -75\nshell\n");
    DialogRig rig(sim);
    auto& tools = rig.dlg->tools();
    const std::string path = rig.dir.file("session.csv");
    QString proposed;
    tools.setFileChooser([&](const QString& p) {
        proposed = p;
        return QString::fromStdString(path);
    });
    const QString note = "az 212\xC2\xB0, tilt \"-2\"\nsecond line";
    tools.setNoteAsker([&] { return std::optional<QString>(note); });

    EXPECT_FALSE(tools.markAction()->isEnabled()) << "nothing to mark into";
    // Shortcuts go to the active window (the port's message box takes that away at Connect).
    auto press = [&](Qt::Key key) {
        rig.dlg->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(rig.dlg.get()));
        QTest::keyClick(rig.dlg.get(), key, Qt::ControlModifier);
    };
    press(Qt::Key_R);
    ASSERT_TRUE(tools.recorder().recording());
    EXPECT_TRUE(tools.recordAction()->isChecked());
    EXPECT_TRUE(QRegularExpression(R"(/approbe-127\.0\.0\.1-\d{8}-\d{6}\.csv$)").match(proposed).hasMatch())
        << proposed.toStdString();

    QTest::mouseClick(rig.button(IDOK), Qt::LeftButton);
    ASSERT_TRUE(ServeUntil([&] { return rig.loggedIn(); }));
    rig.dlg->presenter().PollNow();
    ASSERT_TRUE(ServeUntil([&] { return tools.trendData().latest.noise.value && tools.trendData().latest.local.value; }));
    press(Qt::Key_M);
    rig.dlg->presenter().PollNow();
    // Two polls: two noise and two station replies, in however many blocks they came.
    auto replies = [&](auto member) {
        int n = 0;
        for (std::size_t i = 0; i < tools.trendData().history.size(); ++i)
            n += tools.trendData().history[i].*member != ui::TrendHistory::kNone;
        return n;
    };
    using Sample = ui::TrendHistory::Sample;
    ASSERT_TRUE(ServeUntil([&] { return replies(&Sample::noise) == 2 && replies(&Sample::local) == 2; }));
    QTest::mouseClick(rig.button(IDC_DISCONNECT), Qt::LeftButton);
    ASSERT_TRUE(ServeUntil([&] { return rig.ended(); }));
    press(Qt::Key_R);
    EXPECT_FALSE(tools.recorder().recording());

    const std::vector<QStringList> rows = ReadCsv(path);
    ASSERT_EQ(rows.size(), 1 + tools.trendData().history.size() + 1) << "header, every reading, one mark";
    EXPECT_EQ(rows[0], kHeader);
    const QRegularExpression iso(R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}[+-]\d\d:\d\d$)");
    int marks = 0, noiseRows = 0, stationRows = 0;
    for (std::size_t i = 1; i < rows.size(); ++i) {
        const QStringList& r = rows[i];
        ASSERT_EQ(r.size(), 7) << i;
        EXPECT_TRUE(iso.match(r[0]).hasMatch()) << r[0].toStdString();
        EXPECT_EQ(r[1], "127.0.0.1");
        if (!r[6].isEmpty()) {
            ++marks;
            EXPECT_EQ(r[6], note);
            EXPECT_EQ(r.mid(2, 4), QStringList({"-85", "-62", "-75", "23"})) << "the current values";
            continue;
        }
        // A reading's row has only what that reading carried; SNR once both levels are known.
        if (!r[2].isEmpty()) {
            ++noiseRows;
            EXPECT_EQ(r[2], "-85");
        }
        if (!r[3].isEmpty()) {
            ++stationRows;
            EXPECT_EQ(r[3], "-62");
            EXPECT_EQ(r[4], "-75");
        }
        if (!r[5].isEmpty()) {
            EXPECT_EQ(r[5], "23");
        }
    }
    EXPECT_EQ(marks, 1);
    EXPECT_EQ(noiseRows, 2);
    EXPECT_EQ(stationRows, 2);
}

TEST(RecordTest, CancelledChooserOrNoteWritesNothing)
{
    DialogRig rig("[Settings]\nHost=ap.example\n");
    auto& tools = rig.dlg->tools();
    tools.setFileChooser([](const QString&) { return QString(); });
    tools.ToggleRecording();
    EXPECT_FALSE(tools.recorder().recording());
    EXPECT_FALSE(tools.recordAction()->isChecked());

    const std::string path = rig.dir.file("r.csv");
    tools.setFileChooser([&](const QString& proposed) {
        EXPECT_TRUE(proposed.contains("approbe-ap.example-")) << proposed.toStdString();
        return QString::fromStdString(path);
    });
    tools.setNoteAsker([] { return std::nullopt; });
    tools.ToggleRecording();
    tools.Mark();
    tools.ToggleRecording();
    EXPECT_EQ(ReadCsv(path), std::vector<QStringList>{kHeader});
}

// Sets an environment variable for a scope.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const std::string& value) : m_name(name), m_old(qgetenv(name)), m_was(qEnvironmentVariableIsSet(name))
    {
        qputenv(name, QByteArray::fromStdString(value));
    }
    ~ScopedEnv()
    {
        if (m_was)
            qputenv(m_name, m_old);
        else
            qunsetenv(m_name);
    }

private:
    const char* m_name;
    QByteArray m_old;
    bool m_was;
};

// Before anything was recorded, the chooser proposes the documents folder, and the home folder
// where there is none, never the program's working directory.
TEST(RecordTest, ProposesTheDocumentsFolderElseHome)
{
    TempDir home;
    const ScopedEnv homeEnv("HOME", home.path().string());
    const ScopedEnv configEnv("XDG_CONFIG_HOME", (home.path() / "config").string());
    DialogRig rig("[Settings]\nHost=ap.example\n");
    auto& tools = rig.dlg->tools();
    QString proposed;
    tools.setFileChooser([&](const QString& p) {
        proposed = p;
        return QString();
    });
    auto proposedFolder = [&] {
        tools.ToggleRecording();
        EXPECT_TRUE(QFileInfo(proposed).fileName().startsWith("approbe-ap.example-")) << proposed.toStdString();
        return QFileInfo(proposed).absolutePath().toStdString();
    };
    EXPECT_EQ(proposedFolder(), home.path().string());
    std::filesystem::create_directory(home.path() / "Documents");
    EXPECT_EQ(proposedFolder(), (home.path() / "Documents").string());
}

} // namespace
} // namespace approbe
