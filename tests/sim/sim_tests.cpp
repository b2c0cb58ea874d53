// approbe-sim as a real process over loopback TCP: what the client's own tests do not show.
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <optional>
#include <regex>
#include <set>
#include <stdexcept>
#include <thread>
#include <utility>

#include "loopback.h"
#include "sim_process.h"
#include "temp_dir.h"

using approbe::test::SimProcess;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Values = std::vector<std::optional<int>>;

namespace {

constexpr auto kWait = 5s;

// Blocking loopback client; every read has a deadline.
class Client {
public:
    explicit Client(int port) {
        sockaddr_in a{AF_INET, htons(static_cast<std::uint16_t>(port)), {htonl(INADDR_LOOPBACK)}, {}};
        if (::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
            throw std::runtime_error("connect to 127.0.0.1:" + std::to_string(port) + " failed");
        const int on = 1;  // small sends go out at once, as separate segments
        ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    }
    ~Client() { ::close(fd_); }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    void send(const std::string& s) {
        ASSERT_EQ(::send(fd_, s.data(), s.size(), MSG_NOSIGNAL), static_cast<ssize_t>(s.size()));
    }
    void shutdownWrite() { ::shutdown(fd_, SHUT_WR); }
    void abort() {  // close with RST
        const linger lg{1, 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
        ::close(std::exchange(fd_, -1));
    }
    int fd() const { return fd_; }

    // Text received since the last call, through needle; a test failure if it does not come.
    std::string until(const std::string& needle) {
        const auto deadline = Clock::now() + kWait;
        std::size_t at;
        while ((at = buf_.find(needle)) == std::string::npos)
            if (readSome(deadline) <= 0) {
                ADD_FAILURE() << "no '" << needle << "' in: " << buf_;
                return std::exchange(buf_, {});
            }
        std::string got = buf_.substr(0, at + needle.size());
        buf_.erase(0, got.size());
        return got;
    }
    // What one read brings (what is buffered already, if any); empty at the deadline or the end.
    std::string nextRead() {
        if (buf_.empty()) readSome(Clock::now() + kWait);
        return std::exchange(buf_, {});
    }
    // Reads until the server ends the connection: true if it closes it cleanly in time.
    bool ended(std::string* rest = nullptr) {
        const auto deadline = Clock::now() + kWait;
        long n;
        while ((n = readSome(deadline)) > 0) {
        }
        if (rest) *rest = std::exchange(buf_, {});
        return n == 0;
    }
    // True if nothing at all (no data, no end) arrives for this long.
    bool quietFor(std::chrono::milliseconds window) {
        pollfd p{fd_, POLLIN, 0};
        return ::poll(&p, 1, static_cast<int>(window.count())) == 0;
    }

private:
    // Bytes read; 0 at the end; -1 on a reset or at the deadline.
    long readSome(Clock::time_point deadline) {
        pollfd p{fd_, POLLIN, 0};
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (::poll(&p, 1, static_cast<int>(std::max<long long>(left, 0))) <= 0) return -1;
        char b[65536];
        const ssize_t n = ::recv(fd_, b, sizeof b, 0);
        if (n > 0) buf_.append(b, static_cast<std::size_t>(n));
        return n;
    }
    int fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    std::string buf_;
};

// The number after label, read the way the client reads it: one separator char, then a signed int.
std::optional<int> labelled(const std::string& text, const std::string& label) {
    const auto at = text.find(label);
    if (at == std::string::npos || at + label.size() + 1 >= text.size()) return std::nullopt;
    const char* p = text.c_str() + at + label.size() + 1;
    char* end = nullptr;
    const long v = std::strtol(p, &end, 10);
    return end == p ? std::nullopt : std::optional<int>(static_cast<int>(v));
}

// Logs in at any type's login prompt; returns what came after the password, through the prompt.
std::string login(Client& c, const std::string& user = "admin", const std::string& password = "admin",
                  const std::string& prompt = "AP> ") {
    c.until("ogin: ");
    c.send(user + "\r");
    c.until("Password: ");
    c.send(password + "\r");
    return c.until(prompt);
}

// One poll the way the client sends it; returns {noise, local, remote}.
Values poll(Client& c) {
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

}  // namespace

// The acceptance exchange, as a plain TCP client sees it.
TEST(SimAcceptance, ScriptedExchange) {
    SimProcess sim({"--user", "ap", "--password", "secret"});
    Client c(sim.port());
    c.until("login: ");
    c.send("ap\r");
    c.until("Password: ");
    c.send("nope\r");
    EXPECT_NE(c.until("login: ").find("Login incorrect"), std::string::npos);
    c.send("ap\r");
    c.until("Password: ");
    c.send("secret\r");
    c.until("AP> ");
    for (int i = 0; i < 3; ++i) {
        const Values v = poll(c);
        ASSERT_TRUE(v[0] && v[1] && v[2]);
        EXPECT_TRUE(*v[0] >= -100 && *v[0] <= -80) << *v[0];
        EXPECT_TRUE(*v[1] >= -90 && *v[1] <= -40) << *v[1];
        EXPECT_TRUE(*v[2] >= -90 && *v[2] <= -40) << *v[2];
    }
    c.send("bogus\r\n");
    EXPECT_NE(c.until("AP> ").find("unknown command"), std::string::npos);
    c.send("\r\n");
    EXPECT_EQ(c.until("AP> "), "AP> ");
    c.send("q");
    c.send("\r");
    EXPECT_TRUE(c.ended());
    EXPECT_TRUE(sim.waitReceived("bogus\r\n\r\nq\r", kWait));
    EXPECT_TRUE(sim.waitClosedConnections(1, kWait));
}

TEST(SimDialogue, SameSeedSameValuesAndTheyMove) {
    const auto series = [](const std::string& seed) {
        SimProcess sim({"--seed", seed});
        Client c(sim.port());
        login(c);
        Values all;
        for (int i = 0; i < 8; ++i)
            for (auto v : poll(c)) all.push_back(v);
        return all;
    };
    const Values a = series("42");
    EXPECT_EQ(a, series("42"));
    EXPECT_NE(a, series("43"));
    EXPECT_NE(Values(a.begin(), a.begin() + 3), Values(a.end() - 3, a.end()));
}

// Options first, then any line ending, commands split across sends and telnet commands inside.
TEST(SimDialogue, NegotiatesThenAcceptsAnyLineEndingSplitCommandsAndTelnetCommands) {
    SimProcess sim({"--negotiate", "eager", "--user", "u1", "--password", "pw"});
    Client c(sim.port());
    const std::string head = c.until("login: ");
    ASSERT_GE(head.size(), 3u);
    EXPECT_EQ(head.substr(0, 3), "\xff\xfd\x01");
    EXPECT_EQ(head.find('\0'), std::string::npos);
    c.send("u\xff\xfb\x01" "1\xff\xfa\x18\x01\xff\xf0\n");  // WILL ECHO and a subnegotiation inside
    c.until("Password: ");
    c.send("pw\r\n");
    c.until("AP> ");
    c.send("get nf\rget nf\nget n");
    c.send("f\r\n");
    for (int i = 0; i < 3; ++i) EXPECT_TRUE(labelled(c.until("AP> "), "Level:"));
    EXPECT_TRUE(c.quietFor(100ms)) << "an LF after CR must not count as an empty command";
}

// The answers a client that refuses every option gives to the DO and WILL requests in bytes.
std::string Refusals(const std::string& bytes) {
    std::string out;
    for (std::size_t i = 0; i + 2 < bytes.size(); ++i) {
        if (bytes[i] != '\xff') continue;
        if (bytes[i + 1] == '\xfd') out += std::string("\xff\xfc") + bytes[i + 2];  // DO -> WONT
        if (bytes[i + 1] == '\xfb') out += std::string("\xff\xfe") + bytes[i + 2];  // WILL -> DONT
    }
    return out;
}

const std::string kEagerOffers = "\xff\xfd\x01\xff\xfd\x1f\xff\xfb\x01\xff\xfb\x03";
const std::string kBanner = "\r\napprobe-sim access point shell\r\n\r\n";

// Like busybox's telnetd: options, banner and prompt in one block, no waiting; what is typed
// comes back while the WILL ECHO stands, except the password.
TEST(SimNegotiation, EagerSendsOptionsWithThePromptAndEchoesAllButThePassword) {
    SimProcess sim({"--negotiate", "eager"});
    Client c(sim.port());
    EXPECT_EQ(c.until("login: "), kEagerOffers + kBanner + "login: ");
    c.send("admin\r\n");
    EXPECT_EQ(c.until("Password: "), "admin\r\nPassword: ");
    c.send("admin\r\n");
    EXPECT_EQ(c.until("AP> "), "\r\nAP> ");
    c.send("get nf\r\n");
    EXPECT_EQ(c.until("AP> ").rfind("get nf\r\nNoise Floor Level: ", 0), 0u);
    c.send("\xff\xfe\x01get nf\r\n");  // DONT ECHO
    EXPECT_EQ(c.until("AP> ").rfind("Noise Floor Level: ", 0), 0u);
}

// Like inetutils' telnetd: rounds of options, each awaited in full, the last holding DO
// TRANSMIT-BINARY (a zero byte); then the prompt block, with options of its own.
TEST(SimNegotiation, StrictWithholdsTheLoginPromptUntilEveryOptionIsAnswered) {
    SimProcess sim({"--negotiate", "strict"});
    Client c(sim.port());
    const std::string first = c.until("\xff\xfd\x24");
    EXPECT_EQ(first, "\xff\xfb\x25\xff\xfb\x26\xff\xfd\x18\xff\xfd\x20\xff\xfd\x23\xff\xfd\x27\xff\xfd\x24");
    EXPECT_TRUE(c.quietFor(300ms)) << "a client that never answers gets no prompt";
    const std::string answers = Refusals(first);
    c.send(answers.substr(0, answers.size() - 3));
    EXPECT_TRUE(c.quietFor(300ms)) << "one option is still unanswered";
    c.send(answers.substr(answers.size() - 3, 2));  // a command split across sends
    c.send(answers.substr(answers.size() - 1));
    const std::string second = c.until("\xff\xfd\x21");
    EXPECT_EQ(second, "\xff\xfb\x03\xff\xfd\x01\xff\xfd\x22\xff\xfd\x1f\xff\xfb\x05\xff\xfd\x21");
    c.send(Refusals(second));
    EXPECT_EQ(c.until(std::string("\xff\xfd\x00", 3)), std::string("\xff\xfb\x01\xff\xfd\x06\xff\xfd\x00", 9));
    c.send(std::string("\xff\xfe\x01\xff\xfc\x06\xff\xfc\x00", 9));
    EXPECT_EQ(c.until("login: "), "\xff\xfb\x03\xff\xfb\x01" + kBanner + "login: ");
    c.send("\xff\xfe\x03\xff\xfe\x01" "admin\r\n");  // refused again: no echo
    EXPECT_EQ(c.until("Password: "), "Password: ");
    c.send("admin\r\n");
    EXPECT_EQ(c.until("AP> "), "\r\nAP> ");
}

TEST(SimNegotiation, WithoutOptionsNothingIsEchoed) {
    SimProcess sim;
    Client c(sim.port());
    EXPECT_EQ(c.until("login: "), kBanner + "login: ");
    c.send("admin\r\n");
    EXPECT_EQ(c.until("Password: "), "Password: ");
}

// The login program: a wrong login is answered after the delay, input typed ahead is read as
// the next answer whatever it was meant for, and after so many tries it gives up.
TEST(SimLogin, DelaysWrongLoginsReadsTypeAheadAsTheNextAnswerAndGivesUp) {
    SimProcess sim({"--negotiate", "eager", "--fail-delay", "400", "--login-tries", "2"});
    Client c(sim.port());
    c.until("login: ");
    c.send("admin\r\n");
    c.until("Password: ");
    const auto sent = Clock::now();
    c.send("wrong\r\nget station\r\n");  // the poll typed ahead during the delay
    EXPECT_EQ(c.until("login: "), "\r\nLogin incorrect\r\nlogin: ");
    EXPECT_GE(Clock::now() - sent, 400ms);
    EXPECT_EQ(c.until("Password: "), "get station\r\nPassword: ") << "the poll is the next user name";
    c.send("admin\r\n");
    std::string rest;
    EXPECT_TRUE(c.ended(&rest));
    EXPECT_EQ(rest, "\r\nLogin incorrect\r\n");
}

TEST(SimLogin, LastLoginAfterEverySuccessfulLoginButTheFirst) {
    SimProcess sim;
    const auto session = [&] {
        Client c(sim.port());
        c.until("login: ");
        c.send("admin\r");
        c.until("Password: ");
        c.send("admin\r");
        return c.until("AP> ");
    };
    EXPECT_EQ(session(), "\r\nAP> ");
    const std::regex last("\r\nLast login: [A-Z][a-z]{2} [A-Z][a-z]{2} [ 1-3][0-9] [0-9]{2}:[0-9]{2}:[0-9]{2} UTC "
                          "[0-9]{4} from 127\\.0\\.0\\.1\r\nAP> ");
    for (int i = 0; i < 2; ++i) {
        const std::string text = session();
        EXPECT_TRUE(std::regex_match(text, last)) << text;
    }
}

// Script steps pin the same habits exactly, whatever sessions came before.
TEST(SimScript, StepsPinEchoTheLoginProgramAndLastLogin) {
    SimProcess sim({}, "echo on\nfaildelay 0\ntries 5\nlastlogin on\nlogin\n"
                       "echo off\nlastlogin off\nlogin\nnegotiate strict\nreplies 1\n");
    for (int connection = 1; connection <= 2; ++connection) {
        SCOPED_TRACE(connection);
        Client c(sim.port());
        EXPECT_EQ(c.until("login: "), "\xff\xfb\x01login: ");
        c.send("admin\r");
        EXPECT_EQ(c.until("Password: "), "admin\r\nPassword: ");
        c.send("bad\r");
        EXPECT_EQ(c.until("login: "), "\r\nLogin incorrect\r\nlogin: ");
        c.send("admin\radmin\r");
        EXPECT_EQ(c.until("Password: "), "admin\r\nPassword: ");
        EXPECT_NE(c.until("AP> ").find("\r\nLast login: "), std::string::npos);
        EXPECT_EQ(c.until("login: "), "\xff\xfc\x01login: ");
        c.send("admin\radmin\r");
        EXPECT_EQ(c.until("AP> "), "Password: \r\nAP> ");
        const std::string round = c.until("\xff\xfd\x24");
        c.send(Refusals(round) + "get nf\r\n");  // typed ahead of the last answers: kept
        c.send(Refusals(c.until("\xff\xfd\x21")));
        c.send(Refusals(c.until(std::string("\xff\xfd\x00", 3))));
        // The prompt block's own options claim the echo again; nothing has refused it since.
        EXPECT_EQ(c.until("AP> ").rfind("\xff\xfb\x03\xff\xfb\x01get nf\r\nNoise Floor Level: ", 0), 0u);
        EXPECT_TRUE(c.ended());
    }
}

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
    std::string rest;
    EXPECT_TRUE(c.ended(&rest));
    EXPECT_EQ(rest, "Local RSSI level: -51\r\n");
    EXPECT_EQ(sim.received(), std::string("x\0\xffping\r\n", 9));
}

// Each read's bytes through the one that ends with the end.
std::vector<std::string> reads(Client& c, const std::string& end) {
    std::vector<std::string> out;
    std::string all;
    while (all.size() < end.size() || all.compare(all.size() - end.size(), end.size(), end) != 0) {
        std::string got = c.nextRead();
        if (got.empty()) {
            ADD_FAILURE() << "no '" << end << "' after: " << all;
            break;
        }
        all += got;
        out.push_back(std::move(got));
    }
    return out;
}

// A slow access point: each reply with its prompt in pieces, cut inside labels, numbers and the
// prompt, so a reader that takes what has come for the whole reply goes wrong.
TEST(SimReplies, PiecesComeApartCutInsideLabelsNumbersAndThePrompt) {
    SimProcess sim({"--pieces", "6", "--piece-gap", "150"}, "login\nvalues -95 -62 -66\nshell\n");
    Client c(sim.port());
    login(c);
    const std::vector<std::string> pieces = {
        "Station table\r\n  ID  MAC address        Rate   Signal\r\n  1   00:0c:42:1a:2b:3c  54M    Local RS",
        "SI level: -6", "2 dBm  Remote RS", "SI level: -6", "6 dBm\r\nAP", "> "};
    c.send("get station\r\n");
    const auto got = reads(c, "AP> ");
    // A read may hold several pieces when the reader was late, but never part of one.
    std::size_t next = 0;
    for (const std::string& block : got) {
        std::string joined;
        while (next < pieces.size() && joined.size() < block.size()) joined += pieces[next++];
        EXPECT_EQ(block, joined) << ::testing::PrintToString(got);
    }
    EXPECT_EQ(next, pieces.size());
    EXPECT_GE(got.size(), 2u) << "all in one read: " << ::testing::PrintToString(got);
    c.send("get nf\r\n");
    EXPECT_EQ(c.until("AP> "), "Noise Floor Level: -95 dBm\r\nAP> ");
}

// Several stations, rows in the order asked for, each with its MAC; rows left out now and then.
TEST(SimReplies, StationsInTheirOrderWithMacsAndDroppedRows) {
    SimProcess sim({"--seed", "7"}, "login\nvalues -95 -62 -66\nstations 3 3,1,2\nreplies 1\n"
                                    "stations 2 reversed\ndroprows 50\nshell\n");
    Client c(sim.port());
    login(c);
    const std::string head = "Station table\r\n  ID  MAC address        Rate   Signal\r\n";
    const std::string row1 = "  1   00:0c:42:1a:2b:3c  54M    Local RSSI level: -62 dBm  Remote RSSI level: -66 dBm\r\n";
    const std::string row2 = "  2   00:0c:42:1a:2b:3d  54M    Local RSSI level: -92 dBm  Remote RSSI level: -93 dBm\r\n";
    const std::string row3 = "  3   00:0c:42:1a:2b:3e  54M    Local RSSI level: -93 dBm  Remote RSSI level: -94 dBm\r\n";
    c.send("get station\r\n");
    EXPECT_EQ(c.until("AP> "), head + row3 + row1 + row2 + "AP> ");
    std::set<std::string> seen;
    for (int i = 0; i < 20; ++i) {
        c.send("get station\r\n");
        const std::string table = c.until("AP> ");
        EXPECT_TRUE(table == head + row2 + row1 + "AP> " || table == head + row2 + "AP> " ||
                    table == head + row1 + "AP> " || table == head + "AP> ")
            << table;
        seen.insert(table);
    }
    EXPECT_GE(seen.size(), 3u) << "rows are left out now and then, not always";
}

TEST(SimScript, BadScriptsExitTwoNamingFileAndLine) {
    for (const std::string text : {"send ok\n\nfrobnicate 3\n", "# c\nsend ok\nsend bad\\q\n", "login\n\nvalues 1 2\n",
                                   "echo on\n\nnegotiate sometimes\n", "tries 1\n\nlastlogin\n", "login\n\npieces 0 50\n",
                                   "login\n\nstations 3 1,1,2\n", "login\n\nstations 10\n"}) {
        const approbe::test::TempDir dir;
        const std::string file = dir.file("script");
        approbe::test::WriteFile(file, text);
        const auto e = approbe::test::RunSim({"--port", "0", "--script", file}, kWait);
        EXPECT_EQ(e.code, 2) << text;
        EXPECT_NE(e.err.find(file + ":3:"), std::string::npos) << e.err;
        EXPECT_EQ(e.out, "") << "must fail before listening";
    }
}

TEST(SimRobustness, VanishingGarbageAndNonReadingClientsDoNotStopTheServer) {
    SimProcess sim;
    { Client vanishing(sim.port()); }
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
    EXPECT_TRUE(poll(c)[0]);
    c.shutdownWrite();
    EXPECT_TRUE(c.ended()) << "the end of input closes the connection";
    EXPECT_TRUE(sim.waitClosedConnections(3, kWait));
}

TEST(SimRobustness, StopsPromptlyWithExitZeroOnSigtermWhileClientsAreConnected) {
    SimProcess sim;
    Client a(sim.port()), b(sim.port());
    a.until("login: ");
    login(b);
    EXPECT_EQ(sim.stop(), 0);
    EXPECT_TRUE(b.ended());
}

TEST(SimRobustness, ServesAtMostMaxConnectionsAtOnce) {
    SimProcess sim({"--max-connections", "2"});
    auto a = std::make_unique<Client>(sim.port());
    Client b(sim.port());
    a->until("login: ");
    b.until("login: ");
    std::string rest;
    {
        Client over(sim.port());
        EXPECT_TRUE(over.ended(&rest));
        EXPECT_EQ(rest, "") << "accepted and closed at once";
    }
    a.reset();
    ASSERT_TRUE(sim.waitClosedConnections(1, kWait));
    Client again(sim.port());
    EXPECT_NE(again.until("login: "), "") << "a place is free again";
}

TEST(SimCommandLine, HelpListsEveryOptionWithItsDefault) {
    const auto e = approbe::test::RunSim({"--help"}, kWait);
    EXPECT_EQ(e.code, 0);
    const std::string usage = e.out.substr(0, e.out.find("\n\n"));
    const std::regex option("--[a-z-]+");
    int options = 0;
    for (auto it = std::sregex_iterator(usage.begin(), usage.end(), option); it != std::sregex_iterator(); ++it) {
        const std::string name = it->str();
        const auto line = e.out.find("\n  " + name + " ");
        ASSERT_NE(line, std::string::npos) << name << " is not described";
        const std::string text = e.out.substr(line, e.out.find("\n  --", line + 1) - line);
        if (name != "--help") {
            EXPECT_NE(text.find("default"), std::string::npos) << text;
        }
        ++options;
    }
    EXPECT_GE(options, 12);
}

TEST(SimCommandLine, BadOptionsExitTwoWithUsage) {
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"--bogus"}, {"--port", "70000"}, {"--port"}, {"--seed", "x"},
          {"--bind", "not-an-address"}, {"--negotiate", "sometimes"}, {"--negotiate"}, {"--fail-delay", "-1"},
          {"--login-tries", "0"}, {"--max-connections", "0"}, {"--pieces", "0"}, {"--stations", "10"},
          {"--station-order", "2,1"}, {"--stations", "2", "--station-order", "1"}, {"--drop-rows", "101"},
          {"--device-type", "cisco"}, {"--device-types", "korvane"}, {"--aps", "2", "--device-types", "korvane,x"},
          {"--pager", "3"}, {"--aps", "2", "--device-type", "routeros", "--pager", "3"}, {"--noise", "none"},
          {"--chains", "5"}, {"--hostname", "a b"}, {"--wireless-package", "ax"}, {"--wireless-package", "wifi"}}) {
        const auto e = approbe::test::RunSim(args, kWait);
        EXPECT_EQ(e.code, 2) << args[0];
        EXPECT_NE(e.err.find("usage:"), std::string::npos) << e.err;
    }
}

TEST(SimCommandLine, PortInUseExitsOneWithOneLineNamingIt) {
    const approbe::test::Listener taken;
    const std::string port = std::to_string(taken.port());
    const auto e = approbe::test::RunSim({"--port", port}, kWait);
    EXPECT_EQ(e.code, 1);
    EXPECT_NE(e.err.find("127.0.0.1:" + port + ": address already in use\n"), std::string::npos) << e.err;
    EXPECT_EQ(std::count(e.err.begin(), e.err.end(), '\n'), 1) << e.err;
}

TEST(SimFleet, OneThreadServesHundredsOfAccessPointsEachWithItsOwnPortValuesAndDelay) {
    constexpr std::size_t kAps = 300;
    SimProcess sim({"--aps", std::to_string(kAps), "--seed", "11", "--reply-delay", "150", "--hold-values"});
    const std::vector<int> ports = sim.ports(kAps, kWait);
    ASSERT_EQ(ports.size(), kAps);
    EXPECT_EQ(std::set<int>(ports.begin(), ports.end()).size(), kAps) << "a port each";

    std::vector<std::unique_ptr<Client>> clients;
    for (const int port : ports) {
        clients.push_back(std::make_unique<Client>(port));
        login(*clients.back());
    }
    // Every access point answers a whole poll at once, after its own delay, with its own values.
    std::set<Values> seen;
    for (auto& c : clients) c->send("get station\r\nget nf\r\n");
    for (auto& c : clients) {
        std::string both = c->until("AP> ");
        both += c->until("AP> ");
        seen.insert({labelled(both, "Level:"), labelled(both, "Local RSSI level:"), labelled(both, "Remote RSSI level:")});
    }
    EXPECT_GT(seen.size(), kAps / 4) << "values of their own";
    EXPECT_EQ(seen.count({std::nullopt, std::nullopt, std::nullopt}), 0u);

    std::vector<long long> delays;
    for (std::size_t k = 0; k < 4; ++k) {
        for (int round = 0; round < 2; ++round) {
            const auto sent = Clock::now();
            clients[k]->send("get nf\r\n");
            clients[k]->until("AP> ");
            delays.push_back(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - sent).count());
        }
        EXPECT_LE(std::abs(delays[2 * k] - delays[2 * k + 1]), 40) << "access point " << k << " keeps its delay";
        EXPECT_LE(delays[2 * k], 150 + 40);
    }
    EXPECT_GT(*std::max_element(delays.begin(), delays.end()) - *std::min_element(delays.begin(), delays.end()), 20)
        << "delays of their own";
    std::ifstream status("/proc/" + std::to_string(sim.pid()) + "/status");
    std::string line;
    while (std::getline(status, line) && line.rfind("Threads:", 0) != 0) {
    }
    EXPECT_EQ(line, "Threads:\t1");
}

TEST(SimFleet, SaysOnSigusr1HowFarApartEachAccessPointsPollsCame) {
    SimProcess sim({"--aps", "2", "--seed", "5"});
    const std::vector<int> ports = sim.ports(2, kWait);
    ASSERT_EQ(ports.size(), 2u);
    Client a(ports[0]), b(ports[1]);
    login(a);
    login(b);
    // a: polls 300 ms apart, the commands of one poll 20 ms apart; the interval from its first
    // poll (which may be a type's setup) does not count. b: two polls, so none counts.
    const auto start = Clock::now();
    for (int k = 0; k < 3; ++k) {
        std::this_thread::sleep_until(start + k * 300ms);
        a.send("get station\r\n");
        a.until("AP> ");
        std::this_thread::sleep_for(20ms);
        a.send("get nf\r\n");
        a.until("AP> ");
        if (k < 2) {
            b.send("get nf\r\n");
            b.until("AP> ");
        }
    }
    ::kill(sim.pid(), SIGUSR1);
    const auto log = sim.waitLog("poll intervals: ", 0, kWait);
    ASSERT_TRUE(log);
    std::smatch m;
    ASSERT_TRUE(std::regex_search(*log, m, std::regex(R"(poll intervals: 1; ms: min ([0-9.]+), .*, max ([0-9.]+); more than 10 ms off the median: 0)")))
        << *log;
    EXPECT_EQ(m[1], m[2]);
    EXPECT_NEAR(std::stod(m[1]), 300, 40);
    // Each report starts afresh.
    ::kill(sim.pid(), SIGUSR1);
    EXPECT_TRUE(sim.waitLog("poll intervals: 0\n", log->size(), kWait));
}

TEST(SimFleet, TheLoginProgramDelaysWrongLoginsAndGivesUpAfterTheTries) {
    SimProcess sim({"--aps", "2", "--seed", "3", "--fail-delay", "200", "--login-tries", "2"});
    const std::vector<int> ports = sim.ports(2, kWait);
    ASSERT_EQ(ports.size(), 2u);
    Client c(ports[1]);
    c.until("login: ");
    const auto sent = Clock::now();
    c.send("admin\r");
    c.until("Password: ");
    c.send("wrong\r");
    c.until("Login incorrect\r\nlogin: ");
    EXPECT_GE(Clock::now() - sent, std::chrono::milliseconds(190)) << "after the failure delay";
    c.send("admin\r");
    c.until("Password: ");
    c.send("wrong\r");
    std::string rest;
    EXPECT_TRUE(c.ended(&rest)) << "closed after the second wrong login";
    EXPECT_NE(rest.find("Login incorrect"), std::string::npos) << rest;
    Client again(ports[1]);
    login(again);
}

namespace {

// How one kind of shell is polled, and where its levels stand in the replies.
struct Kind {
    std::string name;
    std::string user, prompt;  // who logs in, and how the prompt ends
    std::string poll;          // the commands of one poll in the order the client sends them
    std::regex noise, local, remote;
    bool hasRemote = true;
};

const std::vector<Kind>& kinds() {
    static const std::vector<Kind> all = {
        {"korvane", "admin", "AP> ", "get station\r\nget nf\r\n", std::regex("Noise Floor Level: (-\\d+)"),
         std::regex("Local RSSI level: (-\\d+)"), std::regex("Remote RSSI level: (-\\d+)")},
        {"linux-iw", "admin", ":~$ ", "iw dev wlan0 station dump\r\niw dev wlan0 survey dump\r\n",
         std::regex("\\[in use\\]\r\n\tnoise:\t+(-\\d+) dBm"), std::regex("\tsignal:  \t(-\\d+) \\[-\\d+, -\\d+\\] dBm"),
         std::regex("$^"), false},
        {"openwrt", "admin", ":~$ ", "iwinfo phy0-ap0 info\r\niwinfo phy0-ap0 assoclist\r\n",
         std::regex("Noise: (-\\d+) dBm"), std::regex("3C  (-\\d+) dBm / -\\d+ dBm"), std::regex("$^"), false},
        {"routeros", "admin+ct", "] > ",
         "/interface wireless monitor wlan1 once\r\n/interface wireless registration-table print stats without-paging\r\n",
         std::regex("noise-floor: (-\\d+)dBm"), std::regex(" signal-strength=(-\\d+)dBm@"),
         std::regex("tx-signal-strength=(-\\d+)dBm")},
        {"json-status", "admin", "cpe# ", "/usr/www/status.cgi\r\n", std::regex("\"noisef\":(-\\d+)"),
         std::regex("\"sta\":\\[\\{\"mac\":\"[0-9A-F:]+\",\"signal\":(-\\d+)"),
         std::regex("\"remote\":\\{\"signal\":(-\\d+)")},
    };
    return all;
}

std::optional<int> found(const std::string& text, const std::regex& where) {
    std::smatch m;
    if (!std::regex_search(text, m, where)) return std::nullopt;
    return std::stoi(m[1]);
}

// One poll sent at once; returns the replies and {noise, local, remote} as they give them.
std::pair<std::string, Values> pollAs(Client& c, const Kind& k) {
    c.send(k.poll);
    std::string text;
    for (std::size_t n = std::count(k.poll.begin(), k.poll.end(), '\n'); n > 0; --n) text += c.until(k.prompt);
    return {text, {found(text, k.noise), found(text, k.local), found(text, k.remote)}};
}

}  // namespace

// Each access point plays its kind's shell, with the values a korvane one of the same seed holds.
TEST(SimFleet, MixedTypesEachPlayTheirShellWithTheirSeedsValues) {
    constexpr std::size_t kAps = 10;
    SimProcess mixed({"--aps", std::to_string(kAps), "--seed", "21", "--hold-values", "--device-types",
                      "korvane,linux-iw,openwrt,routeros,json-status"});
    SimProcess plain({"--aps", std::to_string(kAps), "--seed", "21", "--hold-values"});
    const std::vector<int> ports = mixed.ports(kAps, kWait), plainPorts = plain.ports(kAps, kWait);
    ASSERT_EQ(ports.size(), kAps);
    ASSERT_EQ(plainPorts.size(), kAps);
    for (std::size_t ap = 0; ap < kAps; ++ap) {
        const Kind& kind = kinds()[ap % kinds().size()];
        SCOPED_TRACE(kind.name);
        Client reference(plainPorts[ap]);
        login(reference);
        Values expected = poll(reference);
        if (!kind.hasRemote) expected[2] = std::nullopt;

        Client c(ports[ap]);
        login(c, kind.user, "admin", kind.prompt);
        const auto [text, values] = pollAs(c, kind);
        EXPECT_EQ(values, expected) << text;
        if (kind.name != "korvane") {
            EXPECT_EQ(text.rfind(kind.poll.substr(0, kind.poll.find('\n') + 1), 0), 0u) << "the shell echoes the command: " << text;
        }
        EXPECT_EQ(text.find('\x1b'), std::string::npos) << "no colours: " << text;
        c.send(kind.name == "korvane" ? "q\r\n" : kind.name == "routeros" ? "/quit\r\n" : "exit\r\n");
        EXPECT_TRUE(c.ended());
    }
}

// routeros: colours unless the user name asks "+ct" (taken off the name); its pager holds a reply
// until a key typed after it answers: space the next page, Q none of the rest, D all of it.
TEST(SimDeviceTypes, RouterOsColoursUnlessCtAndPagesUntilAKeyAnswers) {
    SimProcess sim({"--device-type", "routeros", "--pager", "2", "--seed", "5"});
    const std::string table = "/interface wireless registration-table print stats without-paging\r\n";
    {
        Client c(sim.port());
        EXPECT_NE(login(c, "admin", "admin", "] > ").find("[\x1b[36madmin\x1b[m@\x1b[34mtower\x1b[m] > "), std::string::npos);
        c.send(table);
        EXPECT_NE(c.until("] > ").find("\x1b[33msignal-strength\x1b[m=-"), std::string::npos) << "coloured, not paged";
    }
    Client c(sim.port());
    EXPECT_EQ(login(c, "admin+ct", "admin", "] > ").find('\x1b'), std::string::npos);
    const std::string monitor = "/interface wireless monitor wlan1 once\r\n";
    c.send(monitor);
    const std::string page = c.until("-- [Q quit|D dump|down]");
    EXPECT_EQ(page, monitor + "                  status: running-ap\r\n                    band: 5ghz-a/n\r\n-- [Q quit|D dump|down]");
    EXPECT_TRUE(c.quietFor(100ms)) << "held until a key answers";
    c.send(" ");
    EXPECT_NE(c.until("-- [Q quit|D dump|down]").find("frequency: 5180MHz"), std::string::npos);
    c.send("Q");
    const std::string dropped = c.until("[admin@tower] > ");
    EXPECT_EQ(dropped.find("noise-floor"), std::string::npos) << dropped;
    // A line typed ahead is no key: it waits for the shell, and D shows the rest at once.
    c.send(monitor + table);
    c.until("-- [Q quit|D dump|down]");
    c.send("D");
    const std::string rest = c.until("[admin@tower] > ");
    EXPECT_NE(rest.find("noise-floor: -"), std::string::npos) << rest;
    EXPECT_EQ(rest.find("-- [Q"), std::string::npos) << rest;
    EXPECT_NE(c.until("[admin@tower] > ").find("tx-signal-strength=-"), std::string::npos);
    c.send("/quit\r\n");
    EXPECT_TRUE(c.ended());
}

// Walking values: each type's polls report what korvane's report for the same seed.
TEST(SimDeviceTypes, EachTypeWalksTheValuesKorvaneDoesForTheSameSeed) {
    const auto walked = [](const Kind& kind) {
        SimProcess sim({"--device-type", kind.name, "--seed", "77"});
        Client c(sim.port());
        login(c, kind.user, "admin", kind.prompt);
        Values all;
        for (int i = 0; i < 5; ++i)
            for (const auto v : pollAs(c, kind).second) all.push_back(v);
        return all;
    };
    const Values korvane = walked(kinds().front());
    ASSERT_EQ(std::count(korvane.begin(), korvane.end(), std::nullopt), 0);
    for (const Kind& kind : kinds()) {
        Values expected = korvane;
        for (std::size_t k = 2; !kind.hasRemote && k < expected.size(); k += 3) expected[k] = std::nullopt;
        EXPECT_EQ(walked(kind), expected) << kind.name;
    }
}
