// The settings profile file and the exchange of the settings with the edits.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include "fake_window.h"
#include "param_names.h"
#include "profile.h"
#include "settings.h"
#include "temp_dir.h"

namespace approbe {
namespace {

using namespace test;
using ui::EditTexts;
using ui::ForgetSavedPassword;
using ui::LoadSettings;
using ui::PasswordKey;
using ui::SaveSettings;
using ui::SettingsTexts;
using ui::UpdateData;

TEST(ProfileTest, FirstRunStoresDefaultsAndShowsPort23)
{
    TempDir dir;
    IniProfile profile(dir.file("cfg/approbe/approbe.ini"));
    FakeWindow window;
    SettingsTexts texts;
    LoadSettings(window, profile, texts);
    SaveSettings(window, profile, texts);

    EXPECT_EQ(window.edits(), (EditTexts{"", "23", "", ""}));
    EXPECT_EQ(ReadFile(profile.path()), "[Settings]\nHost=\nPort=23\nUser=\nPass=\n");
    EXPECT_EQ(FileMode(profile.path()), 0600u);
    EXPECT_EQ(FileMode(dir.file("cfg/approbe")), 0700u);
}

TEST(ProfileTest, AwkwardTextsRoundTripExactly)
{
    TempDir dir;
    const std::string path = dir.file("approbe.ini");
    const std::vector<std::string> values = {
        "  leading and trailing  ", "a;b=c,d", "\"quoted\"", "back\\slash\\", "grüße ✓", "\"", "=", "tab\there",
        "line\nbreak\r", "", "[Settings]", "#hash", "; semicolon", "\\x41",
    };
    for (std::size_t i = 0; i < values.size(); ++i)
        ASSERT_TRUE(IniProfile(path).WriteProfileString("Settings", "K" + std::to_string(i), values[i]));
    for (std::size_t i = 0; i < values.size(); ++i)
        EXPECT_EQ(IniProfile(path).GetProfileString("Settings", "K" + std::to_string(i), "?"), values[i]);
    EXPECT_EQ(FileMode(path), 0600u);
}

// With the password kept elsewhere (the keyring), saving leaves Pass alone, and forgetting it
// takes out that one line, whatever else the file holds.
TEST(ProfileTest, PasswordKeptElsewhereLeavesTheRestOfTheFileAsItWas)
{
    TempDir dir;
    const std::string path = dir.file("approbe.ini");
    WriteFile(path, "; mine\n[Settings]\nHost=ap\nPass=old\nPort=23\n\n[Tools]\nPass=not-this-one\n");
    IniProfile profile(path);
    FakeWindow window;
    SettingsTexts texts;
    window.setEdits({"ap", "23", "u", "typed"});
    SaveSettings(window, profile, texts, false);
    EXPECT_EQ(ReadFile(path), "; mine\n[Settings]\nHost=ap\nPass=old\nPort=23\nUser=u\n\n[Tools]\nPass=not-this-one\n");

    EXPECT_TRUE(ForgetSavedPassword(profile));
    EXPECT_EQ(ReadFile(path), "; mine\n[Settings]\nHost=ap\nPort=23\nUser=u\n\n[Tools]\nPass=not-this-one\n");
    EXPECT_TRUE(ForgetSavedPassword(profile)) << "gone already";
    EXPECT_EQ(profile.GetProfileString("Settings", "Pass", "none"), "none");
}

// The name a password is kept under outside the profile: a change would lose every stored one.
TEST(ProfileTest, PasswordKeyNamesProtocolUserHostAndPort)
{
    auto key = [](const char* host, const char* port) { return PasswordKey({port, "pw", "admin", host}); };
    EXPECT_EQ(key("10.0.0.2", "23"), "telnet://admin@10.0.0.2:23");
    EXPECT_EQ(key("telnet://ap1", "2323"), "telnet://admin@ap1:2323");
    EXPECT_EQ(key("ssh://ap1", "0"), "ssh://admin@ap1:22") << "the port the session would use";
    EXPECT_EQ(key("ssh://[fe80::1%eth0]", "22"), "ssh://admin@[fe80::1%eth0]:22");
    EXPECT_EQ(key("fe80::1", "x"), "telnet://admin@[fe80::1]:23");
}

TEST(ProfileTest, UnwritableProfileIsNoError)
{
    TempDir dir;
    WriteFile(dir.file("not-a-folder"), "x"); // even root cannot create a folder here
    IniProfile profile(dir.file("not-a-folder/approbe.ini"));
    FakeWindow window;
    SettingsTexts texts;
    window.setEdits({"ap", "0", "u", "p"});
    SaveSettings(window, profile, texts);
    EXPECT_FALSE(profile.WriteProfileString("Settings", "Host", "h"));
    EXPECT_EQ(window.edits().port, "23");
    EXPECT_EQ(texts.m_strHost, "ap");
}

TEST(ProfileTest, FailedRenameReportsItKeepsTheOldFileAndLeavesNothingBehind)
{
    // A readable profile of another user in a sticky folder: the new file can be written beside
    // it, but the rename over it is refused.
    TempDir dir;
    const std::string path = dir.file("approbe.ini");
    const std::string old = "[Settings]\nHost=kept\n";
    WriteFile(path, old);
    ASSERT_EQ(::chmod(path.c_str(), 0644), 0);
    ASSERT_EQ(::chmod(dir.path().c_str(), 01777), 0);
    const std::optional<bool> written =
        AsNobody([&] { return IniProfile(path).WriteProfileString("Settings", "Host", "lost"); });
    if (!written)
        GTEST_SKIP() << "needs root, to own a file that an unprivileged user cannot rename over";
    EXPECT_FALSE(*written);
    EXPECT_EQ(ReadFile(path), old);
    EXPECT_EQ(CountEntries(dir.path()), 1u) << "no temporary file left";
}

struct PortCase {
    const char* typed;
    const char* stored;
};

class PortValidationTest : public ::testing::TestWithParam<PortCase> {};

TEST_P(PortValidationTest, InvalidPortsBecome23AndAreShownAndStored)
{
    TempDir dir;
    IniProfile profile(dir.file("approbe.ini"));
    FakeWindow window;
    SettingsTexts texts;
    window.setEdits({"ap", GetParam().typed, "u", "p"});
    SaveSettings(window, profile, texts);
    EXPECT_EQ(texts.m_strPort, GetParam().stored);
    EXPECT_EQ(window.edits().port, GetParam().stored);
    EXPECT_EQ(profile.GetProfileString("Settings", "Port", "?"), GetParam().stored);
}

INSTANTIATE_TEST_SUITE_P(Ports, PortValidationTest,
                         ::testing::Values(PortCase{"0", "23"}, PortCase{"-5", "23"}, PortCase{"abc", "23"},
                                           PortCase{"", "23"}, PortCase{"80x", "80x"}, PortCase{" 22", " 22"},
                                           PortCase{"999", "999"},
                                           PortCase{"4294967319", "23"}),
                         [](const auto& row) { return NameFromText(row.index, row.param.typed); }); // 2^32 + 23 must not wrap

TEST(ExchangeTest, OverlongStoredPortFailsThePullAtThePort)
{
    TempDir dir;
    IniProfile profile(dir.file("approbe.ini"));
    ASSERT_TRUE(profile.WriteProfileString("Settings", "Port", "8080"));
    ASSERT_TRUE(profile.WriteProfileString("Settings", "User", "old-user"));
    FakeWindow window;
    SettingsTexts texts;
    LoadSettings(window, profile, texts);
    EXPECT_EQ(window.edits().port, "8080") << "the push shows the stored text whole";

    window.setEdits({"new-host", "8080", "new-user", "new-pass"});
    EXPECT_FALSE(UpdateData(window, texts, true));
    EXPECT_EQ(window.events("toolong"), std::vector<std::string>{"toolong 3"});
    EXPECT_EQ(texts.m_strHost, "new-host");
    EXPECT_EQ(texts.m_strPort, "8080");
    EXPECT_EQ(texts.m_strUser, "old-user") << "fields after the port keep their values";

    // Four digits pass the range check, so they are stored and used as typed.
    SaveSettings(window, profile, texts);
    EXPECT_EQ(profile.GetProfileString("Settings", "Port", "?"), "8080");
}

} // namespace
} // namespace approbe
