#include "session.h"

#include "replies.h"
#include "telnet_input.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <arpa/inet.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <ctime>
#include <mutex>
#include <random>
#include <set>
#include <utility>

namespace sim {

void logLine(const std::string& line) {
    static std::mutex mu;
    const std::string text = line + "\n";
    std::lock_guard lock(mu);
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(STDERR_FILENO, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;  // stderr gone: logging is best effort
        done += static_cast<std::size_t>(n);
    }
}

namespace {

constexpr unsigned char kEcho = 1;
constexpr int kSendStallMs = 30'000;  // a peer that takes nothing for this long is dropped
constexpr int kCloseDrainMs = 500;

// An option request as sent: the verb (WILL or DO) and the option.
using Offer = std::pair<unsigned char, unsigned char>;
// What busybox's telnetd opens with: DO ECHO, DO NAWS, WILL ECHO, WILL SGA.
const std::vector<Offer> kEagerOffers = {{DO, 1}, {DO, 0x1f}, {WILL, kEcho}, {WILL, 3}};
// inetutils' telnetd: three rounds, each answered in full before the next; the last holds
// DO TRANSMIT-BINARY, whose option byte is zero.
const std::vector<std::vector<Offer>> kStrictRounds = {
    {{WILL, 0x25}, {WILL, 0x26}, {DO, 0x18}, {DO, 0x20}, {DO, 0x23}, {DO, 0x27}, {DO, 0x24}},
    {{WILL, 3}, {DO, 1}, {DO, 0x22}, {DO, 0x1f}, {WILL, 5}, {DO, 0x21}},
    {{WILL, kEcho}, {DO, 6}, {DO, 0}},
};
// ... and it offers SGA and ECHO again in the block that holds the login prompt.
const std::vector<Offer> kStrictPromptOffers = {{WILL, 3}, {WILL, kEcho}};

// Successful logins of this process, for the login program's "Last login:" line.
class LoginHistory {
public:
    // "DATE from HOST" for a login now, in the login program's date format.
    static std::string now(const std::string& host) {
        const std::time_t t = std::time(nullptr);
        std::tm tm{};
        ::gmtime_r(&t, &tm);
        char date[64];
        std::strftime(date, sizeof date, "%a %b %e %H:%M:%S UTC %Y", &tm);
        return std::string(date) + " from " + host;
    }
    // Records a login now from host; returns the one before it, if any.
    std::optional<std::string> record(const std::string& host) {
        std::string entry = now(host);
        std::lock_guard lock(mu_);
        return std::exchange(last_, std::move(entry));
    }

private:
    std::mutex mu_;
    std::optional<std::string> last_;
};
LoginHistory loginHistory;

// The peer's address as text, "unknown" if there is none.
std::string peerHost(int fd) {
    sockaddr_storage sa{};
    socklen_t len = sizeof sa;
    char text[INET6_ADDRSTRLEN] = "unknown";
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&sa), &len) == 0) {
        const void* raw = sa.ss_family == AF_INET6
                              ? static_cast<const void*>(&reinterpret_cast<sockaddr_in6*>(&sa)->sin6_addr)
                              : static_cast<const void*>(&reinterpret_cast<sockaddr_in*>(&sa)->sin_addr);
        ::inet_ntop(sa.ss_family, raw, text, sizeof text);
    }
    return text;
}

// Ways a connection ends; thrown from deep inside the dialogue.
struct CloseNow {};  // orderly FIN
struct ResetNow {};  // RST
struct Dropped {};   // peer gone or server stopping: just close

class Conn {
public:
    Conn(int fd, int id, const Config& cfg, int stopFd)
        : fd_(fd), id_(id), cfg_(cfg), stopFd_(stopFd), shell_(cfg.seed, cfg.reply, cfg.device), echo_(shell_.echoes()), failDelayMs_(cfg.failDelayMs),
          loginTries_(cfg.loginTries), lastLogin_(cfg.script ? LastLogin::Off : LastLogin::Auto) {}

    void run() {
        log("open");
        try {
            try {
                if (cfg_.script) {
                    out(opening(cfg_.negotiate));
                    runScript(*cfg_.script);
                } else {
                    defaultDialogue();
                }
                throw CloseNow{};
            } catch (const CloseNow&) {
                closeOrderly();
            } catch (const ResetNow&) {
                const linger lg{1, 0};
                ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
            }
        } catch (...) {
            // Dropped, or out of memory on a hostile peer: this connection just ends.
        }
        ::close(fd_);
    }

private:
    void log(const std::string& what) const {
        if (cfg_.verbose) logLine("[conn " + std::to_string(id_) + "] " + what);
    }

    // ---- input ----

    // Appends at least one received byte to the input. End of input closes the connection.
    void fill() {
        char buf[4096];
        for (;;) {
            pollfd p[2] = {{fd_, POLLIN, 0}, {stopFd_, POLLIN, 0}};
            if (::poll(p, 2, -1) < 0) {
                if (errno == EINTR) continue;
                throw Dropped{};
            }
            if (p[1].revents) throw Dropped{};
            const ssize_t n = ::recv(fd_, buf, sizeof buf, MSG_DONTWAIT);
            if (n > 0) {
                logReceived(buf, n);
                in_.append(buf, static_cast<std::size_t>(n));
                return;
            }
            if (n == 0) {
                eof_ = true;
                throw CloseNow{};
            }
            if (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) throw Dropped{};
        }
    }

    void logReceived(const char* data, ssize_t n) const {
        if (cfg_.verbose) log("recv \"" + escapeBytes({data, static_cast<std::size_t>(n)}) + "\"");
    }

    // Next line ended by CR, LF or CRLF (also CR NUL), telnet commands removed.
    std::string line() {
        for (;;) {
            std::string l;
            if (in_.line(l)) return l;
            fill();
        }
    }

    // The peer's answer (or request) verb for option opt: settles our offer of it.
    void answered(unsigned char verb, unsigned char opt) {
        asked_.erase({verb == WILL || verb == WONT ? DO : WILL, opt});
        if (opt == kEcho && verb == DONT) echo_ = false;
    }

    // Waits until every option offered so far has been answered; typed-ahead data stays.
    void awaitAnswers() {
        for (;;) {
            in_.takeCommands();
            if (asked_.empty()) return;
            in_.dropIfOverlong();
            fill();
        }
    }

    // Waits until the input holds text; consumes through it.
    void expect(const std::string& text) {
        while (!in_.consumeThrough(text)) fill();
    }

    // ---- output ----

    // Sends data, after any echo of what was typed since the last output.
    void out(std::string data) {
        if (!echoed_.empty()) data = std::exchange(echoed_, {}) + data;
        if (!bytewise_) {
            writeAll(data.data(), data.size());
            return;
        }
        for (const char& c : data) {
            writeAll(&c, 1);
            pause(1);
        }
    }

    void writeAll(const char* data, std::size_t size) {
        std::size_t done = 0;
        while (done < size) {
            pollfd p[2] = {{fd_, POLLOUT, 0}, {stopFd_, POLLIN, 0}};
            const int r = ::poll(p, 2, kSendStallMs);
            if (r < 0 && errno == EINTR) continue;
            if (r <= 0 || p[1].revents) throw Dropped{};
            const ssize_t n = ::send(fd_, data + done, size - done, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n < 0) {
                if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
                throw Dropped{};
            }
            done += static_cast<std::size_t>(n);
        }
    }

    // Sleeps, but wakes at once when the server stops.
    void pause(long long ms) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        for (;;) {
            // Rounded up: poll's whole milliseconds would otherwise end the pause early.
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) return;
            pollfd p{stopFd_, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(std::min<long long>(left.count(), 60'000))) > 0) throw Dropped{};
        }
    }

    // ---- endings ----

    void closeOrderly() {
        ::shutdown(fd_, SHUT_WR);
        // Closing with unread input would send RST and could discard our last output.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kCloseDrainMs);
        char buf[4096];
        while (!eof_) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) return;
            pollfd p[2] = {{fd_, POLLIN, 0}, {stopFd_, POLLIN, 0}};
            const int r = ::poll(p, 2, static_cast<int>(left.count()));
            if (r < 0 && errno == EINTR) continue;
            if (r <= 0 || p[1].revents) return;
            const ssize_t n = ::recv(fd_, buf, sizeof buf, MSG_DONTWAIT);
            if (n > 0) logReceived(buf, n);
            else if (n == 0) eof_ = true;
            else if (errno != EINTR && errno != EAGAIN) return;
        }
    }

    // Sends nothing, discards input, survives the peer's half close; ends on error or stop.
    [[noreturn]] void silent() {
        char buf[4096];
        for (;;) {
            pollfd p[2] = {{fd_, static_cast<short>(eof_ ? 0 : POLLIN), 0}, {stopFd_, POLLIN, 0}};
            if (::poll(p, 2, -1) < 0) {
                if (errno == EINTR) continue;
                throw Dropped{};
            }
            if (p[1].revents || (p[0].revents & (POLLERR | POLLHUP | POLLNVAL))) throw Dropped{};
            if (eof_ || !(p[0].revents & POLLIN)) continue;
            const ssize_t n = ::recv(fd_, buf, sizeof buf, MSG_DONTWAIT);
            if (n > 0) logReceived(buf, n);
            else if (n == 0) eof_ = true;
            else if (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) throw Dropped{};
        }
    }

    // ---- telnet options ----

    // The bytes of offers; a WILL ECHO claims the echo from here on.
    std::string offer(const std::vector<Offer>& offers) {
        std::string bytes;
        for (const auto& [verb, opt] : offers) {
            bytes += {static_cast<char>(IAC), static_cast<char>(verb), static_cast<char>(opt)};
            if (verb != WILL && verb != DO) continue;
            asked_.insert({verb, opt});
            if (verb == WILL && opt == kEcho) echo_ = true;
        }
        return bytes;
    }

    // What the connection opens with; strict mode sends its rounds and awaits their answers
    // here, and returns what goes into the block with the login prompt.
    std::string opening(Negotiation mode) {
        switch (mode) {
        case Negotiation::None: return {};
        case Negotiation::Eager: return offer(kEagerOffers);
        case Negotiation::Strict:
            for (const auto& round : kStrictRounds) {
                out(offer(round));
                awaitAnswers();
            }
            return offer(kStrictPromptOffers);
        }
        return {};
    }

    // A line as typed, echoed when the echo is on; the password is read with echo off.
    std::string typed(bool echo = true) {
        std::string l = line();
        if (echo && echo_) echoed_ += l + "\r\n";
        return l;
    }

    // ---- dialogue ----

    void defaultDialogue() {
        login(opening(cfg_.negotiate) + std::string(shell_.banner()));
        shell();
    }

    // A login program: wrong logins are answered after a delay, and after so many it gives up.
    // Input typed ahead is read as the next answer, whatever prompt it was meant for.
    void login(const std::string& head = {}) {
        std::string prompt = head + shell_.loginPrompt();
        std::string user;
        for (long long failed = 0;;) {
            out(prompt);
            prompt = shell_.loginPrompt();
            const std::string typedUser = std::string(trim(typed()));
            if (typedUser.empty()) continue;
            user = shell_.user(typedUser);
            out("Password: ");
            const std::string password = typed(false);
            if (user == cfg_.user && password == cfg_.password) break;
            pause(failDelayMs_);
            if (++failed >= loginTries_) {
                log("login: gave up after " + std::to_string(failed) + " wrong logins");
                out("\r\n" + std::string(shell_.loginFailed()) + "\r\n");
                throw CloseNow{};
            }
            // One write: Nagle would delay a second one.
            prompt = "\r\n" + std::string(shell_.loginFailed()) + "\r\n" + shell_.loginPrompt();
        }
        const std::string host = peerHost(fd_);
        const auto previous = loginHistory.record(host);
        std::string last;
        if (lastLogin_ == LastLogin::On || (lastLogin_ == LastLogin::Auto && previous && shell_.tellsLastLogin()))
            last = "Last login: " + previous.value_or(LoginHistory::now(host)) + "\r\n";
        out("\r\n" + last + shell_.welcome(user) + shell_.prompt());
    }

    // Next non-empty command; empty lines reprint the prompt when asked to.
    std::string command(bool promptOnEmpty) {
        for (;;) {
            std::string cmd = std::string(trim(typed()));
            if (!cmd.empty()) {
                if (shell_.farewell(cmd)) throw CloseNow{};
                return cmd;
            }
            if (promptOnEmpty) out(shell_.prompt());
        }
    }

    // Reply and prompt go out as one write, as a real shell's would; or in pieces cut where a
    // reader that takes a piece for the whole reply goes wrong.
    void answer(const std::string& cmd) {
        Reply r;
        shell_.answer(cmd, r);
        if (const long long lines = shell_.pagerLines(cmd); lines > 0) {
            paged(r.text, static_cast<std::size_t>(lines));
            return;
        }
        const ReplyShape& shape = shell_.shape();
        if (shape.pieces <= 1) {
            out(r.text);
            return;
        }
        const int on = 1;  // each piece its own segment: Nagle would hold one back for the ACK
        ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        const auto pieces = r.pieces(static_cast<std::size_t>(shape.pieces));
        for (std::size_t k = 0; k < pieces.size(); ++k) {
            if (k > 0) pause(shape.pieceGapMs);
            out(pieces[k]);
        }
    }

    // A reply a page of lines at a time, each page held at the pager until a key answers it:
    // D shows the rest at once, Q drops it, any other key the next page. The key is what is
    // typed after the pager asks; lines typed ahead wait for the shell.
    void paged(const std::string& text, std::size_t lines) {
        const std::size_t body = text.size() - shell_.prompt().size();
        std::size_t at = 0;
        std::string head;
        in_.setAside();
        for (;;) {
            std::size_t end = at;
            for (std::size_t n = 0; n < lines && end < body; ++n) end = std::min(text.find('\n', end), body - 1) + 1;
            if (end >= body) break;
            out(head + text.substr(at, end - at) + std::string(Shell::kPagerPrompt));
            head = "\r\n";  // the pager's line ends once it is answered
            const char key = pagerKey();
            at = end;
            if (key == 'q' || key == 'Q') at = body;
            if (key == 'd' || key == 'D') break;
        }
        in_.takeBack();
        out(head + text.substr(at));
    }

    char pagerKey() {
        for (;;) {
            if (const auto k = in_.key()) return *k;
            fill();
        }
    }

    [[noreturn]] void shell() {
        for (;;) answer(command(true));
    }

    void flood(long long total) {
        if (!echoed_.empty()) out({});
        const auto v = shell_.current();
        const std::string lineText = "Level: " + std::to_string(v[0]) + " Local RSSI level: " + std::to_string(v[1]) +
                                     " Remote RSSI level: " + std::to_string(v[2]) + "\r\n";
        std::string chunk;
        while (chunk.size() < 65536) chunk += lineText;
        auto left = static_cast<std::size_t>(total);
        while (left > 0) {
            const std::size_t n = std::min(left, chunk.size());
            writeAll(chunk.data(), n);
            left -= n;
        }
    }

    void runScript(const std::vector<Step>& steps) {
        for (const Step& s : steps) {
            switch (s.op) {
            case Op::Send: out(s.text); break;
            case Op::Expect: expect(s.text); break;
            case Op::Login: login(); break;
            case Op::Values:
                shell_.fix({static_cast<int>(s.num[0]), static_cast<int>(s.num[1]), static_cast<int>(s.num[2])});
                break;
            case Op::Reply:
                command(false);
                out(s.text);
                break;
            case Op::Replies:
                for (long long k = 0; k < s.num[0]; ++k) answer(command(true));
                break;
            case Op::Shell: shell();
            case Op::Sleep: pause(s.num[0]); break;
            case Op::Close: throw CloseNow{};
            case Op::Reset: throw ResetNow{};
            case Op::Silent: silent();
            case Op::Bytewise: {
                bytewise_ = s.num[0] != 0;
                const int on = bytewise_ ? 1 : 0;
                ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
                break;
            }
            case Op::Flood: flood(s.num[0]); break;
            case Op::Negotiate: out(opening(static_cast<Negotiation>(s.num[0]))); break;
            case Op::Echo:
                out(offer({{static_cast<unsigned char>(s.num[0] ? WILL : WONT), kEcho}}));
                echo_ = s.num[0] != 0;
                if (!echo_) asked_.erase({WILL, kEcho});  // withdrawn: no answer is awaited
                break;
            case Op::FailDelay: failDelayMs_ = s.num[0]; break;
            case Op::Tries: loginTries_ = s.num[0]; break;
            case Op::LastLogin: lastLogin_ = s.num[0] ? LastLogin::On : LastLogin::Off; break;
            case Op::Pieces:
                shell_.shape().pieces = s.num[0];
                shell_.shape().pieceGapMs = s.num[1];
                break;
            case Op::Stations: shell_.shape().stations = s.order; break;
            case Op::DropRows: shell_.shape().dropRowsPercent = s.num[0]; break;
            }
        }
    }

    int fd_;
    int id_;
    const Config& cfg_;
    int stopFd_;
    Shell shell_;
    TelnetInput in_{[this](unsigned char verb, unsigned char opt) { answered(verb, opt); }};
    bool eof_ = false;
    bool bytewise_ = false;
    std::set<Offer> asked_;  // offers not answered yet
    bool echo_;              // the shell's own or claimed (WILL ECHO), and not refused
    std::string echoed_;     // typed text to echo with the next output
    long long failDelayMs_;
    long long loginTries_;
    // Auto: after every login of this process but the first (the default dialogue); a script
    // says on or off, so that its dialogue does not depend on the sessions before it.
    enum class LastLogin { Auto, On, Off } lastLogin_;
};

}  // namespace

void serveConnection(int fd, int id, const Config& cfg, int stopFd) {
    Conn(fd, id, cfg, stopFd).run();
}

}  // namespace sim
