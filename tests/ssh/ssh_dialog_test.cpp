// The real dialog, offscreen, against a real OpenSSH server whose key is unknown: the question
// shows host, port, key type and fingerprint (which can be selected and copied), and each answer
// does what it says; closing the program while it is open does not hang. And the access points of
// tests/ssh/boxes, each told by itself.
#include <QApplication>
#include <QClipboard>
#include <QLabel>
#include <QListWidget>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <filesystem>
#include <sys/stat.h>

#include "control_ids.h"
#include "gui_support.h"
#include "ssh_env.h"

namespace approbe::test {
namespace {

using namespace std::chrono_literals;
using enum ui::ControlId;

class SshDialogTest : public SshTestBase {
protected:
    void SetUp() override
    {
        SshTestBase::SetUp();
        if (IsSkipped())
            return;
        Open(server.user);
    }
    // The dialog, shown, with a profile that logs in to the server as user.
    void Open(const std::string& user)
    {
        dlg.reset();
        WriteFile(profile.file("approbe.ini"),
                  "[Settings]\nHost=ssh://127.0.0.1\nPort=22\nUser=" + user + "\nPass=" + server.password + "\n");
        dlg = std::make_unique<ui::CProbeDlg>(profile.file("approbe.ini"));
        dlg->show();
    }
    QPushButton* button(int id) { return static_cast<QPushButton*>(dlg->control(id)); }
    QString field(int id) { return static_cast<QLineEdit*>(dlg->control(id))->text(); }
    bool logged(const std::string& line)
    {
        auto* list = static_cast<QListWidget*>(dlg->control(IDC_LOG));
        for (int i = 0; i < list->count(); ++i)
            if (list->item(i)->text().toStdString() == line)
                return true;
        return false;
    }
    bool ended() { return button(IDOK)->isEnabled() && dlg->windowTitle().startsWith("Test Korvane AP DISCONNECT"); }
    // Connect, and the question that comes.
    QMessageBox* Ask()
    {
        QTest::mouseClick(button(IDOK), Qt::LeftButton);
        if (!ServeUntil([&] { return dlg->hostKeyQuestion() != nullptr; }))
            return nullptr;
        return dlg->hostKeyQuestion();
    }
    void Answer(QMessageBox* box, const QString& text)
    {
        for (QAbstractButton* b : box->buttons())
            if (b->text() == text)
                return QTest::mouseClick(b, Qt::LeftButton);
        ADD_FAILURE() << "no button " << text.toStdString();
    }
    bool ValuesShown()
    {
        return ServeUntil([&] { return field(IDC_NOISE_CUR) == "-93 dBm" && field(IDC_LOCAL_RSSI_CUR) == "-61 dBm"; });
    }
    void DisconnectAndWait()
    {
        QTest::mouseClick(button(IDC_DISCONNECT), Qt::LeftButton);
        EXPECT_TRUE(ServeUntil([&] { return ended(); }, 5s));
    }

    TempDir profile;
    std::unique_ptr<ui::CProbeDlg> dlg;
};

TEST_F(SshDialogTest, QuestionShowsTheKeyAndTrustAndSaveWritesKnownHosts)
{
    QMessageBox* box = Ask();
    ASSERT_NE(box, nullptr);
    const std::string text = box->text().toStdString();
    for (const std::string& part : {std::string("127.0.0.1"), std::string("port 22"), std::string("ssh-ed25519"), server.fingerprint})
        EXPECT_NE(text.find(part), std::string::npos) << "'" << part << "' not in: " << text;
    EXPECT_EQ(server.fingerprint.rfind("SHA256:", 0), 0u);
    EXPECT_EQ(box->windowTitle(), "Unknown host key");
    // The fingerprint can be selected and copied, to set beside what the access point's console shows.
    const QString fingerprint = QString::fromStdString(server.fingerprint);
    QLabel* label = nullptr;
    for (QLabel* each : box->findChildren<QLabel*>())
        if (each->text() == box->text())
            label = each;
    ASSERT_NE(label, nullptr);
    label->setSelection(static_cast<int>(label->text().indexOf(fingerprint)), static_cast<int>(fingerprint.size()));
    EXPECT_EQ(label->selectedText(), fingerprint);
    QTest::keyClick(label, Qt::Key_C, Qt::ControlModifier);
    EXPECT_EQ(QApplication::clipboard()->text(), fingerprint);
    Answer(box, "Trust and save");
    ASSERT_TRUE(ValuesShown());
    EXPECT_EQ(ReadFile(knownHosts()), "127.0.0.1 " + server.hostKey + "\n");
    EXPECT_EQ(FileMode(knownHosts()), 0600u);
    EXPECT_EQ(FileMode(std::filesystem::path(knownHosts()).parent_path().string()), 0700u);
    DisconnectAndWait();

    // Known now: the next session asks nothing.
    QTest::mouseClick(button(IDOK), Qt::LeftButton);
    ASSERT_TRUE(ServeUntil([&] { return logged("Test Korvane AP to ssh://127.0.0.1 connected"); }));
    EXPECT_EQ(dlg->hostKeyQuestion(), nullptr);
    DisconnectAndWait();
}

TEST_F(SshDialogTest, ConnectOnceSavesNothing)
{
    QMessageBox* box = Ask();
    ASSERT_NE(box, nullptr);
    Answer(box, "Connect once");
    ASSERT_TRUE(ValuesShown());
    EXPECT_FALSE(std::filesystem::exists(knownHosts()));
    DisconnectAndWait();
    EXPECT_NE(Ask(), nullptr) << "asked again next time";
}

TEST_F(SshDialogTest, CancelEndsTheSessionSayingSo)
{
    QMessageBox* box = Ask();
    ASSERT_NE(box, nullptr);
    Answer(box, "Cancel");
    ASSERT_TRUE(ServeUntil([&] { return ended(); }, 5s));
    EXPECT_TRUE(logged("Test Korvane AP Host key of ssh://127.0.0.1 not trusted"));
    EXPECT_FALSE(std::filesystem::exists(knownHosts()));
    EXPECT_EQ(ShellLog(), "");
}

// A known host showing another key: a warning to close, naming both keys and the line to remove;
// the session never logs in, and the caption says why it ended.
TEST_F(SshDialogTest, AChangedKeyIsAWarningNamingFileAndLineAndTheSessionIsRefused)
{
    WriteKnownHosts("# approbe test\n127.0.0.1 " + server.otherKey + "\n");
    QTest::mouseClick(button(IDOK), Qt::LeftButton);
    ASSERT_TRUE(ServeUntil([&] { return dlg->hostKeyWarning() != nullptr; }));
    ASSERT_TRUE(ServeUntil([&] { return ended(); }, 5s));
    QMessageBox* box = dlg->hostKeyWarning();
    const QString text = box->text();
    EXPECT_TRUE(text.contains("ssh://127.0.0.1")) << text.toStdString();
    EXPECT_TRUE(text.contains("line 2 of " + QString::fromStdString(knownHosts()))) << text.toStdString();
    EXPECT_EQ(text.count("SHA256:"), 2) << "the key shown and the key on file";
    EXPECT_EQ(box->icon(), QMessageBox::Warning);
    EXPECT_EQ(dlg->hostKeyQuestion(), nullptr) << "nothing is asked";
    EXPECT_EQ(dlg->windowTitle(), "Test Korvane AP DISCONNECT (host key refused)");
    EXPECT_TRUE(logged("Test Korvane AP Host key of ssh://127.0.0.1 has changed: refused; if the access point really has "
                       "a new key, remove line 2 of " + knownHosts()));
    EXPECT_FALSE(logged("Test Korvane AP to ssh://127.0.0.1 connected"));
    EXPECT_EQ(ShellLog(), "");
    EXPECT_TRUE(box->isVisible()) << "stays until the user closes it";
    box->button(QMessageBox::Close)->click();
    EXPECT_TRUE(ServeUntil([&] { return !dlg->hostKeyWarning() || !dlg->hostKeyWarning()->isVisible(); }, 2s));
}

TEST_F(SshDialogTest, DisconnectWhileAskingWithdrawsTheQuestion)
{
    ASSERT_NE(Ask(), nullptr);
    QTest::mouseClick(button(IDC_DISCONNECT), Qt::LeftButton);
    ASSERT_TRUE(ServeUntil([&] { return ended(); }, 2s));
    EXPECT_TRUE(ServeUntil([&] { return dlg->hostKeyQuestion() == nullptr; }, 2s));
}

TEST_F(SshDialogTest, ClosingWhileAskingDoesNotHang)
{
    ASSERT_NE(Ask(), nullptr);
    const auto start = std::chrono::steady_clock::now();
    dlg->reject();
    dlg.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
}

// The access points of tests/ssh/boxes behind their real login shells: the dialog, left on
// Automatic, tells each one's type by itself and shows its recorded levels; iw and iwinfo give no
// remote value, so that field stays blank and its bar at rest.
TEST_F(SshDialogTest, RealShellsAreToldApartAndShown)
{
    WriteKnownHosts("127.0.0.1 " + server.hostKey + "\n");
    struct Want {
        const char *box, *noise, *local;
    };
    for (const Want& want : {Want{"linux-iw", "-95 dBm", "-67 dBm"}, Want{"openwrt", "-95 dBm", "-63 dBm"}}) {
        Open(want.box);
        const auto* remoteBar = static_cast<QProgressBar*>(dlg->control(IDC_REMOTE_RSSI_BAR));
        const int atRest = remoteBar->value();
        QTest::mouseClick(button(IDOK), Qt::LeftButton);
        EXPECT_TRUE(ServeUntil([&] { return field(IDC_NOISE_CUR) == want.noise && field(IDC_LOCAL_RSSI_CUR) == want.local; }))
            << want.box << ": " << field(IDC_NOISE_CUR).toStdString() << " " << field(IDC_LOCAL_RSSI_CUR).toStdString();
        EXPECT_EQ(field(IDC_REMOTE_RSSI_CUR).trimmed(), "") << want.box;
        EXPECT_EQ(remoteBar->value(), atRest) << want.box;
        EXPECT_TRUE(logged("Device type: " + std::string(want.box))) << want.box;
        DisconnectAndWait();
    }
}

} // namespace
} // namespace approbe::test
