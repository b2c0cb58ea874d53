#include "fleet.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <chrono>
#include <memory>
#include <queue>
#include <random>
#include <string>

#include "poll_intervals.h"
#include "replies.h"
#include "telnet_input.h"

namespace sim {
namespace {

using Clock = std::chrono::steady_clock;

struct Ap {
    int listenFd = -1;
    const Device* device = nullptr;
    std::uint64_t seed = 0;
    std::chrono::milliseconds delay{0};
    std::size_t open = 0;
};

// One client of one access point: the login program, then the shell, as the default dialogue.
struct Conn {
    Conn(std::size_t apIndex, int connId, std::uint64_t seed, const ReplyShape& shape, const Device& device)
        : ap(apIndex), id(connId), shell(seed, shape, device) {}

    std::size_t ap;
    int id;
    std::uint64_t serial = 0;  // tells a timer meant for an earlier connection on the same descriptor
    Shell shell;
    TelnetInput in{[](unsigned char, unsigned char) {}};  // no options are offered, so none are awaited
    enum class Stage { User, Password, Shell } stage = Stage::User;
    std::string user;
    long long failed = 0;
    std::string out;             // waiting for the socket to take it
    std::string held;            // answers waiting for the access point's delay
    Clock::time_point busyUntil;  // no input is read before (a delay running)
    Clock::time_point pollAt;    // when the latest poll began (see PollIntervals)
    Clock::time_point arrivedAt;  // when the kernel took the latest input in
    std::uint64_t polls = 0;
    bool closing = false;        // close once out is sent
    bool wantWrite = false;
};

struct Timer {
    Clock::time_point at;
    int fd;
    std::uint64_t serial;
    bool operator>(const Timer& o) const { return at > o.at; }
};

class Fleet {
public:
    Fleet(const std::vector<int>& listeners, const Config& cfg, const FleetOptions& opts, int stopFd)
        : cfg_(cfg), opts_(opts), stopFd_(stopFd) {
        for (const DeviceKind kind : opts.kinds) {
            devices_.push_back(cfg.device);
            devices_.back().kind = kind;
        }
        if (devices_.empty()) devices_.push_back(cfg.device);
        std::mt19937_64 delays(cfg.seed ^ 0x5851f42d4c957f2du);
        for (std::size_t k = 0; k < listeners.size(); ++k) {
            Ap ap;
            ap.listenFd = listeners[k];
            ::fcntl(ap.listenFd, F_SETFL, ::fcntl(ap.listenFd, F_GETFL) | O_NONBLOCK);
            ap.seed = cfg.seed + k;
            ap.device = &devices_[k % devices_.size()];
            const auto spread = static_cast<std::uint64_t>(opts.replyDelayMaxMs) + 1;
            ap.delay = std::chrono::milliseconds(opts.replyDelayMaxMs ? static_cast<long long>(delays() % spread) : 0);
            aps_.push_back(ap);
        }
    }

    int run() {
        ep_ = ::epoll_create1(EPOLL_CLOEXEC);
        if (ep_ < 0) return 1;
        watch(stopFd_, kStop);
        // SIGUSR1 asks for the poll intervals seen since the last time it asked.
        sigset_t usr1;
        sigemptyset(&usr1);
        sigaddset(&usr1, SIGUSR1);
        ::sigprocmask(SIG_BLOCK, &usr1, nullptr);
        report_ = ::signalfd(-1, &usr1, SFD_NONBLOCK | SFD_CLOEXEC);
        watch(report_, kReport);
        for (std::size_t k = 0; k < aps_.size(); ++k) watch(aps_[k].listenFd, kListen | k);
        epoll_event events[256];
        for (;;) {
            int timeout = -1;
            if (!timers_.empty()) {
                const auto left = std::chrono::ceil<std::chrono::milliseconds>(timers_.top().at - Clock::now());
                timeout = static_cast<int>(std::max<long long>(0, left.count()));
            }
            const int n = ::epoll_wait(ep_, events, 256, timeout);
            if (n < 0 && errno != EINTR) break;
            for (int e = 0; e < n; ++e) {
                const std::uint64_t tag = events[e].data.u64;
                if (tag == kStop) return finish();
                if (tag == kReport) {
                    signalfd_siginfo info;
                    while (::read(report_, &info, sizeof info) == sizeof info) logLine(intervals_.take());
                    continue;
                }
                if (tag & kListen) accept(static_cast<std::size_t>(tag & ~kListen));
                else event(static_cast<int>(tag), events[e].events);
            }
            fireTimers();
        }
        return finish();
    }

private:
    static constexpr std::uint64_t kStop = 1ull << 62, kListen = 1ull << 61, kReport = kStop + 1;

    void watch(int fd, std::uint64_t tag, std::uint32_t events = EPOLLIN) {
        epoll_event ev{};
        ev.events = events;
        ev.data.u64 = tag;
        ::epoll_ctl(ep_, EPOLL_CTL_ADD, fd, &ev);
    }

    void log(const Conn& c, const std::string& what) const {
        if (cfg_.verbose) logLine("[conn " + std::to_string(c.id) + "] " + what);
    }

    void accept(std::size_t k) {
        Ap& ap = aps_[k];
        for (;;) {
            const int fd = ::accept4(ap.listenFd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
            if (fd < 0) return;  // none left, or out of descriptors for now
            if (ap.open >= opts_.maxConnections) {
                ::close(fd);
                continue;
            }
            if (conns_.size() <= static_cast<std::size_t>(fd)) conns_.resize(static_cast<std::size_t>(fd) + 1);
            // The kernel stamps each segment as it arrives, so the poll intervals are the poller's
            // send times, not this thread's lateness in reading among thousands of connections.
            const int on = 1;
            ::setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
            auto c = std::make_unique<Conn>(k, nextId_++, ap.seed, cfg_.reply, *ap.device);
            c->serial = ++serials_;
            if (opts_.hold) c->shell.hold();
            ++ap.open;
            log(*c, "open");
            c->out.assign(c->shell.banner()).append(c->shell.loginPrompt());
            conns_[static_cast<std::size_t>(fd)] = std::move(c);
            watch(fd, static_cast<std::uint64_t>(fd));
            flush(fd);
        }
    }

    void event(int fd, std::uint32_t events) {
        Conn* c = conns_[static_cast<std::size_t>(fd)].get();
        if (!c) return;
        if (events & EPOLLOUT) {
            if (!flush(fd)) return;
        }
        if (!(events & (EPOLLIN | EPOLLHUP | EPOLLERR))) return;
        char buf[4096];
        iovec iov{buf, sizeof buf};
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timespec))];
        msghdr msg{};
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        msg.msg_control = control;
        msg.msg_controllen = sizeof control;
        const ssize_t n = ::recvmsg(fd, &msg, 0);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
            close(fd);
            return;
        }
        if (n < 0) return;
        if (cfg_.verbose) log(*c, "recv \"" + escapeBytes({buf, static_cast<std::size_t>(n)}) + "\"");
        c->arrivedAt = arrival(msg);
        c->in.append(buf, static_cast<std::size_t>(n));
        if (Clock::now() >= c->busyUntil) take(fd);
    }

    // When the kernel took the input in (its stamp is wall-clock time), on this loop's clock; now
    // if it gave no stamp.
    static Clock::time_point arrival(msghdr& msg) {
        using std::chrono::duration_cast;
        const auto now = Clock::now();
        for (cmsghdr* cm = CMSG_FIRSTHDR(&msg); cm; cm = CMSG_NXTHDR(&msg, cm)) {
            if (cm->cmsg_level != SOL_SOCKET || cm->cmsg_type != SCM_TIMESTAMPNS) continue;
            timespec stamp;
            std::memcpy(&stamp, CMSG_DATA(cm), sizeof stamp);
            const std::chrono::nanoseconds stamped = std::chrono::seconds(stamp.tv_sec) + std::chrono::nanoseconds(stamp.tv_nsec);
            const auto waited = std::chrono::system_clock::now().time_since_epoch() - stamped;
            return waited > waited.zero() ? now - duration_cast<Clock::duration>(waited) : now;
        }
        return now;
    }

    // Answers every whole line in the input, as one write, unless a delay holds it. The buffers
    // are the fleet's and the connection's, reused: a poll allocates nothing.
    void take(int fd) {
        Conn& c = *conns_[static_cast<std::size_t>(fd)];
        const Ap& ap = aps_[c.ap];
        answers_.clear();
        bool commands = false;  // only the shell's answers wait for the access point's delay
        while (!c.closing && Clock::now() >= c.busyUntil) {
            if (!c.in.line(line_)) break;
            const std::string_view text = trim(line_);
            if (c.shell.echoes() && c.stage != Conn::Stage::Password) answers_.append(line_).append("\r\n");
            switch (c.stage) {
            case Conn::Stage::User:
                if (text.empty()) {
                    answers_ += c.shell.loginPrompt();
                    break;
                }
                c.user = c.shell.user(text);
                c.stage = Conn::Stage::Password;
                answers_ += "Password: ";
                break;
            case Conn::Stage::Password:
                if (c.user == cfg_.user && line_ == cfg_.password) {
                    c.stage = Conn::Stage::Shell;
                    answers_.append("\r\n").append(c.shell.welcome(c.user)).append(c.shell.prompt());
                    break;
                }
                c.stage = Conn::Stage::User;
                answers_.append("\r\n").append(c.shell.loginFailed()).append("\r\n");
                if (++c.failed >= cfg_.loginTries) c.closing = true;
                else answers_ += c.shell.loginPrompt();
                hold(fd, c, std::chrono::milliseconds(cfg_.failDelayMs));
                return;
            case Conn::Stage::Shell:
                if (c.shell.farewell(text)) {
                    c.closing = true;
                    break;
                }
                if (text.empty()) {
                    answers_ += c.shell.prompt();
                } else {
                    reply_.clear();
                    c.shell.answer(text, reply_);
                    answers_ += reply_.text;
                }
                commands = true;
                break;
            }
        }
        if (commands) intervals_.commands(c.arrivedAt, c.pollAt, c.polls);
        if (commands && ap.delay.count() > 0) {
            hold(fd, c, ap.delay);
            return;
        }
        c.out += answers_;
        flush(fd);
    }

    // Sends text after delay; input waits until then.
    void hold(int fd, Conn& c, std::chrono::milliseconds delay) {
        c.held.assign(answers_);
        c.busyUntil = Clock::now() + delay;
        timers_.push({c.busyUntil, fd, c.serial});
    }

    void fireTimers() {
        const auto now = Clock::now();
        while (!timers_.empty() && timers_.top().at <= now) {
            const Timer t = timers_.top();
            timers_.pop();
            Conn* c = conns_[static_cast<std::size_t>(t.fd)].get();
            if (!c || c->serial != t.serial) continue;
            c->out += c->held;
            c->held.clear();
            if (flush(t.fd)) take(t.fd);
        }
    }

    // Sends what is waiting; false if the connection ended.
    bool flush(int fd) {
        Conn& c = *conns_[static_cast<std::size_t>(fd)];
        while (!c.out.empty()) {
            const ssize_t n = ::send(fd, c.out.data(), c.out.size(), MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && errno != EAGAIN) {
                close(fd);
                return false;
            }
            if (n < 0) break;
            c.out.erase(0, static_cast<std::size_t>(n));
        }
        const bool wantWrite = !c.out.empty();
        if (wantWrite != c.wantWrite) {
            c.wantWrite = wantWrite;
            epoll_event ev{};
            ev.events = EPOLLIN | (wantWrite ? EPOLLOUT : 0u);
            ev.data.u64 = static_cast<std::uint64_t>(fd);
            ::epoll_ctl(ep_, EPOLL_CTL_MOD, fd, &ev);
        }
        if (c.closing && c.out.empty() && c.held.empty()) {
            close(fd);
            return false;
        }
        return true;
    }

    void close(int fd) {
        auto& slot = conns_[static_cast<std::size_t>(fd)];
        --aps_[slot->ap].open;
        ::close(fd);  // leaves the epoll set with it
        if (cfg_.verbose) logLine("[conn " + std::to_string(slot->id) + "] closed");
        slot.reset();
    }

    int finish() {
        for (std::size_t fd = 0; fd < conns_.size(); ++fd)
            if (conns_[fd]) close(static_cast<int>(fd));
        ::close(ep_);
        ::close(report_);
        return 0;
    }

    const Config& cfg_;
    const FleetOptions opts_;
    int stopFd_;
    int ep_ = -1;
    int report_ = -1;  // SIGUSR1's signalfd
    std::vector<Device> devices_;  // one per kind listed; access point k plays devices_[k % size]
    std::vector<Ap> aps_;
    PollIntervals intervals_;
    std::vector<std::unique_ptr<Conn>> conns_;  // by descriptor
    std::priority_queue<Timer, std::vector<Timer>, std::greater<>> timers_;
    std::uint64_t serials_ = 0;
    std::string answers_, line_;  // reused from take to take
    Reply reply_;
    int nextId_ = 1;
};

}  // namespace

int serveFleet(const std::vector<int>& listeners, const Config& cfg, const FleetOptions& fleet, int stopFd) {
    return Fleet(listeners, cfg, fleet, stopFd).run();
}

}  // namespace sim
