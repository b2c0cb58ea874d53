// The settings profile file and the exchange of the settings with the edits.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include "fake_window.h"
#include "profile.h"
#include "settings.h"
#include "temp_dir.h"

namespace approbe {
namespace {

using test::FakeWindow;
using test::ReadFile;
using test::TempDir;
using test::WriteFile;

unsigned Mode(const std::string& path)
{
    struct stat st{};
    ::stat(path.c_str(), &st);
    return st.st_mode & 0777;
}

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
    EXPECT_EQ(Mode(profile.path()), 0600u);
    EXPECT_EQ(Mode(dir.file("cfg/approbe")), 0700u);
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
    EXPECT_EQ(Mode(path), 0600u);
}

TEST(ProfileTest, ReadsHandWrittenAndJunkFiles)
{
    TempDir dir;
    const std::string path = dir.file("approbe.ini");
    using namespace std::string_literals;
    WriteFile(path, "\x01\xff junk\0line\n[other]\nHost=wrong\n[ settings ]\r\n  host = 10.0.0.1 \r\n"s +
                        "Host=second\nPort=" + std::string(10000, '9') + "\nUser\n[Settings]\nPass=late\n");
    IniProfile profile(path);
    EXPECT_EQ(profile.GetProfileString("Settings", "Host", "?"), "10.0.0.1") << "first entry of first section";
    EXPECT_EQ(profile.GetProfileString("Settings", "Port", "?").size(), 10000u);
    EXPECT_EQ(profile.GetProfileString("Settings", "User", "?"), "?");
    EXPECT_EQ(profile.GetProfileString("Missing", "Host", "dflt"), "dflt");

    // Rewriting keeps the other sections and replaces the value in place.
    ASSERT_TRUE(profile.WriteProfileString("Settings", "Host", "h"));
    EXPECT_EQ(profile.GetProfileString("other", "Host", "?"), "wrong");
    EXPECT_EQ(profile.GetProfileString("Settings", "Host", "?"), "h");
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

TEST(ProfileTest, FailedWriteReportsItAndLeavesNothingBehind)
{
    TempDir dir;
    const std::string path = dir.file("approbe.ini");
    std::filesystem::create_directory(path); // the rename over it must fail
    EXPECT_FALSE(IniProfile(path).WriteProfileString("Settings", "Host", "lost"));
    const auto entries = std::filesystem::directory_iterator(dir.path());
    EXPECT_EQ(std::distance(entries, std::filesystem::directory_iterator()), 1) << "no temporary file left";
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
                                           PortCase{"999", "999"}));

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

TEST(ExchangeTest, ThirtyTwoBitOverflowNeverWrapsIntoAValidPort)
{
    TempDir dir;
    IniProfile profile(dir.file("approbe.ini"));
    ASSERT_TRUE(profile.WriteProfileString("Settings", "Port", "4294967319")); // 2^32 + 23
    FakeWindow window;
    SettingsTexts texts;
    LoadSettings(window, profile, texts);
    SaveSettings(window, profile, texts);
    EXPECT_EQ(texts.m_strPort, "23");
}

} // namespace
} // namespace approbe
