#include "sim_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

extern char** environ;

namespace approbe::test {

namespace {

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return 0;
}

// Reverses the simulator's log escapes: \r \n \t \0 \\ \xHH.
std::string unescapeLog(const std::string& s) {
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '\\' || i + 1 == s.size()) {
            out += s[i];
            continue;
        }
        const char c = s[++i];
        if (c == 'r') out += '\r';
        else if (c == 'n') out += '\n';
        else if (c == 't') out += '\t';
        else if (c == '0') out += '\0';
        else if (c == 'x' && i + 2 < s.size()) {
            out += static_cast<char>(hexValue(s[i + 1]) * 16 + hexValue(s[i + 2]));
            i += 2;
        } else out += c;
    }
    return out;
}

void closeFd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

}  // namespace

std::string SimProcess::path() { return APPROBE_SIM_PATH; }

SimProcess::SimProcess(std::vector<std::string> extraArgs, std::string scriptText) {
    std::vector<std::string> args = {path(), "--bind", "127.0.0.1", "--port", "0", "--verbose"};
    args.insert(args.end(), extraArgs.begin(), extraArgs.end());
    if (!scriptText.empty()) {
        const char* dir = std::getenv("TMPDIR");
        std::string name = std::string(dir && *dir ? dir : "/tmp") + "/approbe-sim-script-XXXXXX";
        const int fd = ::mkostemp(name.data(), O_CLOEXEC);
        if (fd < 0) throw std::runtime_error("cannot create a script file: " + std::string(std::strerror(errno)));
        scriptPath_ = name;
        const bool written = ::write(fd, scriptText.data(), scriptText.size()) == static_cast<ssize_t>(scriptText.size());
        ::close(fd);
        if (!written) {
            ::unlink(scriptPath_.c_str());
            throw std::runtime_error("cannot write the script file " + scriptPath_);
        }
        args.push_back("--script");
        args.push_back(scriptPath_);
    }

    int out[2], err[2];
    if (::pipe2(out, O_CLOEXEC) != 0) {
        stop();
        throw std::runtime_error("pipe failed");
    }
    if (::pipe2(err, O_CLOEXEC) != 0) {
        ::close(out[0]);
        ::close(out[1]);
        stop();
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
    const int rc = ::posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    ::close(err[1]);
    outFd_ = out[0];
    errFd_ = err[0];
    if (rc != 0) {
        pid_ = -1;
        stop();
        throw std::runtime_error("cannot start " + path() + ": " + std::strerror(rc));
    }
    reader_ = std::thread([this] { readOutput(); });

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

void SimProcess::stop() {
    if (pid_ > 0) {
        ::kill(pid_, SIGTERM);
        std::unique_lock lock(mu_);
        if (!changed_.wait_for(lock, std::chrono::seconds(3), [this] { return ended_; })) ::kill(pid_, SIGKILL);
    }
    if (reader_.joinable()) reader_.join();
    if (pid_ > 0) {
        int status = 0;
        while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
        pid_ = -1;
    }
    closeFd(outFd_);
    closeFd(errFd_);
    if (!scriptPath_.empty()) ::unlink(scriptPath_.c_str());
    scriptPath_.clear();
}

void SimProcess::readOutput() {
    std::string outLine, errLine;
    bool outOpen = true, errOpen = true;
    char buf[8192];
    while (outOpen || errOpen) {
        pollfd p[2] = {{outOpen ? outFd_ : -1, POLLIN, 0}, {errOpen ? errFd_ : -1, POLLIN, 0}};
        if (::poll(p, 2, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        for (int k = 0; k < 2; ++k) {
            if (!p[k].revents) continue;
            const ssize_t n = ::read(p[k].fd, buf, sizeof buf);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                (k == 0 ? outOpen : errOpen) = false;
                continue;
            }
            std::string& pending = k == 0 ? outLine : errLine;
            pending.append(buf, static_cast<std::size_t>(n));
            for (auto eol = pending.find('\n'); eol != std::string::npos; eol = pending.find('\n')) {
                const std::string line = pending.substr(0, eol);
                pending.erase(0, eol + 1);
                if (k == 1) {
                    takeStderrLine(line);
                } else if (line.rfind("listening on ", 0) == 0) {
                    std::lock_guard lock(mu_);
                    port_ = std::atoi(line.c_str() + line.rfind(':') + 1);
                    changed_.notify_all();
                }
            }
        }
    }
    std::lock_guard lock(mu_);
    ended_ = true;
    changed_.notify_all();
}

void SimProcess::takeStderrLine(const std::string& line) {
    std::lock_guard lock(mu_);
    log_ += line + "\n";
    if (line.rfind("[conn ", 0) != 0) return;
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

int SimProcess::port() const { return port_; }

std::string SimProcess::received() {
    std::lock_guard lock(mu_);
    return received_;
}

bool SimProcess::waitReceived(const std::string& needle, std::chrono::milliseconds timeout) {
    std::unique_lock lock(mu_);
    return changed_.wait_for(lock, timeout, [&] { return received_.find(needle) != std::string::npos; });
}

int SimProcess::closedConnections() {
    std::lock_guard lock(mu_);
    return closed_;
}

bool SimProcess::waitClosedConnections(int n, std::chrono::milliseconds timeout) {
    std::unique_lock lock(mu_);
    return changed_.wait_for(lock, timeout, [&] { return closed_ >= n; });
}

}  // namespace approbe::test
