#include "sim_process.h"

#include "temp_dir.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <stdexcept>

extern char** environ;

namespace approbe::test {

namespace {

// Reverses the simulator's log escapes: \r \n \t \0 \\ \xHH.
std::string unescapeLog(const std::string& s) {
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        const char c = s[i] == '\\' && i + 1 < s.size() ? s[++i] : '\0';
        if (!c) out += s[i];
        else if (c == 'r') out += '\r';
        else if (c == 'n') out += '\n';
        else if (c == 't') out += '\t';
        else if (c == '0') out += '\0';
        else if (c == 'x' && i + 2 < s.size()) {
            out += static_cast<char>(std::strtol(s.substr(i + 1, 2).c_str(), nullptr, 16));
            i += 2;
        } else out += c;
    }
    return out;
}

// Starts approbe-sim with args (stdin /dev/null); fds get the read ends of its stdout and stderr.
pid_t spawn(std::vector<std::string> args, int fds[2]) {
    args.insert(args.begin(), SimProcess::path());
    int out[2], err[2];
    if (::pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    if (::pipe2(err, O_CLOEXEC) != 0) {
        ::close(out[0]), ::close(out[1]);
        throw std::runtime_error("pipe failed");
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int rc = ::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]), ::close(err[1]);
    fds[0] = out[0], fds[1] = err[0];
    if (rc == 0) return pid;
    ::close(fds[0]), ::close(fds[1]);
    fds[0] = fds[1] = -1;
    throw std::runtime_error("cannot start " + args[0] + ": " + std::strerror(rc));
}

// Reads both pipes, handing each line (its newline included; a last unfinished one at the end)
// to take(k, line), until both close (then true and the fds are closed) or the deadline passes.
bool readLines(int fds[2], const std::function<void(int, const std::string&)>& take,
               std::chrono::steady_clock::time_point deadline) {
    std::string pending[2];
    char buf[8192];
    while (fds[0] >= 0 || fds[1] >= 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd p[2] = {{fds[0], POLLIN, 0}, {fds[1], POLLIN, 0}};
        const int ready = ::poll(p, 2, static_cast<int>(std::clamp<long long>(left.count(), 0, INT_MAX)));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return false;
        for (int k = 0; k < 2; ++k) {
            if (!p[k].revents) continue;
            const ssize_t n = ::read(fds[k], buf, sizeof buf);
            if (n < 0 && errno == EINTR) continue;
            if (n > 0) pending[k].append(buf, static_cast<std::size_t>(n));
            for (auto eol = pending[k].find('\n'); eol != std::string::npos; eol = pending[k].find('\n')) {
                take(k, pending[k].substr(0, eol + 1));
                pending[k].erase(0, eol + 1);
            }
            if (n > 0) continue;
            if (!pending[k].empty()) take(k, pending[k]);
            ::close(fds[k]);
            fds[k] = -1;
        }
    }
    return true;
}

// Waits for the child; its exit code, -1 if a signal ended it.
int reap(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

std::string SimProcess::path() { return APPROBE_SIM_PATH; }

SimExit RunSim(std::vector<std::string> args, std::chrono::milliseconds timeout) {
    int fds[2];
    const pid_t pid = spawn(std::move(args), fds);
    SimExit e;
    const bool ended = readLines(fds, [&](int k, const std::string& line) { (k ? e.err : e.out) += line; },
                                 std::chrono::steady_clock::now() + timeout);
    if (!ended) ::kill(pid, SIGKILL);
    e.code = reap(pid);
    if (!ended) {
        e.code = -1;
        for (int fd : fds) if (fd >= 0) ::close(fd);
    }
    return e;
}

SimProcess::SimProcess(std::vector<std::string> extraArgs, std::string scriptText) {
    std::vector<std::string> args = {"--bind", "127.0.0.1", "--port", "0", "--verbose"};
    args.insert(args.end(), extraArgs.begin(), extraArgs.end());
    if (!scriptText.empty()) {
        scriptDir_ = std::make_unique<TempDir>();
        WriteFile(scriptDir_->file("script"), scriptText);
        args.push_back("--script");
        args.push_back(scriptDir_->file("script"));
    }
    try {
        pid_ = spawn(args, fds_);
    } catch (...) {
        stop();
        throw;
    }
    reader_ = std::thread([this] {
        readLines(fds_, [this](int k, const std::string& line) {
            if (k == 1) return takeStderrLine(line.substr(0, line.find('\n')));
            std::lock_guard lock(mu_);
            if (line.rfind("listening on ", 0) == 0) {
                ports_.push_back(std::atoi(line.c_str() + line.rfind(':') + 1));
                port_ = ports_.front();
            }
            changed_.notify_all();
        }, std::chrono::steady_clock::time_point::max());
        std::lock_guard lock(mu_);
        ended_ = true;
        changed_.notify_all();
    });

    std::unique_lock lock(mu_);
    changed_.wait_for(lock, std::chrono::seconds(5), [this] { return port_ != 0 || ended_; });
    if (port_ == 0) {
        const std::string log = log_;
        lock.unlock();
        stop();
        throw std::runtime_error("approbe-sim did not start listening within 5 s; stderr: " + log);
    }
}

SimProcess::~SimProcess() { stop(); }

std::vector<int> SimProcess::ports(std::size_t count, std::chrono::milliseconds timeout) {
    std::unique_lock lock(mu_);
    changed_.wait_for(lock, timeout, [&] { return ports_.size() >= count || ended_; });
    return ports_;
}

int SimProcess::stop() {
    int code = -1;
    if (pid_ > 0) {
        ::kill(pid_, SIGTERM);
        std::unique_lock lock(mu_);
        if (!changed_.wait_for(lock, std::chrono::seconds(3), [this] { return ended_; })) ::kill(pid_, SIGKILL);
    }
    if (reader_.joinable()) reader_.join();
    if (pid_ > 0) code = reap(pid_);
    pid_ = -1;
    for (int& fd : fds_) if (fd >= 0) ::close(fd), fd = -1;
    scriptDir_.reset();
    return code;
}

void SimProcess::takeStderrLine(const std::string& line) {
    std::lock_guard lock(mu_);
    log_ += line + "\n";
    if (line.rfind("[conn ", 0) != 0) {
        changed_.notify_all(); // a line of its own, which waitLog may wait for
        return;
    }
    const auto tag = line.find("] ");
    if (tag == std::string::npos) return;
    const std::string what = line.substr(tag + 2);
    if (what == "closed") {
        ++closed_;
    } else if (what.rfind("recv \"", 0) == 0 && what.size() >= 7 && what.back() == '"') {
        received_ += unescapeLog(what.substr(6, what.size() - 7));
    } else {
        return;
    }
    changed_.notify_all();
}

std::string SimProcess::received() {
    std::lock_guard lock(mu_);
    return received_;
}

bool SimProcess::waitReceived(const std::string& needle, std::chrono::milliseconds timeout) {
    std::unique_lock lock(mu_);
    return changed_.wait_for(lock, timeout, [&] { return received_.find(needle) != std::string::npos; });
}

std::optional<std::string> SimProcess::waitLog(const std::string& needle, std::size_t from, std::chrono::milliseconds timeout) {
    std::unique_lock lock(mu_);
    if (!changed_.wait_for(lock, timeout, [&] { return log_.find(needle, from) != std::string::npos; })) return std::nullopt;
    return log_;
}

int SimProcess::closedConnections() {
    std::lock_guard lock(mu_);
    return closed_;
}

bool SimProcess::waitClosedConnections(int n, std::chrono::milliseconds timeout) {
    std::unique_lock lock(mu_);
    return changed_.wait_for(lock, timeout, [&] { return closed_ >= n; });
}

std::string TwoStationScript(int polls, int local1, int remote1, int local2, int remote2, int noise, int pauseMs)
{
    auto row = [](int id, const char* mac, int local, int remote) {
        return "  " + std::to_string(id) + "   " + mac + "  54M    Local RSSI level: " + std::to_string(local) +
               " dBm  Remote RSSI level: " + std::to_string(remote) + " dBm\\r\\n";
    };
    const std::string first = "Station table\\r\\n" + row(1, "00:0c:42:1a:2b:3c", local1, remote1);
    const std::string second = row(2, "00:0C:42:AA:BB:CC", local2, remote2) + "AP>\\x20";
    const std::string table = pauseMs > 0 ? "reply " + first + "\nsleep " + std::to_string(pauseMs) + "\nsend " + second + "\n"
                                          : "reply " + first + second + "\n";
    std::string script = "login\n";
    for (int i = 0; i < polls; ++i)
        script += table + "reply Noise Floor Level: " + std::to_string(noise) + " dBm\\r\\nAP>\\x20\n";
    return script + "silent\n";
}

}  // namespace approbe::test
