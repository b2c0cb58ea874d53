// approbe-sim driven as a real process over loopback TCP.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <chrono>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "sim_process.h"

extern char** environ;

using approbe::test::SimProcess;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

constexpr auto kWait = 5s;

int msLeft(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

// Blocking loopback client; every read has a deadline.
class Client {
public:
    enum class End { Eof, Reset, Timeout };

    explicit Client(int port) {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<std::uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (fd_ < 0 || ::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
            throw std::runtime_error("connect to 127.0.0.1:" + std::to_string(port) + " failed");
        const int on = 1;  // small sends go out at once, as separate segments
        ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    }
    ~Client() { closeNow(); }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    void send(const std::string& s) {
        ASSERT_EQ(::send(fd_, s.data(), s.size(), MSG_NOSIGNAL), static_cast<ssize_t>(s.size()));
    }
    void shutdownWrite() { ::shutdown(fd_, SHUT_WR); }
    void closeNow() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }
    void abort() {  // close with RST
        const linger lg{1, 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
        closeNow();
    }

    // Text received since the last call, through needle; a test failure if it does not come.
    std::string until(const std::string& needle, std::chrono::milliseconds timeout = kWait) {
        const auto deadline = Clock::now() + timeout;
        std::size_t at;
        while ((at = buf_.find(needle)) == std::string::npos)
            if (readSome(msLeft(deadline)) != Read::Data) {
                ADD_FAILURE() << "no '" << needle << "' in: " << buf_;
                return std::exchange(buf_, {});
            }
        std::string got = buf_.substr(0, at + needle.size());
        buf_.erase(0, got.size());
        return got;
    }

    // Reads everything until the server ends the connection (or the timeout).
    std::pair<std::string, End> untilEnd(std::chrono::milliseconds timeout = kWait) {
        const auto deadline = Clock::now() + timeout;
        for (;;) {
            switch (readSome(msLeft(deadline))) {
            case Read::Data: continue;
            case Read::Eof: return {std::exchange(buf_, {}), End::Eof};
            case Read::Reset: return {std::exchange(buf_, {}), End::Reset};
            case Read::Timeout: return {std::exchange(buf_, {}), End::Timeout};
            }
        }
    }

    // True if nothing at all (no data, no end) arrives for this long.
    bool quietFor(std::chrono::milliseconds window) {
        pollfd p{fd_, POLLIN, 0};
        return ::poll(&p, 1, static_cast<int>(window.count())) == 0;
    }

    int fd() const { return fd_; }

private:
    enum class Read { Data, Eof, Reset, Timeout };
    Read readSome(int ms) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, ms) <= 0) return Read::Timeout;
        char b[65536];
        const ssize_t n = ::recv(fd_, b, sizeof b, 0);
        if (n > 0) buf_.append(b, static_cast<std::size_t>(n));
        return n > 0 ? Read::Data : n == 0 ? Read::Eof : errno == ECONNRESET ? Read::Reset : Read::Timeout;
    }
    int fd_ = -1;
    std::string buf_;
};

// The number after label, read the way the client reads it: one separator char, then a signed int.
std::optional<int> labelled(const std::string& text, const std::string& label) {
    const auto at = text.find(label);
    if (at == std::string::npos) return std::nullopt;
    const char* p = text.c_str() + at + label.size() + 1;
    char* end = nullptr;
    const long v = std::strtol(p, &end, 10);
    if (end == p) return std::nullopt;
    return static_cast<int>(v);
}

// Answers a login prompt already read.
void answerLogin(Client& c, const std::string& user = "admin", const std::string& password = "admin") {
    c.send(user + "\r");
    c.until("Password: ");
    c.send(password + "\r");
    c.until("AP> ");
}

void login(Client& c, const std::string& user = "admin", const std::string& password = "admin") {
    c.until("login: ");
    answerLogin(c, user, password);
}

// One poll the way the client sends it; returns {noise, local, remote}.
std::vector<std::optional<int>> poll(Client& c) {
    c.send("get station");
    c.send("\r\n");
    const std::string station = c.until("AP> ");
    c.send("get nf");
    c.send("\r\n");
    const std::string nf = c.until("AP> ");
    EXPECT_EQ(station.find("Level:"), std::string::npos) << station;
    EXPECT_EQ(nf.find("Local RSSI level:"), std::string::npos) << nf;
    return {labelled(nf, "Level:"), labelled(station, "Local RSSI level:"), labelled(station, "Remote RSSI level:")};
}

void expectRealistic(const std::vector<std::optional<int>>& v) {
    ASSERT_TRUE(v[0] && v[1] && v[2]);
    EXPECT_TRUE(*v[0] >= -100 && *v[0] <= -80) << *v[0];
    EXPECT_TRUE(*v[1] >= -90 && *v[1] <= -40) << *v[1];
    EXPECT_TRUE(*v[2] >= -90 && *v[2] <= -40) << *v[2];
}

// A short-lived simulator run whose exit status matters.
struct Exit {
    int code = -1;
    std::string out, err;
};

class Child {
public:
    explicit Child(std::vector<std::string> args) {
        args.insert(args.begin(), SimProcess::path());
        int out[2], err[2];
        if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, out[1], 1);
        posix_spawn_file_actions_adddup2(&fa, err[1], 2);
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        const int rc = ::posix_spawn(&pid_, argv[0], &fa, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&fa);
        ::close(out[1]);
        ::close(err[1]);
        fds_[0] = out[0];
        fds_[1] = err[0];
        if (rc != 0) throw std::runtime_error("spawn failed");
    }
    ~Child() { finish(0ms); }

    // Port from the "listening on" line, 0 if it does not come.
    int port() {
        const auto deadline = Clock::now() + kWait;
        while (text_[0].find('\n') == std::string::npos && pump(msLeft(deadline))) {
        }
        const auto colon = text_[0].rfind(':');
        return colon == std::string::npos ? 0 : std::atoi(text_[0].c_str() + colon + 1);
    }

    void signal(int sig) { ::kill(pid_, sig); }

    // Waits for the exit; a child still running at the deadline is killed and reports code -1.
    Exit finish(std::chrono::milliseconds timeout) {
        if (pid_ < 0) return {};
        const auto deadline = Clock::now() + timeout;
        while ((fds_[0] >= 0 || fds_[1] >= 0) && pump(msLeft(deadline))) {
        }
        const bool exited = fds_[0] < 0 && fds_[1] < 0;
        if (!exited) ::kill(pid_, SIGKILL);
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
        for (int& fd : fds_)
            if (fd >= 0) ::close(fd), fd = -1;
        return {exited && WIFEXITED(status) ? WEXITSTATUS(status) : -1, text_[0], text_[1]};
    }

private:
    // Reads whatever is ready; false on timeout.
    bool pump(int ms) {
        pollfd p[2] = {{fds_[0], POLLIN, 0}, {fds_[1], POLLIN, 0}};
        if (::poll(p, 2, ms) <= 0) return false;
        for (int k = 0; k < 2; ++k) {
            if (!p[k].revents) continue;
            char b[4096];
            const ssize_t n = ::read(fds_[k], b, sizeof b);
            if (n > 0) text_[k].append(b, static_cast<std::size_t>(n));
            else ::close(fds_[k]), fds_[k] = -1;
        }
        return true;
    }
    pid_t pid_ = -1;
    int fds_[2] = {-1, -1};
    std::string text_[2];
};

std::string writeTempFile(const std::string& text) {
    char name[] = "/tmp/approbe-sim-test-XXXXXX";
    const int fd = ::mkstemp(name);
    EXPECT_EQ(::write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    ::close(fd);
    return name;
}

}  // namespace

// ---- default dialogue ----

TEST(SimDialogue, FullSessionAsTheClientDrivesIt) {
    SimProcess sim({"--seed", "1"});
    Client c(sim.port());
    c.until("login: ");
    c.send("admin\r");
    c.until("Password: ");
    c.send("wrong\r");
    EXPECT_NE(c.until("login: ").find("Login incorrect"), std::string::npos);
    answerLogin(c);
    for (int i = 0; i < 3; ++i) expectRealistic(poll(c));
    c.send("bogus\r\n");
    EXPECT_NE(c.until("AP> ").find("unknown command"), std::string::npos);
    c.send("\r\n");
    EXPECT_EQ(c.until("AP> "), "AP> ");
    c.send("q");
    c.send("\r");
    EXPECT_EQ(c.untilEnd().second, Client::End::Eof);
    EXPECT_TRUE(sim.waitReceived("bogus\r\n\r\nq\r", kWait));
}

TEST(SimDialogue, AcceptsAnyLineEndingSplitCommandsAndTelnetCommands) {
    SimProcess sim({"--user", "u1", "--password", "pw"});
    Client c(sim.port());
    c.until("login: ");
    c.send("u\xff\xfb\x01" "1\xff\xfa\x18\x01\xff\xf0\n");  // WILL ECHO and a subnegotiation inside
    c.until("Password: ");
    c.send("pw\r\n");
    c.until("AP> ");
    c.send("get nf\rget nf\nget n");
    c.send("f\r\n");
    for (int i = 0; i < 3; ++i) EXPECT_TRUE(labelled(c.until("AP> "), "Level:"));
    EXPECT_TRUE(c.quietFor(100ms)) << "an LF after CR must not count as an empty command";
}

TEST(SimDialogue, SameSeedSameValuesAndTheyMove) {
    const auto series = [](const std::string& seed) {
        SimProcess sim({"--seed", seed});
        Client c(sim.port());
        login(c);
        std::vector<std::optional<int>> all;
        for (int i = 0; i < 8; ++i)
            for (auto v : poll(c)) all.push_back(v);
        return all;
    };
    const auto a = series("42");
    EXPECT_EQ(a, series("42"));
    EXPECT_NE(a, series("43"));
    EXPECT_NE(std::vector(a.begin(), a.begin() + 3), std::vector(a.end() - 3, a.end()));
}

TEST(SimDialogue, EndOfInputClosesTheConnection) {
    SimProcess sim;
    Client c(sim.port());
    login(c);
    c.shutdownWrite();
    EXPECT_EQ(c.untilEnd().second, Client::End::Eof);
    c.closeNow();
    EXPECT_TRUE(sim.waitClosedConnections(1, kWait));
}

TEST(SimDialogue, NegotiateSendsTelnetOptionsBeforeTheBanner) {
    SimProcess sim({"--negotiate"});
    Client c(sim.port());
    const std::string head = c.until("login: ");
    ASSERT_GE(head.size(), 3u);
    EXPECT_EQ(head.substr(0, 3), "\xff\xfb\x01");
    EXPECT_EQ(head.find('\0'), std::string::npos);
}

// ---- scripts ----

TEST(SimScript, DeliversExactBytesAndMatchesExactInput) {
    SimProcess sim({}, "# exact bytes\n"
                       "send A\\0B\\xff\\r\\n\n"
                       "expect ping\\r\\n\n"
                       "send Local RSSI\n"
                       "sleep 50\n"
                       "bytewise on\n"
                       "send \\x20level: -51\\r\\n\n"
                       "bytewise off\n");
    Client c(sim.port());
    EXPECT_EQ(c.until("\n"), std::string("A\0B\xff\r\n", 6));
    c.send(std::string("x\0\xffping\r\n", 9));
    const auto [rest, end] = c.untilEnd();
    EXPECT_EQ(rest, "Local RSSI level: -51\r\n");
    EXPECT_EQ(end, Client::End::Eof);
    EXPECT_EQ(sim.received(), std::string("x\0\xffping\r\n", 9));
}

TEST(SimScript, LoginFixedValuesCustomReplyThenShell) {
    SimProcess sim({"--user", "u", "--password", "p"}, "login\n"
                                                       "values -91 -47 -63\n"
                                                       "replies 2\n"
                                                       "reply custom\\r\\nAP>\\x20\n"
                                                       "shell\n");
    Client c(sim.port());
    login(c, "u", "p");
    const auto v = poll(c);
    EXPECT_EQ(v, (std::vector<std::optional<int>>{-91, -47, -63}));
    c.send("get station\r\n");
    EXPECT_EQ(c.until("AP> "), "custom\r\nAP> ");
    expectRealistic(poll(c));
    c.send("quit\r\n");
    EXPECT_EQ(c.untilEnd().second, Client::End::Eof);
}

TEST(SimScript, SilentKeepsTheConnectionOpenAfterTheClientShutsItsSendingSide) {
    SimProcess sim({}, "send hello\\r\\n\nsilent\n");
    Client c(sim.port());
    c.until("hello\r\n");
    c.send("get station\r\n");
    c.shutdownWrite();
    ASSERT_TRUE(sim.waitReceived("get station\r\n", kWait));
    EXPECT_TRUE(c.quietFor(300ms));
    EXPECT_EQ(sim.closedConnections(), 0);
    c.abort();
    EXPECT_TRUE(sim.waitClosedConnections(1, kWait));
}

TEST(SimScript, ResetGivesTheClientConnectionReset) {
    SimProcess sim({}, "expect go\\n\nreset\n");
    Client c(sim.port());
    c.send("go\n");
    EXPECT_EQ(c.untilEnd().second, Client::End::Reset);
}

TEST(SimScript, FloodDeliversExactlyTheByteCountOfLabelledLines) {
    SimProcess sim({}, "values -93 -55 -66\nflood 1000000\n");
    Client c(sim.port());
    const auto [data, end] = c.untilEnd(10s);
    EXPECT_EQ(end, Client::End::Eof);
    EXPECT_EQ(data.size(), 1000000u);
    EXPECT_EQ(labelled(data, "Level:"), -93);
    EXPECT_EQ(labelled(data, "Local RSSI level:"), -55);
    EXPECT_EQ(labelled(data, "Remote RSSI level:"), -66);
}

TEST(SimScript, BadScriptsExitTwoNamingFileAndLine) {
    for (const std::string text : {"send ok\n\nfrobnicate 3\n", "# c\nsend ok\nsend bad\\q\n", "login\n\nvalues 1 2\n"}) {
        const std::string file = writeTempFile(text);
        const Exit e = Child({"--port", "0", "--script", file}).finish(kWait);
        EXPECT_EQ(e.code, 2) << text;
        EXPECT_NE(e.err.find(file + ":3:"), std::string::npos) << e.err;
        EXPECT_EQ(e.out, "") << "must fail before listening";
        ::unlink(file.c_str());
    }
}

// ---- many clients, hostile clients ----

TEST(SimRobustness, TwoClientsAtOnceAreIndependent) {
    SimProcess sim;
    Client a(sim.port()), b(sim.port());
    a.until("login: ");
    a.send("admin\r");  // a stops half way through its login
    login(b);
    expectRealistic(poll(b));
    a.until("Password: ");
    a.send("admin\r");
    a.until("AP> ");
    b.send("q\r");
    EXPECT_EQ(b.untilEnd().second, Client::End::Eof);
    expectRealistic(poll(a));
}

TEST(SimRobustness, VanishingGarbageAndNonReadingClientsDoNotStopTheServer) {
    SimProcess sim;
    Client(sim.port()).closeNow();
    {
        Client garbage(sim.port());
        std::string junk(200000, '\0');
        for (std::size_t i = 0; i < junk.size(); ++i) junk[i] = static_cast<char>(i * 7919 % 251);
        garbage.send(junk + "\xff\xfa no end of subnegotiation");
        garbage.abort();
    }
    Client hog(sim.port());  // asks for replies forever and never reads them
    hog.send("admin\radmin\r");
    std::string polls;
    for (int i = 0; i < 2000; ++i) polls += "get station\r\n";
    for (int i = 0; i < 200 && ::send(hog.fd(), polls.data(), polls.size(), MSG_NOSIGNAL | MSG_DONTWAIT) > 0; ++i) {
    }
    Client c(sim.port());
    login(c);
    expectRealistic(poll(c));
    EXPECT_TRUE(sim.waitClosedConnections(2, kWait));
}

TEST(SimRobustness, StopsPromptlyWithExitZeroOnSigtermWhileClientsAreConnected) {
    Child sim({"--port", "0", "--verbose"});
    const int port = sim.port();
    ASSERT_NE(port, 0);
    Client a(port), b(port);
    a.until("login: ");
    login(b);
    sim.signal(SIGTERM);
    const Exit e = sim.finish(3s);
    EXPECT_EQ(e.code, 0) << e.err;
    EXPECT_EQ(b.untilEnd().second, Client::End::Eof);
}

// ---- command line ----

TEST(SimCommandLine, BadOptionsExitTwoWithUsage) {
    for (const std::vector<std::string>& args : {std::vector<std::string>{"--bogus"}, {"--port", "70000"}, {"--port"},
                                                 {"--seed", "x"}, {"--bind", "not-an-address"}}) {
        const Exit e = Child(args).finish(kWait);
        EXPECT_EQ(e.code, 2) << args[0];
        EXPECT_NE(e.err.find("usage:"), std::string::npos) << e.err;
    }
}

TEST(SimCommandLine, PortInUseExitsOneWithOneLineNamingIt) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&a), len), 0);
    ASSERT_EQ(::listen(fd, 1), 0);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    const std::string port = std::to_string(ntohs(a.sin_port));
    const Exit e = Child({"--port", port}).finish(kWait);
    ::close(fd);
    EXPECT_EQ(e.code, 1);
    EXPECT_NE(e.err.find("127.0.0.1:" + port + ": address already in use\n"), std::string::npos) << e.err;
    EXPECT_EQ(std::count(e.err.begin(), e.err.end(), '\n'), 1) << e.err;
}

// The acceptance exchange on the fixed port, as a plain TCP client sees it.
TEST(SimAcceptance, Port2323ScriptedExchange) {
    SimProcess sim({"--port", "2323", "--user", "ap", "--password", "secret"});
    ASSERT_EQ(sim.port(), 2323);
    Client c(2323);
    c.until("login: ");
    c.send("ap\r");
    c.until("Password: ");
    c.send("nope\r");
    EXPECT_NE(c.until("login: ").find("Login incorrect"), std::string::npos);
    answerLogin(c, "ap", "secret");
    expectRealistic(poll(c));
    c.send("q");
    c.send("\r");
    EXPECT_EQ(c.untilEnd().second, Client::End::Eof);
    c.closeNow();
    EXPECT_TRUE(sim.waitClosedConnections(1, kWait));
}
