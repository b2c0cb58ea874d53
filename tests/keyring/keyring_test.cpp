// "Keep passwords in the keyring" through the real dialog: the password moved out of the profile
// into the keyring and back, filled in at the start and when the host changes; through libsecret's
// file backend (no bus needed), a real Secret Service (gnome-keyring on a private bus, from
// run-with-keyring) and no bus at all. libsecret picks its backend once per process: each case
// sets its own before the first call, and CTest runs every case in a process of its own.
#include <gtest/gtest.h>

#include <QAction>
#include <QMenu>
#include <qt6keychain/keychain.h>

#include "environment.h"
#include "field_tools.h"
#include "gui_support.h"

// Under LeakSanitizer: GIO's asynchronous file calls, made by libsecret's file backend, leave a
// copied string each (no frame of ours is on their stacks). GLib is built without frame pointers,
// so only the slow unwinder sees GIO on those stacks.
extern "C" const char* __asan_default_options() { return "fast_unwind_on_malloc=0"; }
extern "C" const char* __lsan_default_suppressions() { return "leak:libgio-2.0.so\n"; }

namespace approbe {
namespace {

using namespace std::chrono_literals;
using namespace test;
using enum ui::ControlId;

// Nothing listens on these: a Connect is refused at once, and nothing leaves loopback.
constexpr const char* kProfile = "[Settings]\nHost=127.0.0.2\nPort=23\nUser=admin\nPass=s3cret\n";
constexpr const char* kKey = "telnet://admin@127.0.0.2:23";

struct Stored {
    QKeychain::Error error;
    std::string password;
};

// What the keyring holds under key, asked as the dialog asks it.
Stored ReadKeyring(const char* key)
{
    auto* job = new QKeychain::ReadPasswordJob(ui::CKeyringPasswords::kService);
    job->setKey(key);
    std::optional<Stored> answer;
    QObject::connect(job, &QKeychain::Job::finished, [&](QKeychain::Job*) {
        answer = Stored{job->error(), job->textData().toStdString()};
    });
    job->start();
    EXPECT_TRUE(ServeUntil([&] { return answer.has_value(); }));
    return answer.value_or(Stored{QKeychain::OtherError, {}});
}

struct KeyringRig : DialogRig {
    explicit KeyringRig(const std::string& profile) : DialogRig(profile) {}
    QAction& item() { return *dlg->tools().keyringAction(); }
    // Every keyring call answered, and the field filled after an edit.
    bool Settle()
    {
        ServeUntil([] { return false; }, 400ms); // the fill waits for typing to pause
        return ServeUntil([&] { return dlg->tools().keyring().pending() == 0; });
    }
    std::string profileText() { return ReadFile(dir.file("approbe.ini")); }
    void Reopen()
    {
        dlg.reset();
        dlg = std::make_unique<ui::CProbeDlg>(dir.file("approbe.ini"));
        dlg->show();
    }
    void Connect()
    {
        QTest::mouseClick(button(IDOK), Qt::LeftButton);
        // Nothing listens there: the attempt fails and Connect is offered again.
        ASSERT_TRUE(ServeUntil([&] { return button(IDOK)->isEnabled() && !dlg->presenter().sessionActive(); }));
    }
};

// The move into the keyring and back, as the user makes it; what a real keyring must do too.
void RoundTrip()
{
    KeyringRig rig(kProfile);
    ASSERT_TRUE(rig.Settle());
    EXPECT_FALSE(rig.item().isChecked()) << "off by default";
    EXPECT_EQ(ReadKeyring(kKey).error, QKeychain::EntryNotFound) << "nothing in the keyring while off";

    rig.item().trigger();
    ASSERT_TRUE(rig.Settle());
    ASSERT_TRUE(rig.item().isChecked()) << rig.item().toolTip().toStdString();
    EXPECT_EQ(ReadKeyring(kKey).password, "s3cret");
    std::string text = rig.profileText();
    EXPECT_EQ(text.find("Pass="), std::string::npos) << text;
    EXPECT_NE(text.find("Host=127.0.0.2"), std::string::npos) << "the other keys stay: " << text;
    EXPECT_NE(text.find("KeyringPasswords=1"), std::string::npos) << text;

    // Another access point: its own password, kept on Connect; the first one's comes back with it.
    rig.edit(IDC_HOST)->setText("127.0.0.3");
    ASSERT_TRUE(rig.Settle());
    EXPECT_EQ(rig.field(IDC_PASSWORD), "") << "the keyring has none for it";
    rig.edit(IDC_PASSWORD)->setText("other");
    rig.Connect();
    ASSERT_TRUE(rig.Settle());
    EXPECT_EQ(ReadKeyring("telnet://admin@127.0.0.3:23").password, "other");
    rig.edit(IDC_HOST)->setText("127.0.0.2");
    ASSERT_TRUE(rig.Settle());
    EXPECT_EQ(rig.field(IDC_PASSWORD), "s3cret");
    rig.Connect(); // the profile's host is this one again
    text = rig.profileText();
    EXPECT_EQ(text.find("other"), std::string::npos) << text;
    EXPECT_EQ(text.find("s3cret"), std::string::npos) << text;

    // The next start fills the field from the keyring.
    rig.Reopen();
    ASSERT_TRUE(rig.Settle());
    EXPECT_TRUE(rig.item().isChecked());
    EXPECT_EQ(rig.field(IDC_PASSWORD), "s3cret");

    rig.item().trigger();
    ASSERT_TRUE(rig.Settle());
    EXPECT_FALSE(rig.item().isChecked());
    text = rig.profileText();
    EXPECT_NE(text.find("Pass=s3cret"), std::string::npos) << "back in the file: " << text;
    EXPECT_NE(text.find("KeyringPasswords=0"), std::string::npos) << text;
    EXPECT_EQ(ReadKeyring(kKey).error, QKeychain::EntryNotFound) << "the keyring's entry is removed";
}

class FileKeyring : public ::testing::Test {
protected:
    void SetUp() override
    {
        qputenv("SECRET_BACKEND", "file");
        qputenv("SECRET_FILE_TEST_PATH", QByteArray::fromStdString(m_dir.file("keyring")));
        qputenv("SECRET_FILE_TEST_PASSWORD", "approbe");
    }
    TempDir m_dir;
};

TEST_F(FileKeyring, PasswordMovesIntoTheKeyringAndBackAndFillsTheField) { RoundTrip(); }

TEST(SecretService, PasswordMovesIntoGnomeKeyringAndBack)
{
    if (!Env("APPROBE_KEYRING_SKIP").empty())
        GTEST_SKIP() << Env("APPROBE_KEYRING_SKIP");
    if (Env("APPROBE_KEYRING_BUS").empty())
        GTEST_SKIP() << "no Secret Service of its own: run through tests/keyring/run-with-keyring";
    qputenv("SECRET_BACKEND", "service");
    RoundTrip();
}

class NoKeyring : public ::testing::Test {
protected:
    void SetUp() override
    {
        qputenv("SECRET_BACKEND", "service");
        qputenv("DBUS_SESSION_BUS_ADDRESS", QByteArray::fromStdString("unix:path=" + m_dir.file("no-bus")));
        qunsetenv("DISPLAY"); // no bus started for an X session either
    }
    TempDir m_dir;
};

TEST_F(NoKeyring, TheItemIsDisabledSayingWhyAndTheFileIsUntouched)
{
    KeyringRig rig(kProfile);
    ASSERT_TRUE(rig.Settle());
    const std::string before = rig.profileText();
    EXPECT_NE(before.find("Pass=s3cret"), std::string::npos);
    auto refused = [&] {
        EXPECT_FALSE(rig.item().isEnabled());
        EXPECT_FALSE(rig.item().isChecked());
        EXPECT_TRUE(rig.item().toolTip().startsWith("The keyring cannot be used: ")) << rig.item().toolTip().toStdString();
        EXPECT_GT(rig.item().toolTip().size(), 30) << "and why";
        EXPECT_EQ(rig.profileText(), before);
    };

    // Turned on before anyone looked: the move fails, and the password stays in the file.
    rig.item().trigger();
    ASSERT_TRUE(rig.Settle());
    refused();
    EXPECT_TRUE(rig.logged("Keyring: Could not connect: No such file or directory. The password stays in the settings file."))
        << rig.log().join('\n').toStdString();

    // Opening the menu asks the keyring first.
    rig.Reopen();
    ASSERT_TRUE(rig.Settle());
    EXPECT_TRUE(rig.item().isEnabled()) << "offered until asked";
    rig.dlg->systemMenu().aboutToShow();
    ASSERT_TRUE(rig.Settle());
    refused();
    rig.item().trigger(); // a disabled item does nothing
    ASSERT_TRUE(rig.Settle());
    EXPECT_EQ(rig.profileText(), before);
}

TEST_F(NoKeyring, WhileOnTheLogSaysSoOnceAndThePasswordStaysOutOfTheFile)
{
    KeyringRig rig("[Settings]\nHost=127.0.0.2\nPort=23\nUser=admin\n[Tools]\nKeyringPasswords=1\n");
    ASSERT_TRUE(rig.Settle());
    auto notes = [&] {
        int n = 0;
        for (const QString& line : rig.log())
            n += line.startsWith("Keyring: ");
        return n;
    };
    EXPECT_EQ(notes(), 1) << rig.log().join('\n').toStdString();
    EXPECT_TRUE(rig.item().isChecked());
    EXPECT_TRUE(rig.item().isEnabled()) << "it can still be turned off";
    rig.edit(IDC_HOST)->setText("127.0.0.3");
    ASSERT_TRUE(rig.Settle());
    EXPECT_EQ(notes(), 1) << "said once";

    rig.edit(IDC_PASSWORD)->setText("typed");
    rig.Connect();
    ASSERT_TRUE(rig.Settle());
    rig.Connect();
    ASSERT_TRUE(rig.Settle());
    EXPECT_EQ(rig.field(IDC_PASSWORD), "typed") << "kept for this run";
    EXPECT_EQ(rig.profileText().find("typed"), std::string::npos) << "never written behind the user's back";
    EXPECT_EQ(notes(), 0) << "said once: Connect cleared it";

    // Turned off, the password the user sees goes to the file, as they asked.
    rig.item().trigger();
    ASSERT_TRUE(rig.Settle());
    EXPECT_FALSE(rig.item().isChecked());
    EXPECT_NE(rig.profileText().find("Pass=typed"), std::string::npos) << rig.profileText();
}

} // namespace
} // namespace approbe
