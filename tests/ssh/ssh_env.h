#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>

#include "environment.h"
#include "temp_dir.h"

// What tests/ssh/run-with-sshd hands over, and a private HOME and XDG_CONFIG_HOME for the case,
// so that no real known_hosts file is read or written and no agent is asked.
namespace approbe::test {

struct SshServer {
    int port = 0, kbdintPort = 0;
    std::string user, password, shellLog;
    std::string hostKey, otherKey; // "TYPE BASE64" of the servers' key and of another one
    std::string fingerprint;       // of hostKey, as ssh-keygen -lf prints it
};

// The key file's "TYPE BASE64", without its comment.
inline std::string KeyOf(const std::string& pubFile)
{
    std::istringstream in(ReadFile(pubFile));
    std::string type, b64;
    in >> type >> b64;
    return type + " " + b64;
}

inline std::string KeygenFingerprint(const std::string& pubFile)
{
    std::string out;
    if (FILE* p = ::popen(("ssh-keygen -lf " + pubFile).c_str(), "r")) {
        char buf[512];
        while (std::fgets(buf, sizeof buf, p))
            out += buf;
        ::pclose(p);
    }
    std::istringstream in(out);
    std::string bits, fingerprint;
    in >> bits >> fingerprint;
    return fingerprint;
}

class SshTestBase : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (const std::string why = Env("APPROBE_SSH_SKIP"); !why.empty())
            GTEST_SKIP() << why;
        if (Env("APPROBE_SSH_PORT").empty())
            GTEST_SKIP() << "real sshd not run: start this program through tests/ssh/run-with-sshd (CTest does)";
        server.port = std::atoi(Env("APPROBE_SSH_PORT").c_str());
        server.kbdintPort = std::atoi(Env("APPROBE_SSH_KBDINT_PORT").c_str());
        server.user = Env("APPROBE_SSH_USER");
        server.password = Env("APPROBE_SSH_PASSWORD");
        server.shellLog = Env("APPROBE_SSH_SHELL_LOG");
        server.hostKey = KeyOf(Env("APPROBE_SSH_HOST_KEY"));
        server.otherKey = KeyOf(Env("APPROBE_SSH_OTHER_KEY"));
        server.fingerprint = KeygenFingerprint(Env("APPROBE_SSH_HOST_KEY"));
        ::setenv("HOME", home.path().c_str(), 1);
        ::setenv("XDG_CONFIG_HOME", (home.path() / "config").c_str(), 1);
        ::unsetenv("SSH_AUTH_SOCK");
    }

    std::string knownHosts() const { return (home.path() / "config/approbe/known_hosts").string(); }
    // Writes approbe's known_hosts file with text.
    void WriteKnownHosts(const std::string& text) const
    {
        std::filesystem::create_directories(home.path() / "config/approbe");
        WriteFile(knownHosts(), text);
    }
    std::string ShellLog() const { return std::filesystem::exists(server.shellLog) ? ReadFile(server.shellLog) : ""; }

    SshServer server;
    TempDir home;
};

} // namespace approbe::test
