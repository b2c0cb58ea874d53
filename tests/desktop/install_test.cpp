// cmake --install --strip (as scripts/install runs it) into a temporary prefix: the desktop entry
// validates and Qt finds the icon that the entry names in the installed hicolor theme; the modules
// are in place, the SSH one loads and works from there, and the program itself needs no SSH.
#include <gtest/gtest.h>

#include <QIcon>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "desktop_support.h"
#include "ssh_module.h"
#include "temp_dir.h"

namespace approbe {
namespace {

using namespace std::chrono_literals;
using namespace test;
namespace fs = std::filesystem;

// Runs a command to its end with its output in a file; returns its exit code (-1 if it did not end).
int RunToEnd(std::vector<std::string> argv, const std::string& outPath)
{
    const int out = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    Child child(std::move(argv), {}, out);
    ::close(out);
    const int status = child.wait(60s);
    return status >= 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(InstallTest, DesktopEntryValidatesAndQtFindsItsIconInEverySize)
{
    TempDir prefix;
    ASSERT_EQ(RunToEnd({APPROBE_CMAKE, "--install", APPROBE_BUILD_DIR, "--prefix", prefix.path().string(), "--strip"},
                  prefix.file("install.log")),
              0)
        << ReadFile(prefix.file("install.log"));
    EXPECT_TRUE(fs::exists(prefix.path() / "bin/approbe"));
    // The aiming tone's audio output and SSH, which bin/approbe loads from ../lib/approbe when first
    // used: start-up maps neither.
    EXPECT_TRUE(fs::exists(prefix.path() / "lib/approbe/libapprobe-audio.so"));
    const fs::path ssh = prefix.path() / "lib/approbe/libapprobe-ssh.so";
    ASSERT_TRUE(fs::exists(ssh));
    void* module = ::dlopen(ssh.c_str(), RTLD_LAZY | RTLD_LOCAL);
    ASSERT_TRUE(module) << ::dlerror();
    const auto sshEntry = reinterpret_cast<session::SshModuleEntry>(::dlsym(module, session::kSshModuleSymbol));
    ASSERT_TRUE(sshEntry) << "stripped of its entry point";
    EXPECT_EQ(sshEntry()->KnownHostsName("ap1", 2222), "[ap1]:2222");
    ASSERT_EQ(RunToEnd({"ldd", (prefix.path() / "bin/approbe").string()}, prefix.file("ldd.log")), 0);
    const std::string needed = ReadFile(prefix.file("ldd.log"));
    EXPECT_EQ(needed.find("libssh"), std::string::npos) << needed;
    EXPECT_EQ(needed.find("libcrypto"), std::string::npos) << needed;
    const fs::path entry = prefix.path() / "share/applications/approbe.desktop";
    ASSERT_TRUE(fs::exists(entry));
    EXPECT_NE(ReadFile(entry.string()).find("\nIcon=approbe\n"), std::string::npos);

    if (OnPath("desktop-file-validate"))
        EXPECT_EQ(RunToEnd({"desktop-file-validate", entry.string()}, prefix.file("validate.log")), 0)
            << ReadFile(prefix.file("validate.log"));
    else
        ADD_FAILURE() << "desktop-file-validate not installed (scripts/test installs it)";

    const fs::path theme = prefix.path() / "share/icons/hicolor";
    EXPECT_TRUE(fs::exists(theme / "scalable/apps/approbe.svg"));
    // As on a desktop: the user's icons before the system's, whose hicolor index names the folders.
    QIcon::setThemeSearchPaths(
        {QString::fromStdString((prefix.path() / "share/icons").string()), QStringLiteral("/usr/share/icons")});
    QIcon::setThemeName(QStringLiteral("hicolor"));
    const QIcon icon = QIcon::fromTheme(QStringLiteral("approbe"));
    ASSERT_FALSE(icon.isNull()) << "Qt does not find the icon";
    for (int size : {16, 22, 24, 32, 48, 64, 128, 256}) {
        SCOPED_TRACE(size);
        EXPECT_TRUE(fs::exists(theme / (std::to_string(size) + "x" + std::to_string(size)) / "apps/approbe.png"));
        EXPECT_EQ(icon.pixmap(size).size(), QSize(size, size)) << "drawn for that size";
    }
}

} // namespace
} // namespace approbe
