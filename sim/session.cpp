#include "session.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <mutex>
#include <random>

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

constexpr unsigned char IAC = 255, SB = 250, SE = 240, WILL = 251, DONT = 254;
constexpr std::size_t kMaxLine = 4096;
constexpr int kSendStallMs = 30'000;  // a peer that takes nothing for this long is dropped
constexpr int kCloseDrainMs = 500;
const std::string kPrompt = "AP> ";

// Ways a connection ends; thrown from deep inside the dialogue.
struct CloseNow {};  // orderly FIN
struct ResetNow {};  // RST
struct Dropped {};   // peer gone or server stopping: just close

// Bounded random walk, independent per connection but identical for equal seeds.
class Walk {
public:
    explicit Walk(std::uint64_t seed) : rng_(seed) {
        nf_ = pick(-98, -88);
        local_ = pick(-70, -50);
        remote_ = pick(-70, -50);
    }
    int noise() { return nf_ = step(nf_, -100, -80); }
    std::pair<int, int> rssi() {
        local_ = step(local_, -90, -40);
        remote_ = step(remote_, -90, -40);
        return {local_, remote_};
    }
    std::array<int, 3> current() const { return {nf_, local_, remote_}; }

private:
    // Own mapping instead of std::uniform_int_distribution so values do not depend on the library.
    int pick(int lo, int hi) { return lo + static_cast<int>(rng_() % static_cast<std::uint64_t>(hi - lo + 1)); }
    int step(int v, int lo, int hi) { return std::clamp(v + pick(-3, 3), lo, hi); }
    std::mt19937_64 rng_;
    int nf_ = 0, local_ = 0, remote_ = 0;
};

std::string trimmed(const std::string& s) {
    const auto b = s.find_first_not_of(" \t");
    if (b == std::string::npos) return {};
    return s.substr(b, s.find_last_not_of(" \t") - b + 1);
}

class Conn {
public:
    Conn(int fd, int id, const Config& cfg, int stopFd) : fd_(fd), id_(id), cfg_(cfg), stopFd_(stopFd), walk_(cfg.seed) {}

    void run() {
        log("open");
        try {
            try {
                if (cfg_.negotiate) out("\xff\xfb\x01\xff\xfb\x03\xff\xfd\x18\xff\xfd\x1f");
                if (cfg_.script) runScript(*cfg_.script);
                else defaultDialogue();
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
        log("closed");
    }

private:
    void log(const std::string& what) const {
        if (cfg_.verbose) logLine("[conn " + std::to_string(id_) + "] " + what);
    }

    // ---- input ----

    // Appends at least one received byte to in_. End of input closes the connection.
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

    // Length of the telnet command at in_[i] (IAC ...), 0 if it is not complete yet.
    std::size_t commandLength(std::size_t i) const {
        if (i + 1 >= in_.size()) return 0;
        const auto cmd = static_cast<unsigned char>(in_[i + 1]);
        if (cmd >= WILL && cmd <= DONT) return i + 2 < in_.size() ? 3 : 0;
        if (cmd == SB) {
            for (std::size_t k = i + 2; k + 1 < in_.size(); ++k)
                if (static_cast<unsigned char>(in_[k]) == IAC && static_cast<unsigned char>(in_[k + 1]) == SE)
                    return k + 2 - i;
            return 0;
        }
        return 2;
    }

    // Next line ended by CR, LF or CRLF (also CR NUL), telnet commands removed.
    std::string line() {
        std::string l;
        for (;;) {
            std::size_t i = 0;
            while (i < in_.size()) {
                const auto c = static_cast<unsigned char>(in_[i]);
                if (afterCR_ && (c == '\n' || c == '\0')) {
                    afterCR_ = false;
                    ++i;
                    continue;
                }
                afterCR_ = false;
                if (c == IAC) {
                    const std::size_t n = commandLength(i);
                    if (n == 0) break;
                    if (n == 2 && static_cast<unsigned char>(in_[i + 1]) == IAC) l += in_[i];  // escaped 255
                    i += n;
                    continue;
                }
                if (c == '\r' || c == '\n') {
                    afterCR_ = c == '\r';
                    in_.erase(0, i + 1);
                    return l;
                }
                if (l.size() >= kMaxLine) {  // garbage without line ends: cut it into lines
                    in_.erase(0, i);
                    return l;
                }
                l += in_[i++];
            }
            in_.erase(0, i);
            if (in_.size() > kMaxLine) in_.clear();  // an endless telnet subnegotiation: drop it
            fill();
        }
    }

    // Waits until the input holds text; consumes through it.
    void expect(const std::string& text) {
        for (;;) {
            const auto at = in_.find(text);
            if (at != std::string::npos) {
                in_.erase(0, at + text.size());
                afterCR_ = text.back() == '\r';
                return;
            }
            // Only a partial match at the tail can still matter.
            if (in_.size() >= text.size()) in_.erase(0, in_.size() - text.size() + 1);
            fill();
        }
    }

    // ---- output ----

    void out(const std::string& data) {
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
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
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

    // ---- dialogue ----

    void defaultDialogue() {
        out("\r\napprobe-sim access point shell\r\n\r\n");
        login();
        shell();
    }

    void login() {
        std::string prompt = "login: ";
        for (;;) {
            out(prompt);
            prompt = "login: ";
            const std::string user = trimmed(line());
            if (user.empty()) continue;
            out("Password: ");
            const std::string password = line();
            if (user == cfg_.user && password == cfg_.password) break;
            prompt = "\r\nLogin incorrect\r\nlogin: ";  // one write: Nagle would delay a second one
        }
        out("\r\n" + kPrompt);
    }

    // Next non-empty command; empty lines reprint the prompt when asked to.
    std::string command(bool promptOnEmpty) {
        for (;;) {
            std::string cmd = trimmed(line());
            if (!cmd.empty()) {
                if (cmd == "q" || cmd == "quit") throw CloseNow{};
                return cmd;
            }
            if (promptOnEmpty) out(kPrompt);
        }
    }

    // Reply and prompt go out as one write, as a real shell's would.
    void answer(const std::string& cmd) {
        std::string reply;
        if (cmd == "get station") {
            const auto [local, remote] = fixed_ ? std::pair((*fixed_)[1], (*fixed_)[2]) : walk_.rssi();
            reply = "Station table\r\n"
                    "  ID  MAC address        Rate   Signal\r\n"
                    "  1   00:0c:42:1a:2b:3c  54M    Local RSSI level: " + std::to_string(local) +
                    " dBm  Remote RSSI level: " + std::to_string(remote) + " dBm\r\n";
        } else if (cmd == "get nf") {
            const int nf = fixed_ ? (*fixed_)[0] : walk_.noise();
            reply = "Noise Floor Level: " + std::to_string(nf) + " dBm\r\n";
        } else {
            reply = "Error: unknown command\r\n";
        }
        out(reply + kPrompt);
    }

    [[noreturn]] void shell() {
        for (;;) answer(command(true));
    }

    void flood(long long total) {
        const auto v = fixed_ ? *fixed_ : walk_.current();
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
                fixed_ = {static_cast<int>(s.num[0]), static_cast<int>(s.num[1]), static_cast<int>(s.num[2])};
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
            }
        }
    }

    int fd_;
    int id_;
    const Config& cfg_;
    int stopFd_;
    Walk walk_;
    std::optional<std::array<int, 3>> fixed_;  // set by the script's values
    std::string in_;                          // received, not consumed yet
    bool eof_ = false;
    bool afterCR_ = false;  // a LF or NUL right after CR belongs to the previous line
    bool bytewise_ = false;
};

}  // namespace

void serveConnection(int fd, int id, const Config& cfg, int stopFd) {
    Conn(fd, id, cfg, stopFd).run();
}

}  // namespace sim
