// Bad input loses nothing: a junk profile still opens and Connect works, a profile write that
// fails part-way leaves the old file whole and owner-only, and odd host texts fail with a line.
#include <gtest/gtest.h>

#include <csignal>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "profile.h"
#include "session_rig.h"

namespace approbe {
namespace {

using namespace test;
using namespace std::string_literals;
using namespace std::chrono_literals;
using ui::EditTexts;

const std::string kMegabyte(1 << 20, 'm');

struct JunkProfile {
    const char* name;
    std::string text;
    EditTexts shown;      // the edits once the dialog has opened
    std::string survives; // a line of the file that the rewrite on opening must keep
};

void PrintTo(const JunkProfile& c, std::ostream* os) { *os << c.name; }

class JunkProfileTest : public ::testing::TestWithParam<JunkProfile> {};

TEST_P(JunkProfileTest, OpensShowsWhatIsReadableKeepsItAndConnects)
{
    SessionRig rig(SessionRig::ProfileText{GetParam().text});
    EXPECT_EQ(rig.window.edits(), GetParam().shown);
    const std::string stored = ReadFile(rig.profile.path());
    EXPECT_NE(stored.find(GetParam().survives), std::string::npos) << "the rewrite kept the rest of the file";
    IniProfile reread(rig.profile.path());
    const auto get = [&](const char* key) { return reread.GetProfileString("Settings", key, "?"); };
    EXPECT_EQ((EditTexts{get("Host"), get("Port"), get("User"), get("Pass")}), GetParam().shown);
    EXPECT_EQ(FileMode(rig.profile.path()), 0600u);
    ExpectNormalSessionAfterwards(rig);
}

INSTANTIATE_TEST_SUITE_P(
    Profiles, JunkProfileTest,
    ::testing::Values(
        JunkProfile{"BinaryBytes",
                    "\0\x01\xff\xfe\x1b[31m\n[Settings]\nHost=10.1.2.3\n\x7f\0bin=\x01\x02\xc3\nUser=u\nPass=p\n"s,
                    {"10.1.2.3", "23", "u", "p"},
                    "\x7f\0bin=\x01\x02\xc3\n"s},
        JunkProfile{"MegabyteValue", "[Settings]\nHost=10.1.2.3\nNote=" + kMegabyte + "\nUser=u\nPass=p\n",
                    {"10.1.2.3", "23", "u", "p"},
                    "Note=" + kMegabyte + "\n"},
        JunkProfile{"MissingSection", "Host=10.1.2.3\nPort=80\n", {"", "23", "", ""}, "Host=10.1.2.3\n"},
        JunkProfile{"DuplicateKeys",
                    "[Settings]\nHost=10.1.2.3\nHost=10.9.9.9\nPort=80\nPort=81\n[Settings]\nUser=late\n",
                    {"10.1.2.3", "80", "late", ""}, // same-named sections read as one
                    "Host=10.9.9.9\n"},
        // Sections and keys match whatever their case and spacing; the first entry counts.
        JunkProfile{"HandWritten",
                    "\x01\xff junk\0line\n[other]\nHost=wrong\n[ settings ]\r\n  host = 10.0.0.1 \r\n"
                    "Host=second\nUser\n[Settings]\nPass=late\n"s,
                    {"10.0.0.1", "23", "", "late"},
                    "[other]\nHost=wrong\n"},
        JunkProfile{"TenThousandDigitPort", "[Settings]\nHost=10.1.2.3\nPort=" + std::string(10000, '9') + "\n",
                    {"10.1.2.3", "23", "", ""},
                    "Port=23\n"}),
    [](const auto& row) { return std::string(row.param.name); });

// Files may grow no further than limit bytes while it lives; the signal that would end the
// program is ignored, so the write fails with EFBIG part-way as on a full disk.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t limit)
    {
        ::getrlimit(RLIMIT_FSIZE, &m_old);
        m_oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        const rlimit lowered{limit, m_old.rlim_max};
        ::setrlimit(RLIMIT_FSIZE, &lowered);
    }
    ~FileSizeLimit()
    {
        ::setrlimit(RLIMIT_FSIZE, &m_old);
        std::signal(SIGXFSZ, m_oldHandler);
    }

private:
    rlimit m_old{};
    void (*m_oldHandler)(int) = nullptr;
};

TEST(ProfileWriteTest, AWriteThatFailsPartWayKeepsTheOldFileWholeAndOwnerOnly)
{
    TempDir dir;
    const std::string path = dir.file("approbe.ini");
    IniProfile profile(path);
    ASSERT_TRUE(profile.WriteProfileString("Settings", "Host", "10.1.2.3"));
    ASSERT_TRUE(profile.WriteProfileString("Settings", "Pass", "secret"));
    const std::string old = ReadFile(path);
    {
        const FileSizeLimit limit(4096);
        EXPECT_FALSE(profile.WriteProfileString("Settings", "Note", kMegabyte)) << "the failure is reported";
    }
    EXPECT_EQ(ReadFile(path), old);
    EXPECT_EQ(FileMode(path), 0600u);
    EXPECT_EQ(CountEntries(dir.path()), 1u) << "the partial temporary file is removed";
    EXPECT_TRUE(profile.WriteProfileString("Settings", "Note", kMegabyte)) << "and the next write works";
}

TEST(ProfileWriteTest, AHandMadeWorldReadableProfileBecomesOwnerOnlyOnTheNextWrite)
{
    TempDir dir;
    const std::string path = dir.file("approbe.ini");
    WriteFile(path, "[Settings]\nPass=secret\n");
    ::chmod(path.c_str(), 0644);
    ASSERT_TRUE(IniProfile(path).WriteProfileString("Settings", "Host", "10.1.2.3"));
    EXPECT_EQ(FileMode(path), 0600u);
    EXPECT_EQ(IniProfile(path).GetProfileString("Settings", "Pass", "?"), "secret");
}

// A profile the user may not read, say one saved once with sudo, in the user's own folder: the
// user's program cannot see its settings, so it must not replace the file with its own. Run as
// an unprivileged user: as root, in a child process that becomes nobody.
TEST(ProfileWriteTest, AProfileThatCannotBeReadIsNeverReplaced)
{
    TempDir dir;
    const std::string path = dir.file("approbe.ini");
    const std::string old = "[Settings]\nHost=10.1.2.3\nPass=secret\n";
    WriteFile(path, old);
    auto tryWrite = [&] { return IniProfile(path).WriteProfileString("Settings", "Host", "other"); };
    bool written = false;
    if (::geteuid() != 0) {
        ::chmod(path.c_str(), 0);
        written = tryWrite();
        ::chmod(path.c_str(), 0600);
    } else {
        ::chmod(path.c_str(), 0600); // root's file
        ASSERT_EQ(::chown(dir.path().c_str(), kNobody, kNobody), 0);
        const std::optional<bool> result = AsNobody(tryWrite);
        if (!result)
            GTEST_SKIP() << "no unprivileged user to become here";
        written = *result;
    }
    EXPECT_FALSE(written);
    EXPECT_EQ(ReadFile(path), old);
}

// Host texts that can never reach an access point: each fails with a line that names it and gives
// Connect back. The resolver refuses them itself, so no query leaves the machine.
struct BadHost {
    const char* name;
    std::string host;
};

void PrintTo(const BadHost& c, std::ostream* os) { *os << c.name; }

class BadHostTest : public ::testing::TestWithParam<BadHost> {};

TEST_P(BadHostTest, FailsWithALineNamingItAndTheNextConnectWorks)
{
    SessionRig rig(GetParam().host, "23");
    rig.Connect();
    ASSERT_TRUE(rig.WaitEnd(5s));
    const Events narration = rig.Narration();
    ASSERT_GE(narration.size(), 3u);
    EXPECT_EQ(Events(narration.end() - 3, narration.end()),
              (Events{"caption " + kPrefix + "Cannot resolve host name:" + GetParam().host,
                      "log " + kPrefix + "Cannot resolve host name:" + GetParam().host, "connect 1"}));
    ExpectNormalSessionAfterwards(rig);
}

INSTANTIATE_TEST_SUITE_P(
    Hosts, BadHostTest,
    ::testing::Values(BadHost{"TenThousandCharacters", std::string(10000, 'h')},
                      BadHost{"ControlCharacters", "ap\x01\x1b[2J\t\x7f\r\nx"}),
    [](const auto& row) { return std::string(row.param.name); });

} // namespace
} // namespace approbe
